#include "export/journal.hpp"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/char_class.hpp"
#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"
#include "export/packet_reader.hpp"
#include "fido/packet_writer.hpp"
#include "platform/fs.hpp"
#include "soup/reply.hpp"

namespace quillmar {

namespace {

constexpr const char* kHeader = "QUILLMAR EXPORT JOURNAL 1";

// post: a notice packet written under a name no tosser takes is put into
// the inbound under a packet name (its path is the first name). install: a
// file written under a temporary name is put in the place of another.
enum class Act : uint8_t { remove, truncate, sent, kill, flow, post, install };
constexpr const char* kActNames[] = {"remove", "truncate", "sent",   "kill",
                                     "flow",   "post",     "install"};

struct Action {
  Act act = Act::remove;
  std::string path;
  platform::FileStamp stamp;  // the file as the run found it
  uint64_t size = 0;          // flow: bytes read; sent, kill: kStoredHeaderSize
  uint32_t crc = 0;           // flow: their CRC-32; sent, kill: that of the header
  std::string kept;           // flow: the lines that stay; install: the temporary file
};

// Actions that consume no input: they only change what they name.
bool consumes_input(Act act) {
  return act != Act::truncate && act != Act::install;
}

// A stored message is told by what it holds, not by its modification time:
// a mark cut short by a kill leaves the old bytes with a new time. The
// header's CRC-32 is taken with the Sent bit cleared, so that it is the
// same before and after the mark.
uint32_t stored_header_crc(const unsigned char* header) {
  unsigned char h[kStoredHeaderSize];
  std::copy(header, header + kStoredHeaderSize, h);
  put_le16(h + stored_field::kAttribute,
           static_cast<uint16_t>(get_le16(h + stored_field::kAttribute) & ~kMsgSent));
  return crc32(h, sizeof h);
}

// Actions noted by older runs carry no CRC of the header: such a stored
// message is judged by its stamp.
bool judged_by_header(const Action& a) {
  return (a.act == Act::sent || a.act == Act::kill) && a.size == kStoredHeaderSize;
}

// Is the stored message of `a`, whose header is `h` and whose stamp is
// `now`, the message that was exported?
bool same_stored_message(const Action& a, const unsigned char* h, const platform::FileStamp& now) {
  if (!judged_by_header(a)) return now == a.stamp;
  return now.size == a.stamp.size && stored_header_crc(h) == a.crc;
}

// Reads the header of a stored message; false when it cannot be read.
bool read_stored_header(platform::File& f, std::string_view path, platform::OpenMode mode,
                        unsigned char* h) {
  return f.open(path, mode) && f.read(h, kStoredHeaderSize) == kStoredHeaderSize;
}

std::vector<Action> actions;             // owed by earlier runs, then this run's
std::size_t owed_count = 0;              // the first actions, owed by earlier runs
std::vector<ReplyListing> begun;         // reply files begun (state open)
std::vector<std::string> begun_notices;  // notice packets begun, by their first name
// The inputs the actions consume (not the files they empty), by their name
// in one case, with the first action that names each.
std::unordered_map<std::string, std::size_t> consumed;
bool journal_on_disk = false;
bool journal_unwritable = false;  // a reply file's note could not be written

std::string journal_path() {
  return std::string(settings->SoupDir.view()) + "EXPORT.JNL";
}

// The journal being written anew, before it takes the journal's place.
std::string temp_journal_path() {
  return std::string(settings->SoupDir.view()) + "QUILLMAR.JNT";
}

std::string input_key(std::string_view path) {
  std::string key = platform::absolute_path(path);
  for (char& c : key) c = ascii_lower(c);
  return key;
}

// Rebuilds the index of the consumed inputs.
void index_actions() {
  consumed.clear();
  for (std::size_t i = 0; i < actions.size(); ++i) {
    if (consumes_input(actions[i].act)) consumed.emplace(input_key(actions[i].path), i);
  }
}

std::string hex_of(std::string_view text) {
  if (text.empty()) return "-";
  std::string out;
  for (unsigned char c : text) {
    out.push_back(hex_digit_char(c >> 4));
    out.push_back(hex_digit_char(c & 0x0F));
  }
  return out;
}

bool text_of_hex(std::string_view hex, std::string& out) {
  out.clear();
  if (hex == "-") return true;
  if (hex.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int hi = hex_digit_value(hex[i]);
    int lo = hex_digit_value(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

// Writes the journal whole under a temporary name and puts it in place.
bool write_journal(const char* state, const std::vector<ReplyListing>& listings) {
  // Before the commit only what earlier runs still owe counts.
  const std::size_t action_count =
      std::string_view(state) == "open" ? std::min(owed_count, actions.size()) : actions.size();
  std::string text = std::string(kHeader) + "\nstate " + state + "\n";
  char line[96];
  for (const ReplyListing& l : begun) {
    std::snprintf(line, sizeof line, "reply %d %u\n", l.kind, unsigned{l.number});
    text += line;
  }
  for (const ReplyListing& l : listings) {
    std::snprintf(line, sizeof line, "list %d %u\n", l.kind, unsigned{l.number});
    text += line;
  }
  for (const std::string& n : begun_notices) text += "notice " + hex_of(n) + "\n";
  for (std::size_t i = 0; i < action_count; ++i) {
    const Action& a = actions[i];
    std::snprintf(line, sizeof line, "%s %" PRIu64 " %" PRId64 " %" PRIu64 " %" PRIu32 " ",
                  kActNames[static_cast<int>(a.act)], a.stamp.size, a.stamp.mtime_ns, a.size,
                  a.crc);
    text += line + hex_of(a.path) + " " + hex_of(a.kept) + "\n";
  }
  text += "end\n";
  std::string path = journal_path();
  std::string temp = temp_journal_path();
  platform::File f;
  bool ok = f.open(temp, platform::OpenMode::write, platform::Share::deny_write) && f.write(text) &&
            f.sync();
  ok = f.close() && ok;
  ok = ok && platform::replace_file(temp, path) && platform::sync_directory_of(path);
  if (!ok) {
    platform::name_failed_write(temp, path);
    log_print("! error writing %s: %s\n", path.c_str(), platform::last_error());
    // What is left of the temporary file goes; that is no change of its own.
    platform::remove_exact(temp);
    return false;
  }
  journal_on_disk = true;
  return true;
}

bool remove_journal() {
  if (!journal_on_disk) return true;
  std::string path = journal_path();
  if (!platform::remove_file(path) || !platform::sync_directory_of(path)) {
    log_print("! can't remove %s: %s\n", path.c_str(), platform::last_error());
    note_run_failure();
    return false;
  }
  journal_on_disk = false;
  return true;
}

struct ReadJournal {
  bool committed = false;
  std::vector<ReplyListing> replies;
  std::vector<ReplyListing> listings;
  std::vector<std::string> notices;
  std::vector<Action> actions;
};

bool read_journal(ReadJournal& out) {
  std::string data;
  if (!read_whole_file(journal_path(), data)) return false;
  std::vector<std::string_view> lines;
  for (std::size_t pos = 0; pos < data.size();) {
    std::size_t end = data.find('\n', pos);
    if (end == std::string::npos) return false;
    lines.push_back(std::string_view(data).substr(pos, end - pos));
    pos = end + 1;
  }
  if (lines.size() < 3 || lines.front() != kHeader || lines.back() != "end") return false;
  if (lines[1] == "state commit") {
    out.committed = true;
  } else if (lines[1] != "state open") {
    return false;
  }
  for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
    std::string line(lines[i]);
    char word[16] = {};
    int kind = 0;
    unsigned number = 0;
    if (std::sscanf(line.c_str(), "reply %d %u", &kind, &number) == 2 ||
        std::sscanf(line.c_str(), "list %d %u", &kind, &number) == 2) {
      ReplyListing l{kind == kReplyNews ? kReplyNews : kReplyMail, static_cast<uint16_t>(number)};
      (line[0] == 'r' ? out.replies : out.listings).push_back(l);
      continue;
    }
    if (line.starts_with("notice ")) {
      std::string path;
      if (!text_of_hex(std::string_view(line).substr(7), path) || path.empty()) return false;
      out.notices.push_back(std::move(path));
      continue;
    }
    Action a;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "%15s %" SCNu64 " %" SCNd64 " %" SCNu64 " %" SCNu32 " %n", word,
                    &a.stamp.size, &a.stamp.mtime_ns, &a.size, &a.crc, &consumed) != 5 ||
        consumed <= 0) {
      return false;
    }
    auto name = std::find_if(std::begin(kActNames), std::end(kActNames),
                             [&](const char* n) { return std::string_view(n) == word; });
    if (name == std::end(kActNames)) return false;
    a.act = static_cast<Act>(name - std::begin(kActNames));
    a.stamp.exists = true;
    std::string_view rest = std::string_view(line).substr(static_cast<std::size_t>(consumed));
    std::size_t space = rest.find(' ');
    if (space == std::string_view::npos || !text_of_hex(rest.substr(0, space), a.path) ||
        !text_of_hex(rest.substr(space + 1), a.kept) || a.path.empty()) {
      return false;
    }
    out.actions.push_back(std::move(a));
  }
  return true;
}

void report_changed(const Action& a) {
  log_print("! %s was changed by another program since it was exported: left as it is\n",
            platform::shown_path(a.path).c_str());
  note_run_failure();
}

void report_failed(const Action& a, const char* what) {
  const char* reason = platform::last_error();
  log_print("! can't %s %s: %s\n", what, platform::shown_path(a.path).c_str(), reason);
}

// Removes an input; false when that failed (reported).
bool remove_input(const Action& a) {
  if (platform::remove_file(a.path)) return true;
  report_failed(a, "remove");
  return false;
}

// Puts a notice packet into the inbound beside it under the first free
// packet name; one that is no longer under its first name is there.
bool post_notice(const Action& a) {
  if (!platform::exists_exact(a.path)) return true;
  std::string dir = a.path.substr(0, a.path.rfind('/') + 1);
  PathText target;
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (!unique_hex_name(dir, "PKT", target)) break;
    if (platform::rename_exact(a.path, target.view())) {
      log_print("* notice %s put into the inbound as %s\n", platform::shown_path(a.path).c_str(),
                platform::shown_path(target.view()).c_str());
      return true;
    }
    if (errno != EEXIST) break;
  }
  report_failed(a, "put into the inbound");
  return false;
}

// Removes the notice packets begun that no action of `owed` puts into the
// inbound (those of an interrupted run, or of sources taken back).
void remove_unposted_notices(const std::vector<std::string>& notices,
                             const std::vector<Action>& owed) {
  for (const std::string& n : notices) {
    bool posted = std::any_of(owed.begin(), owed.end(),
                              [&](const Action& a) { return a.act == Act::post && a.path == n; });
    if (posted || !platform::exists_exact(n)) continue;
    if (!platform::remove_exact(n)) {
      log_print("! can't remove %s: %s\n", platform::shown_path(n).c_str(), platform::last_error());
      note_run_failure();
    }
  }
}

// Carries out one consumption; false when it could not be done and is
// still owed.
bool carry_out(const Action& a) {
  if (a.act == Act::post) return post_notice(a);
  platform::FileStamp now = platform::file_stamp(a.path);
  switch (a.act) {
    case Act::post:
      return true;
    case Act::remove:
      if (!now.exists) return true;
      if (now != a.stamp) {
        report_changed(a);
        return true;
      }
      return remove_input(a);
    case Act::truncate: {
      if (!now.exists || now.size == 0) return true;
      if (now != a.stamp) {
        report_changed(a);
        return true;
      }
      platform::File f;
      if (!f.open(a.path, platform::OpenMode::write, platform::Share::deny_write) || !f.close()) {
        report_failed(a, "truncate");
        return false;
      }
      return true;
    }
    case Act::sent:
    case Act::kill: {
      if (!now.exists) return true;
      platform::File f;
      unsigned char h[kStoredHeaderSize];
      if (!read_stored_header(f, a.path, platform::OpenMode::update, h)) {
        report_failed(a, a.act == Act::sent ? "mark as sent" : "remove");
        return false;
      }
      uint16_t attribute = get_le16(h + stored_field::kAttribute);
      const bool marked = (attribute & kMsgSent) != 0;
      if (a.act == Act::kill) {
        f.close();
        const bool same =
            judged_by_header(a) ? same_stored_message(a, h, now) : now.size == a.stamp.size;
        if (!marked || !same) {
          report_changed(a);
          return true;
        }
        return remove_input(a);
      }
      if (marked && !judged_by_header(a)) return true;
      if (!same_stored_message(a, h, now)) {
        // Marked by another program and changed besides, or changed.
        if (!marked) report_changed(a);
        return true;
      }
      if (marked) return true;
      put_le16(h + stored_field::kAttribute, static_cast<uint16_t>(attribute | kMsgSent));
      bool ok = f.seek(0) && f.write(h, kStoredHeaderSize) && f.flush();
      if (!f.close() || !ok) {
        report_failed(a, "mark as sent");
        return false;
      }
      return true;
    }
    case Act::install: {
      // Put in place once: the temporary file is gone afterwards.
      if (!platform::file_stamp(a.kept).exists) return true;
      std::string path = a.path;
      // A new file whose name another program took meanwhile (an import
      // between a killed run and this one) takes the next free name.
      if (a.size != 0 && platform::file_exists(path)) {
        const std::size_t dot = path.rfind('.');
        const std::size_t slash = path.rfind('/');
        PathText free_name;
        if (dot != std::string::npos && slash != std::string::npos && dot > slash &&
            unique_hex_name(std::string_view(path).substr(0, slash + 1),
                            std::string_view(path).substr(dot + 1), free_name)) {
          path = free_name.view();
        }
      }
      const bool ok =
          a.size == 0 ? platform::replace_file(a.kept, path) : platform::rename_file(a.kept, path);
      if (!ok) {
        report_failed(a, "put in place");
        return false;
      }
      return true;
    }
    case Act::flow: {
      std::string data;
      if (!now.exists) return true;
      if (!read_whole_file(a.path, data)) {
        report_failed(a, "read");
        return false;
      }
      std::string kept = a.kept;
      if (data.size() >= a.size && crc32(data.data(), a.size) == a.crc) {
        kept += data.substr(a.size);
      } else {
        if (data != a.kept) report_changed(a);
        return true;
      }
      if (kept == data) return true;
      if (kept.empty()) return remove_input(a);
      std::string temp = a.path + ".QTM";
      platform::File f;
      bool ok = f.open(temp, platform::OpenMode::write, platform::Share::deny_write) &&
                f.write(kept) && f.sync();
      ok = f.close() && ok;
      ok = ok && (platform::copy_permissions(a.path, temp), platform::replace_file(temp, a.path));
      if (!ok) {
        report_failed(a, "rewrite");
        platform::remove_file(temp);
        return false;
      }
      return true;
    }
  }
  return true;
}

// Whether carrying out `a` changes what a file holds (a mark, a file
// emptied) rather than only the entries of its directory (a removal, a
// file put in place of another after it was synced).
bool changes_contents(const Action& a) {
  return a.act == Act::sent || a.act == Act::truncate;
}

// Carries out every consumption; those that fail stay owed.
void carry_out_all() {
  std::vector<Action> owed;
  // The directories of the inputs consumed (OS form, "/" at the end), and
  // whether a file's contents changed there.
  std::vector<std::pair<std::string, bool>> directories;
  for (const Action& a : actions) {
    // A stored message whose mark failed is not deleted.
    bool blocked =
        a.act == Act::kill && std::any_of(owed.begin(), owed.end(), [&](const Action& o) {
          return o.act == Act::sent && o.path == a.path;
        });
    if (blocked || !carry_out(a)) {
      owed.push_back(a);
      continue;
    }
    std::string dir = platform::os_path(a.path);
    std::size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "./" : dir.substr(0, slash + 1);
    auto found = std::find_if(directories.begin(), directories.end(),
                              [&](const auto& d) { return d.first == dir; });
    if (found == directories.end()) {
      directories.emplace_back(dir, changes_contents(a));
    } else {
      found->second = found->second || changes_contents(a);
    }
  }
  // Marks, removals and renames stay so after a power cut, before the
  // journal goes: where only entries changed, one sync of the directory;
  // where marks were written, one sync of the file system for all of them.
  for (const auto& [dir, contents] : directories) {
    if (!(contents ? platform::sync_file_system_of(dir) : platform::sync_directory_of(dir))) {
      log_print("! error writing %s: %s\n", dir.c_str(), platform::last_error());
      note_run_failure();
    }
  }
  actions = std::move(owed);
  index_actions();
  if (!actions.empty()) {
    note_run_failure();
    log_print(
        "! %zu input file(s) sent but not yet removed or marked: kept out of later runs "
        "until this succeeds\n",
        actions.size());
  }
}

// Ends the run's journal: removed, or kept with what is still owed.
void settle_journal() {
  begun.clear();
  begun_notices.clear();
  if (actions.empty()) {
    remove_journal();
  } else if (!write_journal("commit", {})) {
    note_run_failure();
  }
}

void note(Act act, std::string_view path, const platform::FileStamp* as_read = nullptr) {
  if (run_options.test_mode) return;
  Action a;
  a.act = act;
  a.path = platform::absolute_path(path);
  a.stamp = as_read != nullptr ? *as_read : platform::file_stamp(path);
  if (!a.stamp.exists) return;
  if (consumes_input(act)) consumed.emplace(input_key(a.path), actions.size());
  actions.push_back(std::move(a));
}

// The action just noted for the stored message `path` is judged by its
// header `header`.
void take_header(std::string_view path, const unsigned char* header) {
  if (actions.empty() || run_options.test_mode) return;
  Action& a = actions.back();
  if ((a.act != Act::sent && a.act != Act::kill) || a.path != platform::absolute_path(path)) return;
  a.size = kStoredHeaderSize;
  a.crc = stored_header_crc(header);
}

// Removes the begun reply files that hold no listed message (a file cut
// back to nothing, or one whose packets were all taken out again).
void remove_unlisted_begun(const std::vector<ReplyListing>& listings) {
  for (const ReplyListing& l : begun) {
    bool listed = std::any_of(listings.begin(), listings.end(), [&](const ReplyListing& x) {
      return x.kind == l.kind && x.number == l.number;
    });
    std::string path = reply_file_path(l.kind, l.number);
    if (listed || !platform::file_exists(path)) continue;
    if (!platform::remove_file(path)) {
      log_print("! can't remove %s: %s\n", path.c_str(), platform::last_error());
      note_run_failure();
    }
  }
}

}  // namespace

bool journal_start() {
  journal_reset();
  // One cut short by a kill never counted.
  if (platform::file_exists(temp_journal_path()) && !platform::remove_file(temp_journal_path())) {
    log_print("! can't remove %s: %s\n", platform::shown_path(temp_journal_path()).c_str(),
              platform::last_error());
    note_run_failure();
  }
  if (!platform::file_exists(journal_path())) return true;
  ReadJournal j;
  if (!read_journal(j)) {
    log_print("! %s cannot be read: nothing is exported until it is mended or removed\n",
              journal_path().c_str());
    note_run_failure();
    return false;
  }
  journal_on_disk = true;
  if (!j.committed) {
    // An interrupted run: its own inputs are untouched, its reply files
    // unlisted; what earlier runs still owe is carried out below.
    for (const ReplyListing& l : j.replies) {
      std::string path = reply_file_path(l.kind, l.number);
      if (!platform::file_exists(path) || replies_holds(replies_line(l.kind, l.number))) continue;
      if (platform::remove_file(path)) {
        log_print("* %s removed: unlisted reply file of an interrupted run\n", path.c_str());
      } else {
        log_print("! can't remove %s: %s\n", path.c_str(), platform::last_error());
        note_run_failure();
      }
    }
    platform::sync_directory_of(journal_path());
  } else {
    log_print("* completing the export of an earlier run\n");
    if (!sync_reply_files(j.listings) || !list_reply_files(j.listings)) {
      note_run_failure();
      return false;
    }
  }
  remove_unposted_notices(j.notices, j.committed ? j.actions : std::vector<Action>());
  if (!j.committed) {
    std::erase_if(j.actions, [](const Action& a) { return a.act == Act::post; });
  }
  actions = std::move(j.actions);
  index_actions();
  carry_out_all();
  owed_count = actions.size();
  settle_journal();
  return true;
}

bool journal_note_reply_file(int kind, uint16_t number) {
  // A journal that could not be written once (a full disk) is not tried
  // again for every message: the rest of the run makes no reply file.
  if (journal_unwritable) return false;
  begun.push_back(ReplyListing{kind, number});
  if (write_journal("open", {})) return true;
  begun.pop_back();
  journal_unwritable = true;
  note_run_failure();
  return false;
}

void journal_remove(std::string_view path) {
  note(Act::remove, path);
}

bool journal_note_notice(std::string_view path) {
  if (run_options.test_mode) return true;
  if (journal_unwritable) return false;
  begun_notices.push_back(platform::absolute_path(path));
  if (write_journal("open", {})) return true;
  begun_notices.pop_back();
  journal_unwritable = true;
  note_run_failure();
  return false;
}

bool journal_post_notice(std::string_view path) {
  Action a;
  a.act = Act::post;
  a.path = platform::absolute_path(path);
  // Under /TEST nothing waits for a commit.
  if (run_options.test_mode) return post_notice(a);
  a.stamp = platform::file_stamp(path);
  actions.push_back(std::move(a));
  return true;
}
void journal_remove(std::string_view path, const platform::FileStamp& as_read) {
  note(Act::remove, path, &as_read);
}
void journal_truncate(std::string_view path, const platform::FileStamp& as_read) {
  note(Act::truncate, path, &as_read);
}
void journal_mark_sent(std::string_view path, const platform::FileStamp& as_read,
                       const unsigned char* header) {
  note(Act::sent, path, &as_read);
  take_header(path, header);
}
void journal_truncate(std::string_view path) {
  note(Act::truncate, path);
}
void journal_kill(std::string_view path, const platform::FileStamp& as_read,
                  const unsigned char* header) {
  note(Act::kill, path, &as_read);
  take_header(path, header);
}

void journal_rewrite_flow(std::string_view path, uint64_t size, uint32_t crc,
                          std::string_view kept) {
  if (run_options.test_mode) return;
  Action a;
  a.act = Act::flow;
  a.path = platform::absolute_path(path);
  a.stamp = platform::file_stamp(path);
  a.size = size;
  a.crc = crc;
  a.kept = kept;
  consumed.emplace(input_key(a.path), actions.size());
  actions.push_back(std::move(a));
}

void journal_install(std::string_view temp, std::string_view path, bool replace) {
  if (run_options.test_mode) return;
  Action a;
  a.act = Act::install;
  a.path = platform::absolute_path(path);
  a.kept = platform::absolute_path(temp);
  a.stamp = platform::file_stamp(temp);
  a.stamp.exists = true;
  a.size = replace ? 0 : 1;
  actions.push_back(std::move(a));
}

bool journal_owes_install() {
  for (std::size_t i = 0; i < owed_count && i < actions.size(); ++i) {
    if (actions[i].act == Act::install) return true;
  }
  return false;
}

bool journal_consumes(std::string_view path) {
  auto found = consumed.find(input_key(path));
  if (found == consumed.end()) return false;
  const Action& a = actions[found->second];
  if (found->second >= owed_count || a.act == Act::flow) return true;
  // An owed input that changed meanwhile is new mail.
  platform::FileStamp now = platform::file_stamp(path);
  if (!judged_by_header(a)) return now == a.stamp;
  platform::File f;
  unsigned char h[kStoredHeaderSize];
  return read_stored_header(f, path, platform::OpenMode::read, h) && same_stored_message(a, h, now);
}

std::size_t journal_mark() {
  return actions.size();
}

void journal_rollback(std::size_t mark) {
  if (actions.size() <= mark) return;
  for (std::size_t i = mark; i < actions.size(); ++i) {
    if (actions[i].act == Act::post) platform::remove_exact(actions[i].path);
  }
  actions.resize(mark);
  index_actions();
}

bool journal_commit() {
  std::vector<ReplyListing> listings = held_reply_listings();
  clear_held_listings();
  remove_unlisted_begun(listings);
  if (listings.empty() && actions.size() == owed_count) {
    settle_journal();
    return true;
  }
  if (!sync_reply_files(listings) || !write_journal("commit", listings)) {
    log_print("! the reply packet could not be put on disk: nothing of this run is sent\n");
    note_run_failure();
    return false;
  }
  begun.clear();
  if (!list_reply_files(listings)) {
    // The journal stays: the next run lists the files before anything else.
    for (const ReplyListing& l : listings) {
      log_print("! %s is not listed in REPLIES; its line is \"%.*s\\t%s\\t%cn\"\n",
                reply_file_path(l.kind, l.number).c_str(), 8,
                replies_line(l.kind, l.number).c_str(), l.kind == kReplyNews ? "news" : "mail",
                l.kind == kReplyNews ? 'B' : 'b');
    }
    note_run_failure();
    return false;
  }
  carry_out_all();
  settle_journal();
  return true;
}

void journal_reset() {
  actions.clear();
  consumed.clear();
  begun.clear();
  begun_notices.clear();
  owed_count = 0;
  journal_on_disk = false;
  journal_unwritable = false;
}

const ReplyJournal* export_reply_journal() {
  static const ReplyJournal journal{journal_note_reply_file,
                                    [](std::string_view path, const platform::FileStamp& as_read) {
                                      journal_remove(path, as_read);
                                    },
                                    [](std::string_view path, const platform::FileStamp& as_read) {
                                      journal_truncate(path, as_read);
                                    }};
  return &journal;
}

}  // namespace quillmar
