#include "import/import_journal.hpp"

#include <algorithm>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"
#include "platform/background_change.hpp"
#include "soup/reply.hpp"

namespace quillmar {

namespace {

constexpr std::string_view kJournalHeader = "QUILLMAR-JOURNAL 1";
constexpr std::size_t kJournalMax = 16 * 1024 * 1024;

bool active = false;
// Up to this many changed files are put on disk one by one at a commit.
constexpr std::size_t kFilesSyncedOneByOne = 8;
long note_failures = 0;
// The files changed since the journal was last written are the ones its
// notes name: they are read back from it to be put on disk before the next
// write commits the changes (so that a run creating very many files does
// not hold their names).

// The directory sync that puts the entry of the newest temporary packet on
// disk: started when the packet is made, waited for before a journal names
// the packet, so that the run does not wait for it in between.
platform::BackgroundChange packet_entries;

// Packet numbering: the next number to try, found once per run.
bool numbering_ready = false;
uint32_t next_number = 0;

bool has_line_break(std::string_view text) {
  return text.find_first_of("\t\r\n") != std::string_view::npos;
}

bool parse_number(std::string_view text, int64_t& out) {
  if (text.empty() || text.size() > 20) return false;
  std::string digits(text);
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(digits.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0') return false;
  out = v;
  return true;
}

std::vector<std::string_view> split_tabs(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

void report(const char* what, std::string_view name) {
  log_print("! %s %.*s: %s\n", what, static_cast<int>(name.size()), name.data(),
            platform::last_error());
  note_run_failure();
}

// The journal as opened for notes: kept open between them, closed before
// the journal is replaced or removed.
platform::File note_file;
// Notes were written that are not yet known to be on disk (see
// append_note).
bool notes_unsynced = false;

void close_note_file() {
  if (note_file.is_open()) note_file.close();
}

// Appends one note to the journal, on disk unless `durable` is false (the
// note must then be put on disk by sync_notes() before what it tells of
// can last).
bool append_note(const std::string& line, bool durable = true) {
  if (!active) return true;
  PathText path;
  if (!journal_path(path) ||
      (!note_file.is_open() && !note_file.open(path, platform::OpenMode::append)) ||
      !note_file.write(line) || (durable ? !note_file.sync() : !note_file.flush())) {
    report("cannot write the journal", path.view());
    ++note_failures;
    close_note_file();
    return false;
  }
  notes_unsynced = !durable;
  return true;
}

// Puts the notes appended so far on disk (through the open journal, or by
// its name when it was closed meanwhile).
bool sync_notes() {
  if (!active || !notes_unsynced) return true;
  PathText path;
  bool named = journal_path(path);
  if (note_file.is_open() ? note_file.sync() : named && platform::sync_file(path)) {
    notes_unsynced = false;
    return true;
  }
  report("cannot write the journal", path.view());
  ++note_failures;
  close_note_file();
  return false;
}

// Decoded files waiting for their names (see open_decoded_file): a batch
// holds open files, not their buffers.
constexpr std::size_t kWaitingMax = 128;
platform::File waiting_files[kWaitingMax];
std::string waiting_paths[kWaitingMax];
std::size_t waiting_count = 0;

// Closes every waiting file without naming it: it is gone.
void drop_waiting_files() {
  for (std::size_t i = 0; i < waiting_count; ++i) waiting_files[i].close();
  waiting_count = 0;
}

// A decoded file's note names the file itself: its inode, and when it was
// made (an inode freed by a killed run may soon be another file's).
bool note_decoded_file(std::string_view path, const platform::FileIdentity& id, bool durable) {
  if (has_line_break(path)) return false;
  return append_note("file\t" + std::string(path) + "\t" + std::to_string(id.inode) + "\t" +
                         std::to_string(id.born_ns) + "\n",
                     durable);
}

// Gives a waiting file its name: the one chosen for it, or, when another
// program has taken that meanwhile, the next free one (noted first).
bool name_waiting_file(platform::File& file, const std::string& chosen) {
  if (file.link_as(chosen)) return file.close();
  if (errno != EEXIST) {
    report("cannot name decoded file", chosen);
    return false;
  }
  PathText other;
  platform::FileIdentity id;
  if (!other.assign(chosen) || !bump_file_name(other, decoded_name_taken) || !file.identity(id) ||
      !note_decoded_file(other.view(), id, true) || !file.link_as(other.view())) {
    report("cannot name decoded file", chosen);
    return false;
  }
  log_print("! decoded file %s saved as %s: the name was taken meanwhile\n", chosen.c_str(),
            other.c_str());
  return file.close();
}

// Names every waiting file, after one sync of the journal that notes them.
bool name_waiting_files() {
  if (waiting_count == 0) return true;
  if (!sync_notes()) {
    drop_waiting_files();
    return false;
  }
  bool ok = true;
  for (std::size_t i = 0; i < waiting_count; ++i) {
    if (!ok || !name_waiting_file(waiting_files[i], waiting_paths[i])) {
      waiting_files[i].close();
      ok = false;
    }
  }
  waiting_count = 0;
  return ok;
}

// The number of a packet name "%08lX.xxx".
bool packet_number(std::string_view path, uint32_t& number) {
  std::size_t sep = path.find_last_of("\\/");
  std::string_view name = sep == std::string_view::npos ? path : path.substr(sep + 1);
  if (name.size() != 12 || name[8] != '.') return false;
  uint32_t n = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    int digit = hex_value(name[i]);
    if (digit < 0) return false;
    n = n * 16 + static_cast<uint32_t>(digit);
  }
  number = n;
  return true;
}

// Finds, once per run, the highest packet number in use in the inbound.
void start_numbering() {
  if (numbering_ready) return;
  numbering_ready = true;
  next_number = 0;
  bool any = false;
  uint32_t highest = 0;
  // Only the packets are listed: the inbound may hold very many other
  // files (decoded ones among them).
  for (std::string_view extension :
       {std::string_view("PKT"), std::string_view(kTempPacketExtension)}) {
    PathText pattern;
    if (!pattern.assign(settings->InboundDir.view()) || !pattern.append("*.") ||
        !pattern.append(extension)) {
      return;
    }
    for (const platform::DirEntry& e : platform::list_directory(pattern)) {
      std::string_view name = e.name;
      uint32_t n = 0;
      if (name.size() != 12 || !packet_number(name, n)) continue;
      if (!equals_nocase(name.substr(9), extension)) continue;
      if (!any || n > highest) highest = n;
      any = true;
    }
  }
  // After the highest possible number the count starts again at 0; names
  // in use are then skipped one by one.
  if (any) next_number = highest + 1;
}

bool packet_name(uint32_t number, std::string_view extension, PathText& out) {
  char name[16];
  std::snprintf(name, sizeof name, "%08lX.", static_cast<unsigned long>(number));
  return out.assign(settings->InboundDir.view()) && out.append(name) && out.append(extension);
}

// Removes every temporary packet of the inbound: none belongs to a commit
// any more when this is called.
bool remove_stray_packets() {
  PathText pattern;
  if (!pattern.assign(settings->InboundDir.view()) || !pattern.append("*.") ||
      !pattern.append(kTempPacketExtension)) {
    return true;
  }
  bool ok = true;
  for (const platform::DirEntry& e : platform::list_directory(pattern)) {
    PathText path;
    path.assign(settings->InboundDir.view());
    path.append(e.name);
    if (!platform::remove_exact(path)) {
      report("cannot remove", path.view());
      ok = false;
    }
  }
  return ok;
}

// Ends a packet committed up to `length` (the part behind it was never
// committed) with its closing zero word, on disk.
bool finish_committed_packet(std::string_view temp, int64_t length) {
  platform::File f;
  if (!f.open(temp, platform::OpenMode::update, platform::Share::deny_write) ||
      !f.truncate(static_cast<long>(length)) || !f.seek(0, SEEK_END) || !f.write("\0\0", 2) ||
      !f.sync() || !f.close()) {
    report("cannot finish packet", temp);
    return false;
  }
  return true;
}

struct JournalNote {
  enum class Kind { list_size, list_mark, new_file } kind;
  std::string_view path;
  int64_t value = 0;
  int64_t born = 0;  // a new file's birth time (0: not known)
};

// The longest line a journal holds: a claim line with its four names.
constexpr std::size_t kJournalLineMax = 4 * platform::kPathMax + 128;

// Reads the journal at `path` line by line: `each(line, offset)` for every
// complete line after the header (a line without its line end was cut by
// the kill: it never counted). False when the journal cannot be read, is
// no journal, or `each` refuses a line.
template <typename Each>
bool read_journal_lines(std::string_view path, Each&& each) {
  platform::File in;
  if (!in.open(path, platform::OpenMode::read)) return false;
  std::string line;
  bool header = false;
  int64_t offset = 0;
  int64_t line_start = 0;
  for (int c; (c = in.get_byte()) != EOF;) {
    ++offset;
    if (c != '\n') {
      if (line.size() >= kJournalLineMax) return false;
      line.push_back(static_cast<char>(c));
      continue;
    }
    if (!header) {
      if (line != kJournalHeader) return false;
      header = true;
    } else if (!each(std::string_view(line), line_start)) {
      return false;
    }
    line.clear();
    line_start = offset;
  }
  return header && !in.read_failed();
}

// A note line ("list", "mark" or "file"); false when `line` is none.
bool parse_note(std::string_view line, JournalNote& note) {
  std::vector<std::string_view> f = split_tabs(line);
  int64_t a = 0;
  if ((f[0] == "list" || f[0] == "mark") && f.size() == 3 && parse_number(f[2], a)) {
    note = JournalNote{f[0] == "list" ? JournalNote::Kind::list_size : JournalNote::Kind::list_mark,
                       f[1], a};
    return true;
  }
  // A file's note may name its inode and then its birth time (0: none).
  int64_t b = 0;
  if (f[0] == "file" && f.size() >= 2 && f.size() <= 4 && (f.size() < 3 || parse_number(f[2], a)) &&
      (f.size() < 4 || parse_number(f[3], b))) {
    note = JournalNote{JournalNote::Kind::new_file, f[1], a, b};
    return true;
  }
  return false;
}

// Reads the journal's committed state into `state`, and the offsets of its
// notes (the notes themselves are read again one by one when they are
// taken back); false when it cannot be read or is not a journal.
bool read_journal(std::string_view path, JournalState& state, std::vector<int64_t>& notes) {
  return read_journal_lines(path, [&](std::string_view line, int64_t offset) {
    if (offset > static_cast<int64_t>(kJournalMax)) return false;
    std::vector<std::string_view> f = split_tabs(line);
    int64_t a = 0, b = 0, c = 0;
    JournalNote note;
    if (f[0] == "claim" && f.size() == 8 && parse_number(f[3], a) && parse_number(f[4], b) &&
        parse_number(f[5], c)) {
      state.has_claim = true;
      state.claimed.assign(f[1]);
      state.original.assign(f[2]);
      state.area.format = static_cast<MessageFormat>(a & 3);
      state.area.kind = b == 1 ? MessageKind::news : MessageKind::mail;
      state.consumed = c;
      state.area.prefix.assign(f[6]);
      state.area.area_name.assign(f[7]);
    } else if (f[0] == "packet" && f.size() == 3 && parse_number(f[2], a)) {
      state.packets.push_back(CommittedPacket{std::string(f[1]), a});
    } else if (f[0] == "reply" && f.size() == 4 && parse_number(f[2], a) && parse_number(f[3], b)) {
      state.reply.assign(f[1]);
      state.reply_size = a;
      state.reply_inode = static_cast<uint64_t>(b);
    } else if (f[0] == "open-reply" && f.size() == 2) {
      state.open_reply.assign(f[1]);
    } else if (parse_note(line, note)) {
      notes.push_back(offset);
    } else {
      return false;
    }
    return true;
  });
}

// The note at `offset` of the journal `in`; false when it cannot be read.
bool read_note_at(platform::File& in, int64_t offset, std::string& line, JournalNote& note) {
  line.clear();
  if (!in.seek(static_cast<long>(offset))) return false;
  for (int c; (c = in.get_byte()) != EOF && c != '\n';) {
    if (line.size() >= kJournalLineMax) return false;
    line.push_back(static_cast<char>(c));
  }
  return parse_note(line, note);
}

// The directory part of a path (empty for none).
std::string_view directory_part(std::string_view path) {
  std::size_t sep = path.find_last_of("\\/");
  return sep == std::string_view::npos ? std::string_view() : path.substr(0, sep + 1);
}

// Puts on disk the files the notes of the journal at `path` name, and
// their directories; false when one could not be (or the notes could not
// be read). Many files (decoded files mostly) go with one syncfs of each
// directory's file system, which also holds the entries (a sync of each
// file would have the disk flush its cache once per file); a few each with
// an fsync, and then each directory once.
bool sync_noted_files(std::string_view path) {
  std::size_t files = 0;
  std::vector<std::string> directories;
  bool readable = read_journal_lines(path, [&](std::string_view line, int64_t) {
    JournalNote note;
    if (!parse_note(line, note)) return true;  // state lines
    ++files;
    std::string_view dir = directory_part(note.path);
    if (std::find(directories.begin(), directories.end(), dir) == directories.end()) {
      directories.emplace_back(dir);
    }
    return true;
  });
  if (!readable) return false;
  bool synced = true;
  const bool many = files > kFilesSyncedOneByOne;
  if (!many) {
    readable = read_journal_lines(path, [&](std::string_view line, int64_t) {
      JournalNote note;
      if (!parse_note(line, note)) return true;
      std::string name(note.path);
      if (platform::file_exists(name) && !platform::sync_file(name)) synced = false;
      return true;
    });
  }
  // Every noted file exists by now: one sync of a directory holds the
  // entries of all of them. A directory is named by its separator at the
  // end, "" for the current one.
  for (const std::string& dir : directories) {
    if (!(many ? platform::sync_file_system_of(dir) : platform::sync_directory_of(dir))) {
      synced = false;
    }
  }
  return readable && synced;
}

// Takes back one change that was noted but never committed.
bool take_back(const JournalNote& note) {
  switch (note.kind) {
    case JournalNote::Kind::new_file: {
      // A note naming an inode takes back that file only: the file may
      // never have got the name, which another program may have taken, and
      // its inode, freed, may be that program's file now (made later).
      platform::FileIdentity id;
      if (note.value != 0 && (!platform::file_identity(note.path, id) ||
                              id.inode != static_cast<uint64_t>(note.value) ||
                              (note.born != 0 && id.born_ns != 0 && id.born_ns != note.born))) {
        return true;
      }
      if (platform::file_exists(note.path) && !platform::remove_file(note.path)) {
        report("cannot remove", note.path);
        return false;
      }
      return true;
    }
    case JournalNote::Kind::list_size:
    case JournalNote::Kind::list_mark: {
      platform::File f;
      if (!platform::file_exists(note.path)) return true;
      if (!f.open_waiting(note.path, platform::OpenMode::update, settings->LockWait)) {
        report("cannot restore list file", note.path);
        return false;
      }
      bool ok = true;
      if (note.kind == JournalNote::Kind::list_size) {
        f.seek(0, SEEK_END);
        if (f.tell() > note.value) ok = f.truncate(static_cast<long>(note.value));
      } else if (f.seek(static_cast<long>(note.value)) && f.get_byte() == '*') {
        ok = f.seek(static_cast<long>(note.value)) && f.write("+", 1);
      }
      ok = f.sync() && ok;
      if (!f.close() || !ok) {
        report("cannot restore list file", note.path);
        return false;
      }
      return true;
    }
  }
  return true;
}

std::string state_text(const JournalState& state, bool& ok) {
  std::string text(kJournalHeader);
  text += '\n';
  auto add_path = [&](std::string_view path) {
    if (has_line_break(path)) ok = false;
    text += '\t';
    text += path;
  };
  char number[64];
  if (state.has_claim) {
    text += "claim";
    add_path(state.claimed);
    add_path(state.original);
    std::snprintf(number, sizeof number, "\t%d\t%d\t%lld", static_cast<int>(state.area.format),
                  static_cast<int>(state.area.kind), static_cast<long long>(state.consumed));
    text += number;
    add_path(state.area.prefix);
    add_path(state.area.area_name);
    text += '\n';
  }
  for (const CommittedPacket& p : state.packets) {
    text += "packet";
    add_path(p.temp);
    std::snprintf(number, sizeof number, "\t%lld\n", static_cast<long long>(p.length));
    text += number;
  }
  if (!state.reply.empty()) {
    text += "reply";
    add_path(state.reply);
    std::snprintf(number, sizeof number, "\t%lld\t%llu\n", static_cast<long long>(state.reply_size),
                  static_cast<unsigned long long>(state.reply_inode));
    text += number;
  }
  if (!state.open_reply.empty()) {
    text += "open-reply";
    add_path(state.open_reply);
    text += '\n';
  }
  return text;
}

// The name the journal is written under before it replaces the old one.
bool temp_journal_path(const PathText& path, PathText& out) {
  return out.assign(path.view().substr(0, path.size() - 1)) && out.append("T");
}

}  // namespace

bool journal_path(PathText& out) {
  return out.assign(settings->SoupDir.view()) && out.append(kJournalName);
}

bool journal_active() {
  return active;
}

long journal_failures() {
  return note_failures;
}

bool write_journal(const JournalState& state) {
  // What the journal commits is put on disk before it; the waiting decoded
  // files get their names first.
  bool named = name_waiting_files();
  close_note_file();
  if (!named) return false;
  PathText path;
  PathText temp;
  if (!journal_path(path) || !temp_journal_path(path, temp)) {
    log_print("! the name of the journal in %s is too long\n", settings->SoupDir.c_str());
    note_run_failure();
    return false;
  }
  bool synced = !active || sync_noted_files(path.view());
  // The entries of the packets and of the reply file must last before the
  // journal names them: a packet missing after a power cut would count as
  // renamed already.
  if (!state.packets.empty() &&
      !(packet_entries.started() ? packet_entries.finish()
                                 : platform::sync_directory_of(settings->InboundDir.view()))) {
    synced = false;
  }
  if (!state.reply.empty() &&
      (!platform::sync_file(state.reply) || !platform::sync_directory_of(path))) {
    synced = false;
  }
  if (!synced) {
    report("cannot put on disk the files of", path.view());
    return false;
  }
  bool ok = true;
  std::string text = state_text(state, ok);
  if (!ok) {
    log_print("! a name holds a line break and cannot be kept in %s\n", path.c_str());
    note_run_failure();
    return false;
  }
  // The journal's names are looked up exactly: it is written for every
  // message file, and the SOUP directory may hold very many.
  platform::File out;
  if ((!platform::remove_exact(temp) && errno != ENOENT) ||
      !out.open(temp, platform::OpenMode::create_exact, platform::Share::deny_write) ||
      !out.write(text) || !out.sync() || !out.close()) {
    platform::name_failed_write(temp.view(), path.view());
    report("cannot write the journal", path.view());
    out.close();
    // A cut journal never counts: the next run removes what is left of it.
    if (platform::file_exists(temp) && !platform::remove_file(temp)) {
      report("cannot remove", temp.view());
    }
    return false;
  }
  if (!platform::replace_exact(temp, path) || !platform::sync_directory_of(path)) {
    report("cannot write the journal", path.view());
    if (platform::file_exists(temp) && !platform::remove_file(temp)) {
      report("cannot remove", temp.view());
    }
    return false;
  }
  active = true;
  notes_unsynced = false;  // the journal written holds no notes
  return true;
}

bool remove_journal(bool put_on_disk) {
  close_note_file();
  PathText path;
  if (!journal_path(path)) return false;
  active = false;
  notes_unsynced = false;
  if (!platform::exists_exact(path)) return true;
  if (!platform::remove_exact(path) || (put_on_disk && !platform::sync_directory_of(path))) {
    report("cannot remove the journal", path.view());
    return false;
  }
  return true;
}

bool journal_note_list_size(std::string_view list_path, long size_before) {
  if (!active) return true;
  if (has_line_break(list_path)) return false;
  return append_note("list\t" + std::string(list_path) + "\t" + std::to_string(size_before) + "\n");
}

bool journal_note_list_mark(std::string_view list_path, long position) {
  if (!active) return true;
  if (has_line_break(list_path)) return false;
  return append_note("mark\t" + std::string(list_path) + "\t" + std::to_string(position) + "\n");
}

bool journal_note_new_file(std::string_view path) {
  if (!active) return true;
  if (has_line_break(path)) return false;
  return append_note("file\t" + std::string(path) + "\n");
}

bool complete_interrupted_import(JournalState& state, bool own_run) {
  drop_waiting_files();
  close_note_file();
  state = JournalState{};
  active = false;
  notes_unsynced = false;
  PathText path;
  PathText temp;
  if (!journal_path(path) || !temp_journal_path(path, temp)) return false;
  // A journal being written when the run was killed never counted.
  if (platform::file_exists(temp) && !platform::remove_file(temp)) {
    report("cannot remove", temp.view());
    return false;
  }
  if (!platform::file_exists(path)) return remove_stray_packets();

  std::vector<int64_t> notes;
  if (!read_journal(path, state, notes)) {
    log_print("! %s cannot be read; it is left for the sysop, and nothing is imported\n",
              path.c_str());
    note_run_failure();
    state = JournalState{};
    return false;
  }
  if (!own_run) log_print("* completing the run that %s tells of\n", path.c_str());
  bool ok = true;
  // The changes since the last commit are taken back, the last first.
  if (!notes.empty()) {
    platform::File in;
    std::string line;
    if (!in.open(path, platform::OpenMode::read)) {
      report("cannot read", path.view());
      return false;
    }
    for (auto it = notes.rbegin(); it != notes.rend(); ++it) {
      JournalNote note;
      if (!read_note_at(in, *it, line, note)) {
        report("cannot read", path.view());
        return false;
      }
      if (!take_back(note)) ok = false;
    }
  }
  if (!state.open_reply.empty() && platform::file_exists(state.open_reply) &&
      !reply_file_listed(kReplyMail, state.open_reply) &&
      !platform::remove_file(state.open_reply)) {
    report("cannot remove", state.open_reply.view());
    ok = false;
  }
  state.open_reply.clear();
  if (!ok) return false;

  // What was committed is finished: the packets get their final names and
  // the reply file its line in REPLIES.
  for (const CommittedPacket& p : state.packets) {
    if (!platform::file_exists(p.temp)) continue;  // renamed before the kill
    if (p.length >= 0 && !finish_committed_packet(p.temp, p.length)) return false;
    PathText final_name;
    if (!publish_packet(p.temp, final_name)) return false;
  }
  state.packets.clear();
  if (!platform::sync_directory_of(settings->InboundDir.view())) {
    report("cannot put on disk the directory of", settings->InboundDir.view());
    return false;
  }
  if (!state.reply.empty()) {
    platform::FileIdentity stamp;
    if (platform::file_identity(state.reply, stamp) && stamp.inode == state.reply_inode &&
        !reply_file_listed(kReplyMail, state.reply)) {
      platform::File f;
      if (stamp.size > state.reply_size &&
          (!f.open(state.reply, platform::OpenMode::update, platform::Share::deny_write) ||
           !f.truncate(static_cast<long>(state.reply_size)) || !f.sync() || !f.close())) {
        report("cannot restore", state.reply.view());
        return false;
      }
      if (!list_reply_durably(state.reply)) {
        note_run_failure();
        return false;
      }
    }
    state.reply.clear();
  }
  if (!remove_stray_packets()) return false;

  // The claimed file: done when every message of it is committed, else
  // the import goes on with it.
  if (state.has_claim) {
    platform::FileIdentity stamp;
    if (!platform::file_identity(state.claimed, stamp)) {
      state.has_claim = false;
    } else if (state.consumed >= stamp.size) {
      if (!platform::remove_file(state.claimed) || !platform::sync_directory_of(state.claimed)) {
        report("cannot remove", state.claimed.view());
        return false;
      }
      state.has_claim = false;
    }
  }
  if (!state.has_claim) return remove_journal();
  return write_journal(state);
}

bool list_reply_durably(std::string_view path) {
  if (!list_reply_file_once(kReplyMail, path)) return false;
  PathText replies;
  if (!replies.assign(settings->SoupDir.view()) || !replies.append("REPLIES") ||
      !platform::sync_file(replies) || !platform::sync_directory_of(replies)) {
    report("cannot put on disk", replies.view());
    return false;
  }
  return true;
}

bool create_temp_packet(OutPacket& packet) {
  start_numbering();
  for (int attempt = 0; attempt < 1024; ++attempt) {
    uint32_t n = next_number++;
    if (!packet_name(n, kTempPacketExtension, packet.name)) break;
    if (packet.file.open(packet.name, platform::OpenMode::create_exact,
                         platform::Share::deny_write)) {
      // Every packet made so far has its entry on disk once this is done.
      packet_entries.start_directory_sync(packet.name.view());
      return packet.file.use_large_buffer();
    }
    if (errno != EEXIST) break;
  }
  const char* reason = platform::last_error();
  log_print("Error writing packet %s\n", packet.name.c_str());
  log_print("! %s: %s\n", platform::shown_path(packet.name.view()).c_str(), reason);
  return false;
}

bool publish_packet(std::string_view temp, PathText& final_name) {
  start_numbering();
  uint32_t n = 0;
  if (!packet_number(temp, n)) n = next_number++;
  for (int attempt = 0; attempt < 1024; ++attempt) {
    if (!packet_name(n, "PKT", final_name)) break;
    if (platform::rename_exact(temp, final_name)) return true;
    if (errno != EEXIST) break;
    n = next_number++;
  }
  report("cannot rename", temp);
  return false;
}

void reset_packet_names() {
  numbering_ready = false;
  next_number = 0;
}

void forget_packet_number(std::string_view temp) {
  uint32_t n = 0;
  if (numbering_ready && packet_number(temp, n) && n + 1 == next_number) next_number = n;
}

bool open_decoded_file(std::string_view path, platform::File& file) {
  if (!active) return file.open(path, platform::OpenMode::create_new, platform::Share::deny_write);
  platform::FileIdentity id;
  // Under /TEST no commit names a waiting file: the file gets its name at
  // once.
  if (!run_options.test_mode && file.open_unnamed(path)) {
    if (file.identity(id) && note_decoded_file(path, id, false)) return true;
    file.close();
    return false;
  }
  // Noted before it exists, so that an interrupted run removes it again.
  return journal_note_new_file(path) &&
         file.open(path, platform::OpenMode::create_new, platform::Share::deny_write);
}

bool keep_decoded_file(std::string_view path, platform::File& file) {
  if (!file.unnamed()) return file.close();
  if (waiting_count == kWaitingMax && !name_waiting_files()) {
    file.close();
    return false;
  }
  if (!file.park()) {
    file.close();
    return false;
  }
  waiting_files[waiting_count] = std::move(file);
  waiting_paths[waiting_count].assign(path);
  ++waiting_count;
  return true;
}

bool decoded_name_taken(std::string_view path) {
  for (std::size_t i = 0; i < waiting_count; ++i) {
    if (equals_nocase(waiting_paths[i], path)) return true;
  }
  return platform::file_exists(path);
}

const ListJournal* import_list_journal() {
  static const ListJournal journal{journal_note_list_size, journal_note_list_mark};
  return &journal;
}

}  // namespace quillmar
