#include "soupside/collect.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "config/newsfix_files.hpp"
#include "config/settings.hpp"
#include "platform/fs.hpp"
#include "soup/soup_format.hpp"
#include "soupside/durable.hpp"
#include "soupside/group_list.hpp"
#include "soupside/header_field.hpp"
#include "soupside/history.hpp"
#include "soupside/maildir.hpp"
#include "soupside/news_fetch.hpp"
#include "soupside/nntp_client.hpp"
#include "soupside/progress.hpp"
#include "soupside/soupside_files.hpp"

namespace quillmar {

namespace {

// The largest Maildir message taken into a packet.
constexpr std::size_t kMaxMailSize = 64u << 20;
// The most articles a run asks a group for (found or not).
constexpr uint64_t kMaxArticlesAsked = 100000;
// The largest journal, AREAS or high-water file read.
constexpr std::size_t kMaxStateFile = 16u << 20;

struct NewArea {
  std::string prefix;
  std::string name;
  int kind = 0;
  platform::File file;
  long count = 0;
  bool write_failed = false;  // said once, when it happened
};

struct Mark {
  std::string server;
  std::string group;
  uint64_t number = 0;
  // The group was renumbered: the mark is set to `number`, below the one
  // before.
  bool renumbered = false;
};

struct Journal {
  struct Area {
    std::string prefix, name, encoding;
  };
  std::vector<Area> areas;
  std::vector<std::string> taken;  // Maildir messages
  std::vector<Mark> marks;
  std::vector<std::string> ids;  // Message-IDs for the history
};

std::string soup_path(std::string_view name) {
  return path_in(settings->SoupDir.view(), name);
}

bool parse_number(std::string_view text, uint64_t& out) {
  if (text.empty() || text.size() > 19) return false;
  out = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

// The text with every CR LF turned into LF.
std::string without_carriage_returns(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

// --- High-water marks ---

using HighWater = std::map<std::pair<std::string, std::string>, uint64_t>;

bool load_high_water(HighWater& marks) {
  std::string text;
  ReadResult r = read_whole_file(soup_path(kHighWaterFile), kMaxStateFile, text);
  if (r == ReadResult::missing) return true;
  if (r == ReadResult::error) {
    log_print("! cannot read %s\n", soup_path(kHighWaterFile).c_str());
    return false;
  }
  for (std::string_view line : text_lines(text, true)) {
    std::vector<std::string_view> f = split_fields(line, '\t');
    uint64_t n = 0;
    if (f.size() != 3 || !parse_number(f[2], n)) continue;
    marks[{std::string(f[0]), std::string(f[1])}] = n;
  }
  return true;
}

bool save_high_water(const HighWater& marks) {
  std::string text;
  for (const auto& [key, n] : marks) {
    text += key.first + "\t" + key.second + "\t" + std::to_string(n) + "\n";
  }
  return write_file_durably(soup_path(kHighWaterFile), text);
}

// --- The journal ---

std::string journal_text(const Journal& j) {
  std::string text;
  for (const Journal::Area& a : j.areas) {
    text += "area\t" + a.prefix + "\t" + a.name + "\t" + a.encoding + "\n";
  }
  for (const std::string& t : j.taken) text += "take\t" + t + "\n";
  for (const Mark& m : j.marks) {
    text += std::string(m.renumbered ? "renumbered" : "mark") + "\t" + m.server + "\t" + m.group +
            "\t" + std::to_string(m.number) + "\n";
  }
  for (const std::string& id : j.ids) text += "hist\t" + id + "\n";
  text += "end\n";
  return text;
}

// False when the journal is not complete (its last line is "end").
bool parse_journal(std::string_view text, Journal& j) {
  bool ended = false;
  for (std::string_view line : text_lines(text, true)) {
    std::vector<std::string_view> f = split_fields(line, '\t');
    uint64_t n = 0;
    if (f[0] == "area" && f.size() == 4) {
      j.areas.push_back({std::string(f[1]), std::string(f[2]), std::string(f[3])});
    } else if (f[0] == "take" && f.size() == 2) {
      j.taken.emplace_back(f[1]);
    } else if ((f[0] == "mark" || f[0] == "renumbered") && f.size() == 4 && parse_number(f[3], n)) {
      j.marks.push_back({std::string(f[1]), std::string(f[2]), n, f[0] == "renumbered"});
    } else if (f[0] == "hist" && f.size() == 2) {
      j.ids.emplace_back(f[1]);
    } else if (f[0] == "end" && f.size() == 1) {
      ended = true;
    } else {
      return false;
    }
  }
  return ended;
}

// Carries out a written journal; every step can be repeated. The journal is
// removed only when all of it is done.
bool apply_journal(const Journal& j) {
  bool ok = true;
  // 1. The message files get their final names.
  for (const Journal::Area& a : j.areas) {
    std::string tmp = soup_path(a.prefix + ".TMP");
    std::string msg = soup_path(a.prefix + ".MSG");
    if (platform::file_exists(tmp) && !platform::file_exists(msg) &&
        !platform::rename_file(tmp, msg)) {
      log_print("! cannot rename %s to %s: %s\n", tmp.c_str(), msg.c_str(),
                platform::last_error_text());
      ok = false;
    }
  }
  if (!ok || !platform::sync_directory_of(soup_path("AREAS"))) return false;
  // 2. AREAS lists them.
  std::string areas;
  std::string areas_path = soup_path("AREAS");
  if (read_whole_file(areas_path, kMaxStateFile, areas) == ReadResult::error) {
    log_print("! cannot read %s\n", areas_path.c_str());
    return false;
  }
  std::string added;
  for (const Journal::Area& a : j.areas) {
    if (!platform::file_exists(soup_path(a.prefix + ".MSG"))) continue;  // imported already
    bool listed = false;
    for (std::string_view line : text_lines(areas)) {
      SoupListing l;
      if (parse_soup_listing(line, l) && l.prefix == a.prefix) listed = true;
    }
    if (!listed) added += soup_listing_line(a.prefix, a.name, a.encoding);
  }
  if (!added.empty()) {
    if (!areas.empty() && areas.back() != '\n') areas.push_back('\n');
    if (!write_file_durably(areas_path, areas + added)) return false;
  }
  // 3. The Maildir messages leave the Maildir. One that cannot (a message
  // root put into a Maildir this user cannot write) is in the packet: it is
  // reported once and noted, and later runs pass it while it stays.
  MaildirRegister kept;
  bool loaded = false;
  for (const std::string& t : j.taken) {
    std::string why;
    Disposal d = dispose_of_mail(t, why);
    if (d == Disposal::done) continue;
    if (d == Disposal::stuck && !loaded) loaded = kept.load();
    if (d == Disposal::stuck && loaded && kept.note(t, MaildirRegister::Kind::taken)) {
      log_print("! %s: %s; it stays in the Maildir, and later runs pass it\n", t.c_str(),
                why.c_str());
      note_run_failure();
    } else {
      log_print("! %s: %s\n", t.c_str(), why.c_str());
      ok = false;
    }
  }
  if (loaded) ok = kept.save() && ok;
  // The directories the messages left are put on disk, each once.
  std::set<std::string> left;
  for (const std::string& t : j.taken) {
    std::size_t sep = t.find_last_of("\\/");
    std::string dir = sep == std::string::npos ? std::string(".") : t.substr(0, sep + 1);
    // A directory that is gone has nothing left to put on disk.
    if (left.insert(dir).second) {
      ok = (platform::sync_directory_of(t) || !platform::directory_exists(dir)) && ok;
    }
  }
  if (!ok) return false;
  // 4. The groups' high-water marks move on.
  if (!j.marks.empty()) {
    HighWater marks;
    if (!load_high_water(marks)) return false;
    for (const Mark& m : j.marks) {
      uint64_t& n = marks[{m.server, m.group}];
      if (m.number > n || m.renumbered) n = m.number;
    }
    if (!save_high_water(marks)) return false;
  }
  // 5. The history learns the Message-IDs (a failure loses nothing).
  if (!j.ids.empty()) record_history(j.ids);
  return remove_durably(soup_path(kCollectJournal));
}

// Finishes the work of a collect that was stopped after its packet was
// complete, and removes what a collect stopped before left half written.
bool recover() {
  std::string path = soup_path(kCollectJournal);
  std::string text;
  ReadResult r = read_whole_file(path, kMaxStateFile, text);
  if (r == ReadResult::error) {
    log_print("! cannot read %s\n", path.c_str());
    return false;
  }
  if (r == ReadResult::ok) {
    Journal j;
    if (!parse_journal(text, j)) {
      log_print("! %s is damaged; collect does nothing until it is mended or removed\n",
                path.c_str());
      return false;
    }
    log_print("Finishing the collect stopped before\n");
    if (!apply_journal(j)) {
      log_print("! the collect stopped before could not be finished\n");
      return false;
    }
  }
  for (const platform::DirEntry& e :
       platform::list_directory(soup_path(std::string(kCollectPrefix) + "????.TMP"))) {
    std::string stale = soup_path(e.name);
    if (!platform::remove_file(stale)) {
      log_print("! cannot remove %s: %s\n", stale.c_str(), platform::last_error_text());
    } else {
      log_print("Removed %s, left unfinished by a collect stopped before\n", stale.c_str());
    }
  }
  return true;
}

class Collector {
 public:
  // The area's message file, created on the first message.
  NewArea* area(std::string_view name, int kind) {
    for (auto& a : areas_) {
      if (a->name == name && a->kind == kind) return a.get();
    }
    auto a = std::make_unique<NewArea>();
    const std::vector<std::string>& listed = listed_prefixes();
    for (unsigned n = 0; n <= 0xFFFF; ++n) {
      char prefix[16];
      std::snprintf(prefix, sizeof prefix, "%s%04X", kCollectPrefix, n);
      // A name AREAS still lists (its file imported, its line not yet gone)
      // would give the new messages that line's area and encoding.
      if (platform::file_exists(soup_path(std::string(prefix) + ".MSG")) ||
          platform::file_exists(soup_path(std::string(prefix) + ".TMP")) ||
          std::find(listed.begin(), listed.end(), prefix) != listed.end()) {
        continue;
      }
      if (!a->file.open(soup_path(std::string(prefix) + ".TMP"), platform::OpenMode::create_new,
                        platform::Share::deny_write)) {
        log_print("! cannot create %s%s.TMP: %s\n", shown(settings->SoupDir.view()).c_str(), prefix,
                  platform::last_error_text());
        return nullptr;
      }
      a->prefix = prefix;
      a->name.assign(name);
      a->kind = kind;
      areas_.push_back(std::move(a));
      return areas_.back().get();
    }
    log_print("! no free name for a message file left in %s\n",
              shown(settings->SoupDir.view()).c_str());
    return nullptr;
  }

  bool add(std::string_view area_name, int kind, std::string_view message) {
    NewArea* a = area(area_name, kind);
    if (a == nullptr) return false;
    if (a->write_failed) return false;
    if (!write_framed_message(a->file, message)) {
      a->write_failed = true;
      log_print("! cannot write %s%s.TMP: %s\n", shown(settings->SoupDir.view()).c_str(),
                a->prefix.c_str(), platform::last_error_text());
      return false;
    }
    ++a->count;
    return true;
  }

  // The messages of the Maildir. A missing Maildir (no mail has come yet)
  // is said and passed; news is collected all the same.
  void collect_maildir() {
    const PathText& dir = settings->soup_side.SoupMaildir;
    if (dir.empty()) return;
    bool missing = false;
    std::string problem = maildir_problem(dir.view(), missing);
    if (missing) {
      log_print("* %s does not exist (yet): no mail is collected\n", problem.c_str());
      return;
    }
    if (!problem.empty()) {
      log_print("! the Maildir %s cannot be used (%s): no mail is collected\n",
                shown(dir.view()).c_str(), problem.c_str());
      note_run_failure();
      return;
    }
    MaildirRegister kept;
    if (!kept.load()) {
      note_run_failure();
      return;
    }
    kept.keep_only_noted();
    if (!run_options.test_mode) open_history();
    long count = 0;
    long copies = 0;  // list copies of messages taken or sent before
    for (const char* sub : {"new/", "cur/"}) {
      std::string pattern = path_in(dir.view(), std::string(sub) + "*");
      for (const platform::DirEntry& e : platform::list_directory(pattern)) {
        if (e.name.empty() || e.name[0] == '.') continue;
        if (e.name.find_first_of("\t\n\\") != std::string::npos) {
          log_print("! %s%s%s has a name collect cannot keep; it stays\n",
                    shown(dir.view()).c_str(), sub, e.name.c_str());
          continue;
        }
        std::string path = path_in(dir.view(), std::string(sub) + e.name);
        MaildirRegister::Kind known = kept.find(path);
        if (known == MaildirRegister::Kind::taken) {
          kept.keep(path);
          continue;
        }
        if (run_options.test_mode) {
          ++count;
          continue;
        }
        std::string message;
        if (read_whole_file(path, kMaxMailSize, message) != ReadResult::ok) {
          // Said once; later runs try it again without a word.
          if (known != MaildirRegister::Kind::unread) {
            log_print("! cannot read %s (or it is larger than %zu bytes); it stays\n", path.c_str(),
                      kMaxMailSize);
            note_run_failure();
          }
          kept.note(path, MaildirRegister::Kind::unread);
          continue;
        }
        // Lines in a SOUP packet end in a line feed alone; some programs
        // store mail with the CR LF of the SMTP transfer.
        if (message.find('\r') != std::string::npos) message = without_carriage_returns(message);
        std::string id = header_value(message, "Message-ID");
        // A mailing list's copy of the gateway's own mail (or of a message
        // taken before) leaves the Maildir without going into the packet.
        if (is_list_copy(message) && is_message_id(id) && history_.seen(id)) {
          journal_.taken.push_back(path);
          ++copies;
          continue;
        }
        if (!add(kSoupMailArea, 0, message)) {
          failed_ = true;
          return;
        }
        journal_.taken.push_back(path);
        remember(id);
        ++count;
        progress_.show("Mail", count, "message(s)");
      }
    }
    progress_.clear();
    if (run_options.test_mode) {
      log_print("Mail: %ld message(s) of %s would be taken\n", count, shown(dir.view()).c_str());
      return;
    }
    if (!kept.save()) note_run_failure();
    if (copies == 0) {
      log_print("Mail: %ld message(s) from %s\n", count, shown(dir.view()).c_str());
    } else {
      log_print("Mail: %ld message(s) from %s (skipped: %ld list copies taken or sent before)\n",
                count, shown(dir.view()).c_str(), copies);
    }
  }

  // The groups of every news server in turn, in the order of the
  // NntpServer lines; a server that fails does not hold up the others.
  void collect_news() {
    const SoupSideSettings& s = settings->soup_side;
    HighWater marks;
    bool loaded = false;
    // The groups NewsFix's nodes asked for, as AreaMap entries.
    gate_subscribed_groups();
    bool first_server = true;
    for (const NntpServerSettings& server : s.servers) {
      if (server.NntpServer.empty() || failed_) continue;
      std::vector<std::string> groups = server.NntpGroup;
      // Beside its NntpGroup lines, the first server serves them, and
      // gives NewsFix the list of its groups.
      const bool list_due = first_server && group_list_due();
      if (first_server && !groups.empty()) add_subscribed_groups(groups);
      first_server = false;
      if (groups.empty()) {
        for (const AreaMapEntry& e : settings->AreaMap) {
          if (e.direction == Direction::export_only || e.newsgroup.empty()) continue;
          std::string g(e.newsgroup.view());
          bool seen = false;
          for (const std::string& have : groups) seen = seen || have == g;
          if (!seen) groups.push_back(g);
        }
      }
      if (groups.empty() && !list_due) continue;
      if (!loaded) {
        if (!load_high_water(marks)) {
          failed_ = true;
          return;
        }
        if (!run_options.test_mode) open_history();
        loaded = true;
      }
      NntpClient nntp;
      std::string error;
      if (!nntp.open(server, s.NntpTimeout, error)) {
        log_print("! news server %s: %s\n", server.NntpServer.c_str(), error.c_str());
        note_run_failure();
        continue;
      }
      if (list_due) fetch_group_list(nntp);
      for (const std::string& group : groups) {
        if (!nntp.is_open() || failed_) break;
        auto known = marks.find({nntp.server_key(), group});
        collect_group(nntp, group, known == marks.end() ? nullptr : &known->second);
      }
      nntp.quit();
    }
  }

  // `taken_before` is the last article taken from the group before, or
  // nullptr on first contact with it.
  void collect_group(NntpClient& nntp, const std::string& group, const uint64_t* taken_before) {
    const SoupSideSettings& s = settings->soup_side;
    uint64_t low = 0, high = 0;
    std::string reply;
    if (!nntp.select_group(group, low, high, reply)) {
      log_print("! group %s: %s\n", group.c_str(), reply.c_str());
      note_run_failure();
      return;
    }
    uint64_t last_taken = taken_before != nullptr ? *taken_before : 0;
    GroupStart start = group_start(low, high, taken_before, s.NntpFirstFetch);
    uint64_t first = start.first;
    if (start.renumbered) {
      log_print(
          "! group %s was renumbered: the server's last article %llu is below the one taken "
          "before (%llu); the group is taken again from article %llu, passing the articles the "
          "history has\n",
          group.c_str(), static_cast<unsigned long long>(high),
          static_cast<unsigned long long>(last_taken), static_cast<unsigned long long>(first));
    }
    if (first > high) {
      log_print("News: 0 article(s) from %s\n", group.c_str());
      return;
    }
    FetchRequest request;
    request.group = group;
    request.first = first;
    // However large the numbers a server gives, a run asks for a bounded
    // number of articles; the next run goes on from there.
    request.last = high - first >= kMaxArticlesAsked ? first + kMaxArticlesAsked - 1 : high;
    request.limit = s.NntpMaxArticles;
    request.max_size = s.NntpMaxArticleSize;
    if (run_options.test_mode) {
      uint64_t count = request.last - first + 1;
      if (request.limit != 0 && count > request.limit) count = request.limit;
      log_print(
          "News: %llu article(s) of %s would be taken, from number %llu (the server has "
          "%llu to %llu)%s\n",
          static_cast<unsigned long long>(count), group.c_str(),
          static_cast<unsigned long long>(first), static_cast<unsigned long long>(low),
          static_cast<unsigned long long>(high),
          taken_before == nullptr ? "; first contact with the group" : "");
      return;
    }
    // Articles taken before (under another server name, from another
    // server, or in another group) are passed: known from the overview
    // before they are fetched, else by the Message-ID of the reply.
    std::set<uint64_t> known;
    if (!history_.empty()) {
      std::string why;
      if (!find_known_articles(
              nntp, first, request.last, request.limit,
              [&](std::string_view id) { return history_.seen(id); }, known, why)) {
        log_print("! group %s: %s\n", group.c_str(), why.c_str());
        note_run_failure();
        return;
      }
      request.known = &known;
      if (start.jumped && known.count(first) != 0) {
        log_print(
            "! group %s was renumbered: the server's first article %llu is above the one taken "
            "before (%llu), and the history has it; the history passes the articles taken "
            "before\n",
            group.c_str(), static_cast<unsigned long long>(first),
            static_cast<unsigned long long>(last_taken));
      }
    }
    if (history_.enabled()) request.seen = [&](std::string_view id) { return history_.seen(id); };
    FetchResult r = fetch_articles(
        nntp, request,
        [&](std::string_view article, std::string_view id) {
          if (!add(group, 1, article)) return false;
          remember(id);
          return true;
        },
        progress_);
    progress_.clear();
    if (r.take_failed) failed_ = true;
    if (!r.stopped.empty()) {
      log_print("! group %s, article %llu: %s\n", group.c_str(),
                static_cast<unsigned long long>(r.stopped_at), r.stopped.c_str());
      note_run_failure();
    }
    std::string skipped;
    if (r.already != 0) skipped += std::to_string(r.already) + " taken before";
    if (r.missing != 0) {
      skipped +=
          (skipped.empty() ? "" : ", ") + std::to_string(r.missing) + " no longer on the server";
    }
    if (r.too_large != 0) {
      skipped += (skipped.empty() ? "" : ", ") + std::to_string(r.too_large) + " too large";
    }
    log_print("News: %ld article(s) from %s%s%s%s\n", r.taken, group.c_str(),
              skipped.empty() ? "" : " (skipped: ", skipped.c_str(), skipped.empty() ? "" : ")");
    if (r.done >= first && r.done != last_taken) {
      journal_.marks.push_back({nntp.server_key(), group, r.done, start.renumbered});
    }
  }

  // Puts the packet on disk and carries out the journal.
  void finish() {
    history_.close();
    if (run_options.test_mode) {
      log_print("Nothing collected: /TEST changes nothing\n");
      return;
    }
    bool ok = !failed_;
    for (auto& a : areas_) {
      bool written = a->file.sync();
      written = a->file.close() && written;
      if (!written && !a->write_failed)
        log_print("! cannot write %s%s.TMP: %s\n", shown(settings->SoupDir.view()).c_str(),
                  a->prefix.c_str(), platform::last_error_text());
      ok = ok && written;
    }
    if (!ok) {
      // Nothing of this run counts: the sources stay as they were.
      for (auto& a : areas_) platform::remove_file(soup_path(a->prefix + ".TMP"));
      note_run_failure();
      return;
    }
    if (journal_.taken.empty() && journal_.marks.empty()) {
      log_print("Nothing new collected\n");
      return;
    }
    for (auto& a : areas_) {
      journal_.areas.push_back({a->prefix, a->name, soup_binary_encoding(a->kind)});
    }
    if (!write_file_durably(soup_path(kCollectJournal), journal_text(journal_))) {
      for (auto& a : areas_) platform::remove_file(soup_path(a->prefix + ".TMP"));
      note_run_failure();
      return;
    }
    if (!apply_journal(journal_)) {
      log_print("! the packet is complete, but collect could not finish; the next run does\n");
      note_run_failure();
      return;
    }
    long total = 0;
    for (auto& a : areas_) total += a->count;
    log_print("Collected %ld message(s) into %ld area(s)\n", total,
              static_cast<long>(areas_.size()));
  }

  bool failed() const { return failed_; }

  // The history, opened once for the Maildir and the news.
  void open_history() {
    if (history_opened_) return;
    history_opened_ = true;
    history_.open();
  }

  // A Message-ID taken into the packet, for the history.
  void remember(std::string_view id) {
    if (settings->soup_side.SoupHistoryDays == 0 || !is_message_id(id)) return;
    journal_.ids.emplace_back(id);
    history_.note(id);
  }

 private:
  // The prefixes AREAS lists when the first message file is made.
  const std::vector<std::string>& listed_prefixes() {
    if (listed_read_) return listed_;
    listed_read_ = true;
    std::string areas;
    if (read_whole_file(soup_path("AREAS"), kMaxStateFile, areas) != ReadResult::ok) return listed_;
    for (std::string_view line : text_lines(areas)) {
      SoupListing l;
      if (parse_soup_listing(line, l)) listed_.emplace_back(l.prefix);
    }
    return listed_;
  }

  std::vector<std::unique_ptr<NewArea>> areas_;
  std::vector<std::string> listed_;
  bool listed_read_ = false;
  Journal journal_;
  ProgressCount progress_;
  CollectHistory history_;
  bool history_opened_ = false;
  bool failed_ = false;
};

}  // namespace

void collect_packet() {
  if (run_options.test_mode) {
    if (platform::file_exists(soup_path(kCollectJournal))) {
      log_print("A collect stopped before would be finished first (%s)\n",
                soup_path(kCollectJournal).c_str());
    }
  } else if (!recover()) {
    note_run_failure();
    return;
  }
  Collector collector;
  collector.collect_maildir();
  if (!collector.failed()) collector.collect_news();
  collector.finish();
}

}  // namespace quillmar
