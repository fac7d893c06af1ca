// quillmar-soup against a news server that says what the input says: every
// connection collect or deliver opens reaches the stand-in of
// nntp_server.hpp, which serves a script of the input over a socket pair.
//
// The input is a first line of settings words, then the script of collect's
// connection and, where the input has them (after separators), the scripts
// of deliver's connections: its first and the one it opens after the first
// broke. The words: mark=N and mark2=N (the last article taken from
// fuzz.test and fuzz.misc before), two (fuzz.misc is collected too), user
// (a login), max=N (NntpMaxArticles), size=N (NntpMaxArticleSize), first=N
// (NntpFirstFetch), hist=<id> (a Message-ID in the history before), nohist
// (no history), quiet (no /VERBOSE), chunk=N (the scripts reach the client
// in pieces of N bytes), posts=N (deliver posts N replies, 1 to 4), and for
// a damaged or hostile history: fill=N (N more Message-IDs in it, so that
// it has more pages), cut=N (the file cut to N bytes), poke=N:HEX (the bytes
// HEX written at offset N; up to 8).
//
// Collect runs once and is held against the talk as a client that keeps
// to the protocol reads it (nntp_talk.hpp): every article in the packet
// was served whole (its "." line read, under the number asked) as often at
// least; no Message-ID is in the packet twice or was in the history; the
// high-water mark moves only past articles that are in the packet, were
// taken before, or were skipped for a reason the log names (no longer on
// the server, too large), and after a talk that ended early not past a
// 423/430 that no later article vouches for; a talk that ended early is
// named in the log; no article at or below the old mark is asked for
// unless the server's numbers fell below it (the group was renumbered: the
// log says so, the group is taken again as on first contact and the mark
// set back); no article is fetched whose Message-ID the history had by the
// overview or the STAT answer. A history is set aside only when the input
// damaged it, and then once; after collect the history opens whole and
// holds every Message-ID of the packet; where it was set aside before any
// article was taken, the log counts every article taken without it.
// Deliver runs with the input's scripts, then once more against a server
// that takes everything: a reply the ledger notes as sent was accepted
// (240 to its POST, or 223 naming it to its STAT), one noted as refused
// was refused (441) and set aside whole, none the server took or refused
// goes out again, and the reply file is gone in the end. Neither leaves a
// connection open or waits out its time-out (the scripts end in a cut),
// and nothing is written outside the SOUP directory.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"
#include "harness.hpp"
#include "history_damage.hpp"
#include "nntp_server.hpp"
#include "nntp_talk.hpp"
#include "platform/fs.hpp"
#include "soup/soup_format.hpp"
#include "soupside/collect.hpp"
#include "soupside/deliver.hpp"
#include "soupside/durable.hpp"
#include "soupside/header_field.hpp"
#include "soupside/history.hpp"
#include "soupside_fakes.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

namespace {

constexpr const char* kServerKey = "127.0.0.1:119";
constexpr const char* kGroups[2] = {"fuzz.test", "fuzz.misc"};
// The stand-in always ends a script in a cut, so that no read waits; the
// shortest time-out is the bound on a wait all the same.
constexpr const char* kConfig =
    "NntpServer 127.0.0.1\nNntpPort 119\nNntpTimeout 1\nNntpGroup fuzz.test\n";
constexpr const char* kPassFile = "temp/nntp.pass";
constexpr const char* kLog = "temp/soup.log";
constexpr int kMaxPosts = 4;

struct Options {
  bool has_mark[2] = {false, false};
  uint64_t mark[2] = {0, 0};
  bool two = false;
  bool user = false;
  uint32_t max_articles = 0;
  uint32_t max_size = 16u << 20;
  uint32_t first_fetch = 500;
  std::vector<std::string> history;
  bool keep_history = true;
  bool verbose = true;
  std::size_t chunk = 0;
  int posts = 2;
  uint32_t fill = 0;
  HistoryDamage damage;
  bool damaged() const { return damage.any(); }
};

Options read_options(std::string_view line) {
  Options o;
  while (!line.empty()) {
    std::size_t space = line.find(' ');
    std::string_view word = line.substr(0, space);
    line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    std::size_t equals = word.find('=');
    std::string_view key = word.substr(0, equals);
    std::string_view value = equals == std::string_view::npos ? "" : word.substr(equals + 1);
    if (key == "mark" || key == "mark2") {
      int g = key == "mark" ? 0 : 1;
      o.has_mark[g] = true;
      o.mark[g] = number_of(value, UINT64_MAX);
    } else if (key == "two") {
      o.two = true;
    } else if (key == "user") {
      o.user = true;
    } else if (key == "max") {
      o.max_articles = static_cast<uint32_t>(number_of(value, 1000));
    } else if (key == "size") {
      o.max_size = static_cast<uint32_t>(std::max<uint64_t>(number_of(value, UINT32_MAX), 1024));
    } else if (key == "first") {
      o.first_fetch = static_cast<uint32_t>(number_of(value, UINT32_MAX));
    } else if (key == "hist" && !value.empty() && o.history.size() < 8) {
      o.history.emplace_back(value);
    } else if (key == "nohist") {
      o.keep_history = false;
    } else if (key == "quiet") {
      o.verbose = false;
    } else if (key == "chunk") {
      o.chunk = std::max<uint64_t>(number_of(value, 1u << 20), 4);
    } else if (key == "posts") {
      o.posts = static_cast<int>(std::max<uint64_t>(number_of(value, kMaxPosts), 1));
    } else if (key == "fill") {
      o.fill = static_cast<uint32_t>(number_of(value, 2000));
    } else {
      o.damage.read_word(key, value);
    }
  }
  return o;
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The lines of a file as written (no line end taken off but the LF).
std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t lf = text.find('\n');
    lines.push_back(text.substr(0, lf));
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
  }
  return lines;
}

bool exists(const std::string& name) {
  return ::access(in_box(name).c_str(), F_OK) == 0;
}

// The settings of the input over the fixed configuration's.
void apply_options(const Options& o) {
  SoupSideSettings& side = settings->soup_side;
  NntpServerSettings& server = side.servers.at(0);
  server.NntpGroup.assign(kGroups, kGroups + (o.two ? 2 : 1));
  server.NntpUser = o.user ? "fuzz" : "";
  server.NntpPassFile.assign(in_box(kPassFile));
  side.NntpMaxArticles = o.max_articles;
  side.NntpMaxArticleSize = o.max_size;
  side.NntpFirstFetch = o.first_fetch;
  side.SoupHistoryDays = o.keep_history ? 30 : 0;
  run_options.verbose = o.verbose;
}

// The messages of a framed message file; false when it is damaged.
bool framed_messages(std::string_view data, std::vector<std::string>& out) {
  for (std::size_t at = 0; at < data.size();) {
    if (data.size() - at < 4) return false;
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length = length << 8 | static_cast<unsigned char>(data[at + i]);
    at += 4;
    if (length > data.size() - at) return false;
    out.emplace_back(data.substr(at, length));
    at += length;
  }
  return true;
}

std::string framed(const std::vector<std::string>& messages) {
  std::string out;
  for (const std::string& m : messages) {
    uint32_t n = static_cast<uint32_t>(m.size());
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(n >> shift));
    out += m;
  }
  return out;
}

// Only the SOUP directory changed, and it holds nothing but the packet, the
// state files and (after deliver) the replies set aside.
void check_outside_soup(bool delivered) {
  check_box_top();
  for (const char* dir : {"inbound", "outbound", "netmail", "decode"}) {
    if (!list_dir(dir).empty()) fail("collect or deliver wrote into %s/", dir);
  }
  if (list_dir("lists") != std::vector<std::string>{"DEV.CFG"}) fail("lists/ changed");
  for (const std::string& name : list_dir("temp")) {
    if (name != "nntp.pass" && name != "soup.log") fail("temp/%s was written", name.c_str());
  }
  for (const std::string& name : list_dir("soup")) {
    bool known =
        name == "AREAS" || name == "COLLECT.DAT" || name == "HISTORY.MDB" ||
        name == "HISTORY.MDB-lock" || name == "HISTORY.BAD" ||
        (name.size() == 10 && name.compare(0, 2, "QS") == 0 && name.compare(6, 4, ".MSG") == 0) ||
        (delivered && (name == "DELIVER.JNL" || name == "REPLIES" || name == "news0000.MSG" ||
                       (name.size() == 12 && name.compare(8, 4, ".REF") == 0)));
    if (!known) fail("soup/%s is left", name.c_str());
  }
}

void check_talks(const std::vector<NntpTalk>& talks, const char* who) {
  for (const NntpTalk& talk : talks) {
    if (!talk.client_closed) fail("%s left a connection open", who);
    if (talk.client_waited) fail("%s waited for a server that had sent all it had", who);
  }
}

// --- collect ---

struct Packed {
  std::string group;
  std::string text;
};

std::vector<Packed> read_packet() {
  std::vector<Packed> packet;
  std::string areas = read_file("soup/AREAS");
  for (std::string_view line : lines_of(areas)) {
    SoupListing listing;
    if (!parse_soup_listing(line, listing)) fail("AREAS holds the line \"%.80s\"", line.data());
    std::string file = read_file("soup/" + listing.prefix + ".MSG");
    std::vector<std::string> messages;
    if (file.empty() || !framed_messages(file, messages)) {
      fail("%s.MSG is missing or not framed whole", listing.prefix.c_str());
    }
    if (listing.name != kGroups[0] && listing.name != kGroups[1]) {
      fail("AREAS names the area \"%s\"", listing.name.c_str());
    }
    for (std::string& m : messages) packet.push_back({listing.name, std::move(m)});
  }
  return packet;
}

class CollectCheck {
 public:
  CollectCheck(const Options& o, const TalkReading& r, const std::string& log)
      : o_(o), r_(r), log_(log), packet_(read_packet()) {
    for (const ArticleAnswer& a : r_.articles)
      asked_.emplace(std::make_pair(a.group, a.number), &a);
  }

  void run() {
    check_packet();
    check_asked();
    check_marks();
    check_no_body_for_known();
    if (o_.keep_history) {
      std::vector<std::string> ids;
      for (const Packed& p : packet_) ids.push_back(header_value(p.text, "Message-ID"));
      check_history_after_collect(log_, o_.damaged(), o_.history, ids);
    }
    for (const char* group : kGroups) {
      if (ended_early(group) && !contains(log_, std::string("\n! group ") + group + ", article ")) {
        fail("the talk of %s ended early, and the log does not say so", group);
      }
    }
  }

 private:
  // Every article in the packet was served whole, under the number asked,
  // and not larger than the largest taken, as often at least.
  void check_packet() {
    std::map<std::pair<std::string, std::string>, long> served, packed;
    for (const ArticleAnswer& a : r_.articles) {
      if (a.code == 220 && a.whole && a.in_step && a.size <= o_.max_size) {
        ++served[{a.group, a.text}];
        if (std::string_view id = status_message_id(a.status); !id.empty()) {
          reply_ids_[a.text].emplace(id);
        }
      }
    }
    std::set<std::string> own_ids;
    for (const Packed& p : packet_) {
      long times = ++packed[{p.group, p.text}];
      long given = served[{p.group, p.text}];
      if (times > given) {
        fail(
            "an article of %zu bytes is in the packet (%s) %ld times, the server served it whole "
            "%ld times",
            p.text.size(), p.group.c_str(), times, given);
      }
      std::string id = header_value(p.text, "Message-ID");
      if (o_.keep_history && is_message_id(id)) {
        if (!own_ids.insert(id).second) fail("%s is in the packet twice", id.c_str());
        if (in_history(id) && !o_.damaged()) {
          fail("%s was in the history, and is in the packet", id.c_str());
        }
      }
      taken_ids_.insert(id);
      for (const std::string& reply_id : reply_ids_[p.text]) taken_ids_.insert(reply_id);
    }
  }

  // Only articles above the old mark and within what the server has are
  // asked for, after the group was selected.
  void check_asked() {
    for (const ArticleAnswer& a : r_.articles) {
      const GroupAnswer* g = group_answer(a.group);
      if (g == nullptr) fail("article %llu asked for without a group", ull(a.number));
      int i = a.group == kGroups[0] ? 0 : 1;
      if (renumbered(i)) {
        if (a.number < start_of(i)) {
          fail("article %llu of the renumbered %s asked for, below %llu", ull(a.number),
               a.group.c_str(), ull(start_of(i)));
        }
      } else if (o_.has_mark[i] && a.number <= o_.mark[i]) {
        fail("article %llu of %s asked for again (the last taken was %llu)", ull(a.number),
             a.group.c_str(), ull(o_.mark[i]));
      }
      if (a.number < g->low || a.number > g->high) {
        fail("article %llu of %s asked for, the server has %llu to %llu", ull(a.number),
             a.group.c_str(), ull(g->low), ull(g->high));
      }
    }
  }

  void check_marks() {
    std::map<std::string, uint64_t> marks;
    std::string dat = read_file("soup/COLLECT.DAT");
    for (std::string_view line : lines_of(dat)) {
      std::vector<std::string_view> f = split_fields(line, '\t');
      if (f.size() != 3 || f[0] != kServerKey) fail("COLLECT.DAT holds \"%.80s\"", line.data());
      marks[std::string(f[1])] = number_of(f[2], UINT64_MAX);
    }
    for (int i = 0; i < 2; ++i) {
      auto found = marks.find(kGroups[i]);
      if (found == marks.end()) {
        if (o_.has_mark[i]) fail("the mark of %s is gone", kGroups[i]);
        continue;
      }
      uint64_t mark = found->second;
      uint64_t old = o_.has_mark[i] ? o_.mark[i] : 0;
      if (o_.has_mark[i] && mark == old) continue;
      if (mark < old && !renumbered(i))
        fail("the mark of %s went back from %llu to %llu", kGroups[i], ull(old), ull(mark));
      const GroupAnswer* g = group_answer(kGroups[i]);
      if (g == nullptr) fail("the mark of %s moved, but no GROUP was understood", kGroups[i]);
      uint64_t first = start_of(i);
      if (mark < first || mark > g->high) {
        fail("the mark of %s moved to %llu, outside %llu to %llu", kGroups[i], ull(mark),
             ull(first), ull(g->high));
      }
      for (uint64_t n = first; n <= mark; ++n) justify(kGroups[i], n);
    }
  }

  // Article n of `group` is done with: taken, taken before, or skipped for
  // a reason the log names.
  void justify(const std::string& group, uint64_t n) {
    auto asked = asked_.find({group, n});
    const ArticleAnswer* a = asked == asked_.end() ? nullptr : asked->second;
    std::string which = group + ", article " + std::to_string(n);
    if (a == nullptr) {
      for (const OverviewLine& line : r_.overview) {
        if (line.group == group && line.number == n && taken_before(line.id)) return;
      }
      for (const StatAnswer& st : r_.stats) {
        if (st.group == group && st.number == n && st.code == 223 && st.in_step &&
            taken_before(std::string(status_message_id(st.status)))) {
          return;
        }
      }
      fail(
          "the mark of %s moved past article %llu, which was neither asked for nor listed as "
          "taken before (by the overview or STAT)",
          group.c_str(), ull(n));
    }
    if ((a->code == 423 || a->code == 430) && !vouched(group, n)) {
      fail(
          "the mark of %s moved past article %llu on \"%.100s\", and the talk ended early with "
          "no later answer in step",
          group.c_str(), ull(n), a->status.c_str());
    }
    if (a->code == 423 || a->code == 430) {
      if (o_.verbose && !contains(log_, "\nGroup " + which + " is no longer on the server: ")) {
        fail("%s is passed as no longer on the server, and the log does not say so", which.c_str());
      }
      return;
    }
    if (a->code == 220 && a->whole && a->in_step) {
      if (a->size > o_.max_size) {
        if (!contains(log_, "\n! group " + which + " ")) {
          fail("%s is passed as too large, and the log does not say so", which.c_str());
        }
        return;
      }
      for (const Packed& p : packet_) {
        if (p.group == group && p.text == a->text) return;
      }
      std::string id = header_value(a->text, "Message-ID");
      if (id.empty()) id.assign(status_message_id(a->status).substr(0, 250));
      if (taken_before(id)) return;
    }
    fail("the mark of %s moved past article %llu, answered \"%.100s\", which is not in the packet",
         group.c_str(), ull(n), a->status.c_str());
  }

  // The server's numbers fell below the old mark: the group is taken again
  // as on first contact, and the log says so.
  bool renumbered(int i) const {
    const GroupAnswer* g = group_answer(kGroups[i]);
    bool is = o_.has_mark[i] && g != nullptr && g->high < o_.mark[i];
    if (is && !contains(log_, std::string("\n! group ") + kGroups[i] + " was renumbered: ")) {
      fail("%s was renumbered, and the log does not say so", kGroups[i]);
    }
    return is;
  }

  // The first article to take: after the old mark, or on first contact (and
  // after a renumbering) the newest NntpFirstFetch ones.
  uint64_t start_of(int i) const {
    const GroupAnswer* g = group_answer(kGroups[i]);
    if (g == nullptr) return 0;
    bool afresh = !o_.has_mark[i] || renumbered(i);
    uint64_t first = std::max<uint64_t>(afresh ? g->low : std::max(o_.mark[i] + 1, g->low), 1);
    if (afresh && o_.first_fetch != 0 && g->high >= first && g->high - first >= o_.first_fetch) {
      first = g->high - o_.first_fetch + 1;
    }
    return first;
  }

  // No body is fetched of an article whose Message-ID the history had, as
  // the overview or the answer to STAT gave it (while the answers were in
  // step).
  void check_no_body_for_known() {
    if (!o_.keep_history || o_.damaged()) return;
    auto known = [&](std::string_view id) {
      return !id.empty() && id.size() <= 400 && in_history(std::string(id));
    };
    for (const ArticleAnswer& a : r_.articles) {
      for (const OverviewLine& line : r_.overview) {
        if (line.group == a.group && line.number == a.number && known(line.id)) {
          fail("article %llu of %s fetched, and the overview gave %s, which the history has",
               ull(a.number), a.group.c_str(), line.id.c_str());
        }
      }
      for (const StatAnswer& st : r_.stats) {
        std::string_view id = status_message_id(st.status);
        if (st.group == a.group && st.number == a.number && st.code == 223 && st.in_step &&
            known(id)) {
          fail("article %llu of %s fetched, and STAT gave %.*s, which the history has",
               ull(a.number), a.group.c_str(), static_cast<int>(id.size()), id.data());
        }
      }
    }
  }

  // An answer that names no article (423, 430) is the answer to the
  // article asked only while the server keeps in step: when the talk of a
  // group ends early (an answer missing, cut, refused or out of step), only
  // a 220 for a later article of the group vouches for it.
  bool vouched(const std::string& group, uint64_t n) const {
    if (!ended_early(group)) return true;
    for (const ArticleAnswer& a : r_.articles) {
      if (a.group == group && a.number > n && a.code == 220 && a.whole && a.in_step) return true;
    }
    return false;
  }

  // Some article of the group got no answer, or one that is none to it.
  bool ended_early(const std::string& group) const {
    for (const ArticleAnswer& a : r_.articles) {
      bool usual = (a.code == 220 && a.whole && a.in_step) || a.code == 423 || a.code == 430;
      if (a.group == group && !usual) return true;
    }
    return false;
  }

  bool in_history(const std::string& id) const {
    return std::find(o_.history.begin(), o_.history.end(), id) != o_.history.end();
  }

  bool taken_before(const std::string& id) const {
    return o_.keep_history && !id.empty() && (in_history(id) || taken_ids_.count(id) != 0);
  }

  const GroupAnswer* group_answer(const std::string& group) const {
    for (const GroupAnswer& g : r_.groups) {
      if (g.group == group && g.code == 211 && g.understood) return &g;
    }
    return nullptr;
  }

  static unsigned long long ull(uint64_t n) { return n; }

  const Options& o_;
  const TalkReading& r_;
  const std::string& log_;
  std::vector<Packed> packet_;
  std::map<std::string, std::set<std::string>> reply_ids_;  // by article text
  std::set<std::string> taken_ids_;
  std::map<std::pair<std::string, uint64_t>, const ArticleAnswer*> asked_;  // the first asking
};

// --- deliver ---

std::string reply_article(int i) {
  std::string n = std::to_string(i + 1);
  return "From: Joe Sysop <sysop@example.org>\nNewsgroups: alt.test\nSubject: Post " + n +
         "\nMessage-ID: <post." + n +
         "@example.org>\n\nA line.\n.A line that starts with a dot.\n.\n..\nThe end.\n";
}

std::string ledger_key(int index, std::string_view text) {
  char tail[64];
  std::snprintf(tail, sizeof tail, "\t%d\t%zu\t%08X", index, text.size(),
                static_cast<unsigned>(crc32(text.data(), text.size())));
  return std::string("news0000") + tail;
}

// What the server did with each reply, as the talk reads.
struct PostFates {
  std::vector<bool> accepted, refused, offered;
};

PostFates post_fates(const std::vector<NntpTalk>& talks, const std::vector<std::string>& replies) {
  PostFates f;
  f.accepted.assign(replies.size(), false);
  f.refused.assign(replies.size(), false);
  f.offered.assign(replies.size(), false);
  auto index_of = [&](auto matches) {
    for (std::size_t i = 0; i < replies.size(); ++i) {
      if (matches(i)) return i;
    }
    return replies.size();
  };
  for (const NntpTalk& talk : talks) {
    TalkReading r = read_talk(talk);
    for (const StatAnswer& s : r.stats) {
      std::size_t i = index_of([&](std::size_t k) {
        return "<post." + std::to_string(k + 1) + "@example.org>" == s.id;
      });
      if (i == replies.size()) fail("STAT %.80s, a Message-ID of no reply", s.id.c_str());
      f.offered[i] = true;
      std::string_view named = status_message_id(s.status);
      if (s.code == 223 && (named.empty() || named == s.id)) f.accepted[i] = true;
    }
    for (const PostAnswer& p : r.posts) {
      std::size_t i = index_of([&](std::size_t k) { return replies[k] == p.text; });
      if (!p.whole || i == replies.size()) fail("deliver posted what no reply holds");
      f.offered[i] = true;
      if (p.code == 240) f.accepted[i] = true;
      if (p.code == 441) f.refused[i] = true;
    }
  }
  return f;
}

std::vector<std::string> set_aside() {
  std::vector<std::string> texts;
  for (const std::string& name : list_dir("soup")) {
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".REF") == 0) {
      texts.push_back(read_file("soup/" + name));
    }
  }
  return texts;
}

// Deliver with the scripts; the replies are news only, so no mail may
// reach the sendmail stand-in.
std::vector<NntpTalk> run_deliver(std::vector<std::string> scripts, std::size_t chunk) {
  FakeSendmail& sendmail = fake_sendmail();
  sendmail = FakeSendmail{};
  sendmail.on = true;
  start_nntp_server(std::move(scripts), chunk);
  as_run([] { deliver_replies(); });
  std::vector<NntpTalk> talks = stop_nntp_server();
  sendmail.on = false;
  if (!sendmail.accepted.empty() || !sendmail.refused.empty()) fail("deliver sent news as mail");
  return talks;
}

void deliver_and_check(const Options& o, std::string_view first, std::string_view second) {
  std::vector<std::string> replies;
  for (int i = 0; i < o.posts; ++i) replies.push_back(reply_article(i));
  write_file("soup/REPLIES", "news0000\tnews\tBn\n");
  write_file("soup/news0000.MSG", framed(replies));
  guarded([&] {
    if (!start_run()) fail("the fixed configuration could not be read");
  });
  apply_options(o);
  std::vector<NntpTalk> talks = run_deliver({std::string(first), std::string(second)}, o.chunk);
  check_talks(talks, "deliver");
  PostFates fates = post_fates(talks, replies);
  std::vector<std::string> aside = set_aside();
  auto check_refused = [&](std::size_t i) {
    if (!fates.refused[i]) fail("reply %zu is set aside, but the server did not refuse it", i + 1);
    if (std::find(aside.begin(), aside.end(), replies[i]) == aside.end()) {
      fail("reply %zu was refused, and is not set aside whole", i + 1);
    }
  };
  std::string ledger = read_file("soup/DELIVER.JNL");
  for (std::size_t i = 0; i < replies.size(); ++i) {
    std::string key = ledger_key(static_cast<int>(i), replies[i]);
    if (contains(ledger, key + "\tsent\n") && !fates.accepted[i]) {
      fail("reply %zu is noted as sent, but the server did not accept it", i + 1);
    }
    if (contains(ledger, key + "\trefused\n")) check_refused(i);
  }
  if (!exists("soup/news0000.MSG")) {
    for (std::size_t i = 0; i < replies.size(); ++i) {
      if (fates.accepted[i]) continue;
      if (!fates.refused[i]) fail("reply %zu is gone, but the server never took it", i + 1);
      check_refused(i);
    }
  }

  // The next run, against a server that takes everything.
  std::string script = "200 ready\r\n200 reader\r\n";
  if (o.user) script += "381 password\r\n281 welcome\r\n";
  for (int i = 0; i < o.posts; ++i) script += "430 not here\r\n340 go on\r\n240 thanks\r\n";
  script += "205 bye\r\n";
  guarded([&] {
    if (!start_run()) fail("the fixed configuration could not be read");
  });
  apply_options(o);
  std::vector<NntpTalk> again = run_deliver({script}, 0);
  check_talks(again, "deliver");
  PostFates next = post_fates(again, replies);
  for (std::size_t i = 0; i < replies.size(); ++i) {
    if (next.offered[i] && (fates.accepted[i] || fates.refused[i])) {
      fail("reply %zu went out again after the server %s it", i + 1,
           fates.accepted[i] ? "took" : "refused");
    }
    if (!fates.accepted[i] && !fates.refused[i] && !next.accepted[i]) {
      fail("reply %zu was never taken", i + 1);
    }
  }
  if (exists("soup/news0000.MSG") || exists("soup/REPLIES")) {
    fail("the replies stay after a server took them all");
  }
}

}  // namespace

QUILLMAR_FUZZ_TARGET(soup_nntp) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  auto [words, scripts] = split_input(input, "\n");
  Options o = read_options(words.substr(0, 1024));
  std::vector<std::string_view> parts = split_parts(scripts, 3);
  bool deliver = scripts.find(kPartSeparator) != std::string_view::npos;

  reset_box(Mailer::binkley, kConfig);
  std::string marks;
  for (int i = 0; i < 2; ++i) {
    if (o.has_mark[i]) {
      marks +=
          std::string(kServerKey) + "\t" + kGroups[i] + "\t" + std::to_string(o.mark[i]) + "\n";
    }
  }
  if (!marks.empty()) write_file("soup/COLLECT.DAT", marks);
  write_file(kPassFile, "secret\n");
  guarded([] {
    if (!start_run()) fail("the fixed configuration could not be read");
  });
  apply_options(o);
  if (o.keep_history && (!o.history.empty() || o.fill != 0 || o.damaged())) {
    std::vector<std::string> ids = o.history;
    for (uint32_t i = 0; i < o.fill; ++i) ids.push_back("<" + std::to_string(i) + ".fill@fuzz>");
    guarded([&] {
      if (!record_history(ids)) fail("the history could not be written");
    });
    o.damage.apply();
  }
  set_whole_log_lines(true);
  if (!log_file().open(in_box(kLog), platform::OpenMode::write)) fail("no log file");

  start_nntp_server({std::string(parts[0])}, o.chunk);
  as_run([] { collect_packet(); });
  std::vector<NntpTalk> talks = stop_nntp_server();
  // A line of the log starts after a line feed.
  std::string log = "\n" + read_file(kLog);
  check_talks(talks, "collect");
  if (talks.size() > 1) fail("collect connected %zu times to one server", talks.size());
  TalkReading reading = talks.empty() ? TalkReading{} : read_talk(talks[0]);
  CollectCheck(o, reading, log).run();
  check_outside_soup(false);

  if (deliver) {
    deliver_and_check(o, parts[1], parts[2]);
    check_outside_soup(true);
  }
  log_file().close();
  set_whole_log_lines(false);
  return 0;
}
