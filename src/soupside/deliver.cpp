#include "soupside/deliver.hpp"

#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"
#include "config/soupside_keywords.hpp"
#include "platform/fs.hpp"
#include "platform/process.hpp"
#include "rfc/internet_address.hpp"
#include "soup/soup_format.hpp"
#include "soupside/durable.hpp"
#include "soupside/header_field.hpp"
#include "soupside/history.hpp"
#include "soupside/nntp_client.hpp"
#include "soupside/progress.hpp"
#include "soupside/soupside_files.hpp"

namespace quillmar {

namespace {

constexpr std::size_t kMaxStateFile = 16u << 20;
constexpr uint32_t kMaxReply = 64u << 20;

std::string soup_path(std::string_view name) {
  return path_in(settings->SoupDir.view(), name);
}

// A reply file's prefix as one name whatever its case: files are found
// without regard to case, so "mail0000" and "MAIL0000" are one file.
std::string file_identity(std::string_view prefix) {
  std::string out(prefix);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

// A reply message is known by its file, its place there, its length and its
// CRC-32, so that a later file of the same name is never taken for it.
std::string ledger_key(std::string_view prefix, long index, std::string_view message) {
  char tail[64];
  std::snprintf(tail, sizeof tail, "\t%ld\t%zu\t%08X", index, message.size(),
                static_cast<unsigned>(crc32(message.data(), message.size())));
  return file_identity(prefix) + tail;
}

enum class Outcome { accepted, refused, kept };

class Deliverer {
 public:
  bool load_ledger() {
    std::string text;
    ReadResult r = read_whole_file(soup_path(kDeliverLedger), kMaxStateFile, text);
    if (r == ReadResult::error) {
      log_print("! cannot read %s\n", soup_path(kDeliverLedger).c_str());
      return false;
    }
    std::size_t pos = 0;
    for (;;) {
      std::size_t lf = text.find('\n', pos);
      if (lf == std::string::npos) {
        // A line cut by a power cut says nothing; the next line starts anew.
        torn_ = pos < text.size();
        break;
      }
      std::string_view line(text.data() + pos, lf - pos);
      pos = lf + 1;
      std::size_t tab = line.rfind('\t');
      if (tab == std::string_view::npos) continue;
      std::string_view field = line.substr(0, tab);
      std::size_t prefix_end = std::min(field.find('\t'), field.size());
      std::string key = file_identity(field.substr(0, prefix_end));
      key += field.substr(prefix_end);
      std::string_view state = line.substr(tab + 1);
      auto known = ledger_.find(key);
      if (state == "sent" || state == "refused") {
        ledger_[key] = std::string(state);
      } else if (state == "sending" && known == ledger_.end()) {
        ledger_[key] = "sending";
      } else if (state == "kept" && known != ledger_.end() && known->second == "sending") {
        ledger_.erase(known);  // the mail program did not take it
      }
      ledger_lines_.push_back(std::string(line));
    }
    return true;
  }

  bool record(const std::string& key, const char* state) {
    std::string line = key + "\t" + state;
    if (!append_line_durably(soup_path(kDeliverLedger), (torn_ ? "\n" : "") + line + "\n")) {
      return false;
    }
    torn_ = false;
    ledger_[key] = state;
    ledger_lines_.push_back(line);
    return true;
  }

  // Sets a refused message aside in SoupRefusedDir (or SoupDir).
  bool set_aside(std::string_view message, const std::string& what, const std::string& reason) {
    const PathText& configured = settings->soup_side.SoupRefusedDir;
    const PathText& dir = configured.empty() ? settings->SoupDir : configured;
    PathText path;
    if (!unique_hex_name(dir.view(), "REF", path)) {
      log_print("! no free name in %s for the refused %s\n", shown(dir.view()).c_str(),
                what.c_str());
      return false;
    }
    platform::File file;
    bool ok = file.open(path, platform::OpenMode::create_new, platform::Share::deny_write) &&
              file.write(message) && file.sync();
    ok = file.close() && ok;
    ok = ok && platform::sync_directory_of(path);
    if (!ok) {
      log_print("! cannot write %s: %s\n", shown(path.view()).c_str(), platform::last_error_text());
      platform::remove_file(path);
      return false;
    }
    log_print("! %s refused: %s; set aside as %s\n", what.c_str(), reason.c_str(),
              shown(path.view()).c_str());
    return true;
  }

  // A reply file whose rest cannot be read is set aside (after its
  // complete messages went out) instead of being tried again every run.
  bool set_damaged_file_aside(const std::string& path, const std::string& shown_file,
                              long messages) {
    note_run_failure();
    const PathText& configured = settings->soup_side.SoupRefusedDir;
    const PathText& dir = configured.empty() ? settings->SoupDir : configured;
    PathText target;
    if (!unique_hex_name(dir.view(), "BAD", target) || !platform::rename_file(path, target) ||
        !platform::sync_directory_of(target) || !platform::sync_directory_of(path)) {
      log_print("! %s is damaged after %ld message(s) and cannot be set aside; it stays\n",
                shown_file.c_str(), messages);
      return false;
    }
    log_print("! %s is damaged after %ld message(s); set aside as %s\n", shown_file.c_str(),
              messages, platform::shown_path(target.view()).c_str());
    return true;
  }

  // Hands one mail to the sendmail command. The ledger line of an accepted
  // mail is written by the helper that waits for the command, so that it is
  // written even when this run is killed meanwhile.
  Outcome send_mail(std::string_view message, const std::string& key, std::string& reason) {
    const SoupSideSettings& s = settings->soup_side;
    if (s.SoupSendmail.empty()) {
      reason = "no SoupSendmail command is configured";
      return Outcome::kept;
    }
    std::string ledger_path = soup_path(kDeliverLedger);
    std::string accepted_line = key + "\tsent\n";
    platform::CommandResult r =
        platform::run_with_input(sendmail_words_, message, static_cast<int>(s.SoupSendmailTimeout),
                                 [&](const platform::CommandResult& done) {
                                   if (done.succeeded()) {
                                     append_line_durably(ledger_path, accepted_line);
                                   }
                                 });
    if (!r.started) {
      reason = r.error;
      not_taken(key);
      return Outcome::kept;
    }
    if (r.timed_out) {
      reason = "the command did not end within SoupSendmailTimeout (" +
               std::to_string(s.SoupSendmailTimeout) + " seconds) and was killed";
      return Outcome::kept;
    }
    if (r.signal != 0) {
      reason = "the command was ended by signal " + std::to_string(r.signal);
      return Outcome::kept;
    }
    if (r.exit_code == 0 && !r.input_left) return Outcome::accepted;
    if (r.exit_code == 0) {
      reason = "the command ended with 0 before reading the whole message";
      not_taken(key);
      return Outcome::kept;
    }
    reason = "the command ended with status " + std::to_string(r.exit_code);
    if (!r.error.empty()) reason += " (" + r.error + ")";
    if (sendmail_refuses(r.exit_code)) return Outcome::refused;
    // A mail program that ends with a status has not taken the mail
    // (sendmail's 75 is "try again later"): the next run sends it without
    // a warning that it may arrive twice.
    not_taken(key);
    return Outcome::kept;
  }

  // Notes that the mail `key` was not handed over, after its "sending" line.
  void not_taken(const std::string& key) {
    if (ledger_.count(key) == 0) return;
    if (record(key, "kept")) ledger_.erase(key);
  }

  // The words of SoupSendmail, with "-f" and the bounce address at their
  // end unless the command names an envelope sender of its own.
  void prepare_sendmail() {
    const SoupSideSettings& s = settings->soup_side;
    sendmail_words_ = platform::split_command(s.SoupSendmail);
    std::string bounce = s.SoupBounceAddress;
    if (bounce.empty() && !settings->AddrMap.empty()) {
      bounce = std::string(settings->AddrMap[0].internet_address.view());
    }
    if (bounce.find('@') == std::string::npos || sendmail_words_.empty()) return;
    for (std::size_t i = 1; i < sendmail_words_.size(); ++i) {
      std::string_view w = sendmail_words_[i];
      if (w.starts_with("-f") || w.starts_with("-r") || w.starts_with("--from")) return;
    }
    sendmail_words_.push_back("-f");
    sendmail_words_.push_back(bounce);
  }

  // Why no news can be posted at all; empty when a server is configured.
  static std::string news_blocked() {
    const SoupSideSettings& s = settings->soup_side;
    if (find_post_server(s) != nullptr) return std::string();
    return s.NntpPostServer.empty()
               ? "no NntpServer is configured"
               : "NntpPostServer " + s.NntpPostServer + " is not named by an NntpServer line";
  }

  Outcome post_news(std::string_view article, std::string& reason) {
    const SoupSideSettings& s = settings->soup_side;
    const NntpServerSettings* server = find_post_server(s);
    if (server == nullptr) {
      reason = news_blocked();
      return Outcome::kept;
    }
    if (!nntp_.is_open()) {
      if (nntp_failed_) {
        reason = "the news server cannot be reached";
        return Outcome::kept;
      }
      std::string error;
      if (!nntp_.open(*server, s.NntpTimeout, error)) {
        nntp_failed_ = true;
        reason = "news server " + server->NntpServer + ": " + error;
        return Outcome::kept;
      }
    }
    // An article the server has already (posted by a run that was stopped
    // before it could note it) is not posted again.
    std::string id = header_value(article, "Message-ID");
    std::string reply;
    if (id.size() > 2 && id.front() == '<' && id.back() == '>' &&
        id.find_first_of(" \t\r\n") == std::string::npos) {
      int code = nntp_.command("STAT " + id, reply);
      if (code == 0 && !nntp_.is_open()) {
        reason = reply;
        return Outcome::kept;
      }
      // Only an answer that names this article (or none, as some servers
      // answer) says that the server has it.
      uint64_t number = 0;
      std::string_view named;
      if (code == 223) parse_article_status(reply, number, named);
      if (code == 223 && (named.empty() || named == id)) {
        log_print("* %s is on the server already\n", id.c_str());
        return Outcome::accepted;
      }
    }
    NntpClient::Post p = nntp_.post(article, reply);
    reason = reply;
    if (p == NntpClient::Post::accepted) return Outcome::accepted;
    return p == NntpClient::Post::refused ? Outcome::refused : Outcome::kept;
  }

  // Puts the reply's Message-ID into the collect history before the reply
  // leaves: a run killed after the hand-over has noted it already, so the
  // reply is never collected back as new. False (with the reason) when it
  // cannot be noted; the reply then waits.
  bool note_as_sent(std::string_view message, std::string& reason) {
    std::string id = header_value(message, "Message-ID");
    if (!is_message_id(id)) return true;
    std::string error;
    if (history_.add(id, error)) return true;
    reason = error + "; sent now, it could be collected back as new";
    return false;
  }

  // Sends the messages of one reply file; true when none is left to send.
  bool deliver_file(const SoupListing& listing, int kind) {
    std::string path = soup_path(listing.prefix + ".MSG");
    if (path.empty()) return false;
    // The file as the directory holds it, for the reports.
    std::string shown_file = platform::shown_path(path);
    if (!platform::file_exists(path)) {
      log_print("%s is gone (delivered before)\n", shown_file.c_str());
      return true;
    }
    platform::File file;
    if (!file.open(path, platform::OpenMode::read)) {
      log_print("! cannot read %s: %s\n", shown_file.c_str(), platform::last_error_text());
      note_run_failure();
      return false;
    }
    bool all_done = true;
    long index = 0;
    std::string message;
    for (;; ++index) {
      FramedRead r = read_framed_message(file, message, kMaxReply);
      if (r == FramedRead::end_of_file) break;
      if (r == FramedRead::format_error) {
        file.close();
        if (run_options.test_mode) {
          log_print("! %s is damaged after %ld message(s)\n", shown_file.c_str(), index);
          return false;
        }
        if (all_done) return set_damaged_file_aside(path, shown_file, index);
        // Messages of it wait for the next run: the file stays until then.
        log_print("! %s is damaged after %ld message(s); it stays\n", shown_file.c_str(), index);
        note_run_failure();
        return false;
      }
      std::string key = ledger_key(listing.prefix, index, message);
      auto seen = ledger_.find(key);
      if (seen != ledger_.end() && seen->second != "sending") continue;
      // Without a news server every article waits; that is said once.
      if (kind == 1 && !news_blocked_.empty()) {
        ++news_waiting_;
        all_done = false;
        continue;
      }
      std::string what = std::string(kind == 0 ? "mail" : "article") + " " +
                         std::to_string(index + 1) + " of " + shown_file;
      if (run_options.test_mode) {
        const char* field = kind == 0 ? "To" : "Newsgroups";
        log_print("%s would be %s: %s %.200s\n", what.c_str(), kind == 0 ? "sent" : "posted", field,
                  header_value(message, field).c_str());
        ++sent_[kind];
        all_done = false;
        continue;
      }
      std::string reason;
      Outcome o = Outcome::kept;
      if (kind == 0 && !(reason = mail_recipient_problem(message)).empty()) {
        // sendmail takes the recipients from the header: a name there is
        // no address, and would be mail for a local user of that name.
        o = Outcome::refused;
      } else if (!note_as_sent(message, reason)) {
        // Kept: sent without its Message-ID in the history, it could come back.
      } else if (kind == 0) {
        if (seen != ledger_.end()) {
          std::string id = header_value(message, "Message-ID");
          log_print("! %s %.80s was being handed over when a run stopped; it may arrive twice\n",
                    what.c_str(), id.c_str());
        } else if (!settings->soup_side.SoupSendmail.empty() && !record(key, "sending")) {
          note_run_failure();
          return false;
        }
        o = send_mail(message, key, reason);
      } else {
        o = post_news(message, reason);
      }
      if (o == Outcome::refused && !set_aside(message, what, reason)) o = Outcome::kept;
      if (o == Outcome::kept) {
        progress_.clear();
        log_print("! %s kept for the next run: %s\n", what.c_str(), reason.c_str());
        note_run_failure();
        all_done = false;
        continue;
      }
      if (!record(key, o == Outcome::accepted ? "sent" : "refused")) {
        note_run_failure();
        return false;
      }
      if (o == Outcome::accepted) {
        ++sent_[kind];
        if (run_options.verbose) log_print("Sent %s\n", what.c_str());
      } else {
        ++refused_;
      }
      progress_.show("Delivered", sent_[0] + sent_[1], "message(s)");
    }
    return all_done;
  }

  void run() {
    std::string replies_path = soup_path("REPLIES");
    std::string replies;
    ReadResult r = read_whole_file(replies_path, kMaxStateFile, replies);
    if (r == ReadResult::missing) {
      log_print("No REPLIES found. Nothing to do.\n");
      return;
    }
    if (r == ReadResult::error || !load_ledger()) {
      if (r == ReadResult::error) log_print("! cannot read %s\n", replies_path.c_str());
      note_run_failure();
      return;
    }
    prepare_sendmail();
    news_blocked_ = news_blocked();
    // The files finished, and those taken already by an earlier line of
    // this run (a second line for one file sends nothing again).
    std::set<std::string> finished;
    std::set<std::string> taken;
    for (std::string_view line : text_lines(replies)) {
      if (line.empty()) continue;
      SoupListing listing;
      if (!parse_soup_listing(line, listing)) {
        log_print("! REPLIES line \"%.*s\" is not understood; it stays\n",
                  static_cast<int>(std::min<std::size_t>(line.size(), 80)), line.data());
        note_run_failure();
        continue;
      }
      int kind = soup_listing_kind(listing);
      char format = listing.encoding.empty() ? '\0' : listing.encoding[0];
      if (kind < 0 || (format != 'b' && format != 'B')) {
        log_print("! %s: only binary mail and news files can be sent; it stays\n",
                  platform::shown_path(soup_path(listing.prefix + ".MSG")).c_str());
        note_run_failure();
        continue;
      }
      if (!taken.insert(file_identity(listing.prefix)).second) continue;
      if (deliver_file(listing, kind)) finished.insert(file_identity(listing.prefix));
    }
    nntp_.quit();
    progress_.clear();
    if (news_waiting_ > 0) {
      log_print("! news replies wait: %s (%ld article(s) kept for the next run)\n",
                news_blocked_.c_str(), news_waiting_);
      if (!run_options.test_mode) note_run_failure();
    }
    if (run_options.test_mode) {
      log_print("Would deliver %ld mail(s) and %ld article(s); /TEST sends nothing\n", sent_[0],
                sent_[1]);
      return;
    }
    finish(finished);
    log_print("Delivered %ld mail(s) and %ld article(s); %ld refused\n", sent_[0], sent_[1],
              refused_);
  }

  // Removes the finished files, then their REPLIES lines, then what the
  // ledger says about them.
  void finish(const std::set<std::string>& finished) {
    if (finished.empty()) return;
    bool ok = true;
    for (const std::string& prefix : finished) {
      // Found without regard to case.
      std::string path = soup_path(prefix + ".MSG");
      if (platform::file_exists(path) && !platform::remove_file(path)) {
        log_print("! cannot remove %s: %s\n", path.c_str(), platform::last_error_text());
        ok = false;
      }
    }
    if (!platform::sync_directory_of(soup_path("REPLIES")) || !ok) {
      note_run_failure();
      return;
    }
    // REPLIES is read again: lines added meanwhile stay.
    std::string replies_path = soup_path("REPLIES");
    std::string replies;
    if (read_whole_file(replies_path, kMaxStateFile, replies) == ReadResult::error) {
      log_print("! cannot read %s\n", replies_path.c_str());
      note_run_failure();
      return;
    }
    std::string kept;
    std::set<std::string> still_listed;
    for (std::string_view line : text_lines(replies)) {
      SoupListing listing;
      bool parsed = parse_soup_listing(line, listing);
      if (parsed && finished.count(file_identity(listing.prefix)) != 0 &&
          !platform::file_exists(soup_path(listing.prefix + ".MSG"))) {
        continue;
      }
      if (line.empty()) continue;
      if (parsed) still_listed.insert(file_identity(listing.prefix));
      kept.append(line).push_back('\n');
    }
    bool written =
        kept.empty() ? remove_durably(replies_path) : write_file_durably(replies_path, kept);
    if (!written) {
      note_run_failure();
      return;
    }
    std::string ledger;
    for (const std::string& line : ledger_lines_) {
      std::string prefix = line.substr(0, line.find('\t'));
      if (still_listed.count(file_identity(prefix)) != 0) ledger += line + "\n";
    }
    std::string ledger_path = soup_path(kDeliverLedger);
    if (!(ledger.empty() ? remove_durably(ledger_path) : write_file_durably(ledger_path, ledger))) {
      note_run_failure();
    }
  }

 private:
  std::map<std::string, std::string> ledger_;
  std::vector<std::string> ledger_lines_;
  bool torn_ = false;  // the ledger ends in a cut line
  NntpClient nntp_;
  bool nntp_failed_ = false;
  SentHistory history_;
  std::string news_blocked_;  // why no article can be posted (empty: none)
  long news_waiting_ = 0;     // articles kept for that reason
  std::vector<std::string> sendmail_words_;
  ProgressCount progress_;
  long sent_[2] = {0, 0};
  long refused_ = 0;
};

}  // namespace

bool sendmail_refuses(int exit_code) {
  switch (exit_code) {
    case 65:  // EX_DATAERR
    case 67:  // EX_NOUSER
    case 68:  // EX_NOHOST
    case 69:  // EX_UNAVAILABLE
    case 76:  // EX_PROTOCOL
    case 77:  // EX_NOPERM
      return true;
    default:
      return false;
  }
}

void deliver_replies() {
  Deliverer d;
  d.run();
}

}  // namespace quillmar
