#include "soup/reply.hpp"

#include <cstdio>

#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "base/version.hpp"
#include "platform/clock.hpp"
#include "rfc/header_writer.hpp"
#include "soup/soup_format.hpp"

namespace quillmar {

namespace {

struct ReplyKind {
  const char* name;
  char format_letter;
};
constexpr ReplyKind kKinds[2] = {{kSoupKindName[0], kSoupFormatLetter[0]},
                                 {kSoupKindName[1], kSoupFormatLetter[1]}};

struct ReplyFile {
  PathText name;  // empty until chosen
  uint16_t number = 0;
  long message_count = 0;
  long message_start = 0;
  long message_end = 0;       // where the next message begins
  bool message_open = false;  // between open and close of a message
  // The file, kept open between its messages until it is finished (or a
  // run is rolled back): a message costs no open, seek or close.
  platform::File stream;
};
ReplyFile reply_files[2];

// Files encoded into the open message, disposed of once it is complete. A
// message names its files in a subject of at most 71 characters, so a few
// dozen entries are plenty; a file that finds no room is simply kept.
struct PendingFile {
  std::string path;  // held at its length: the table is mostly empty
  AfterSend mode = AfterSend::keep;
  platform::FileStamp as_read;
};
constexpr std::size_t kMaxPending = 64;
PendingFile pending_files[kMaxPending];
std::size_t pending_count = 0;
long write_failures = 0;

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

ReplyFile& state(int kind) {
  return reply_files[kind == kReplyNews ? 1 : 0];
}
const ReplyKind& kind_of(int kind) {
  return kKinds[kind == kReplyNews ? 1 : 0];
}

// Closes the kept stream of a reply file; its messages have been flushed.
void release_stream(ReplyFile& file) {
  if (!file.stream.is_open()) return;
  if (!file.stream.close()) {
    note_run_failure();
    log_print("! error writing %s: %s\n", file.name.c_str(), platform::last_error());
  }
}

// A reply file that REPLIES does not list is never sent: the sysop is told
// the line to add.
void report_unlisted(const ReplyFile& file, const ReplyKind& kind) {
  log_print("! %s%04X.MSG is not listed in REPLIES; its line is \"%s%04X\\t%s\\t%cn\"\n", kind.name,
            file.number, kind.name, file.number, kind.name, kind.format_letter);
}

bool hold_listing = false;
// Without a journal the notes go nowhere.
const ReplyJournal kNoJournal{[](int, uint16_t) { return true; },
                              [](std::string_view, const platform::FileStamp&) {},
                              [](std::string_view, const platform::FileStamp&) {}};
const ReplyJournal* journal = &kNoJournal;
std::vector<ReplyListing> held_listings;

std::string replies_path() {
  return std::string(settings->SoupDir.view()) + "REPLIES";
}

// Puts one reply file on disk.
bool sync_reply_file(const std::string& path) {
  platform::File f;
  if (!f.open(path, platform::OpenMode::read) || !f.sync() || !f.close()) {
    log_print("! error writing %s: %s\n", path.c_str(), platform::last_error());
    return false;
  }
  return true;
}

// Appends the lines to REPLIES and puts it on disk; a line that cannot be
// written whole is taken back.
bool append_replies(const std::string& lines) {
  std::string path = replies_path();
  platform::File replies;
  if (!replies.open(path, platform::OpenMode::append, platform::Share::deny_write) ||
      !replies.seek(0, SEEK_END)) {
    note_run_failure();
    log_print("Error: can't append to %s\n", path.c_str());
    return false;
  }
  long old_size = replies.tell();
  replies.write(lines);
  if (replies.sync() && replies.close() && platform::sync_directory_of(path)) return true;
  replies.close();
  platform::File repair;
  if (old_size >= 0 && repair.open(path, platform::OpenMode::update, platform::Share::deny_write)) {
    repair.truncate(old_size);
    repair.sync();
  }
  note_run_failure();
  log_print("Error: can't append to %s\n", path.c_str());
  return false;
}

// Lists a finished file in REPLIES, on disk before this returns; while the
// listing is held, the file waits for the run's commit.
void list_in_replies(int kind, const ReplyFile& file, const ReplyKind& k) {
  if (hold_listing) {
    held_listings.push_back(ReplyListing{kind, file.number});
    return;
  }
  if (!sync_reply_file(file.name.c_str()) || !append_replies(replies_line(kind, file.number))) {
    note_run_failure();
    report_unlisted(file, k);
  }
}

void dispose_pending_files() {
  for (std::size_t i = 0; i < pending_count; ++i) {
    const PendingFile& f = pending_files[i];
    if (hold_listing) {
      // EXPORT: the file goes with the run's commit.
      if (f.mode == AfterSend::erase) journal->remove(f.path, f.as_read);
      if (f.mode == AfterSend::truncate) journal->truncate(f.path, f.as_read);
    } else if (f.mode == AfterSend::erase && !platform::remove_file(f.path)) {
      log_print("! can't remove %s: %s\n", f.path.c_str(), platform::last_error());
      note_run_failure();
    } else if (f.mode == AfterSend::truncate) {
      platform::File emptied;
      if (!emptied.open(f.path, platform::OpenMode::write, platform::Share::deny_write) ||
          !emptied.close()) {
        log_print("! can't truncate %s: %s\n", f.path.c_str(), platform::last_error());
        note_run_failure();
      }
    }
  }
  pending_count = 0;
}

// The boundary and the header of the MIME part of a file named `base`
// (and the "begin" line of uuencode).
void write_part_header(platform::File& reply, std::string_view base, bool mime) {
  reply.printf("\n--%s\n", kMimeBoundary);
  HeaderWriter out(reply);
  out.start("Content-Type");
  out.raw("application/octet-stream; name=\"");
  out.value(base);
  out.raw("\"");
  out.end();
  out.field("Content-Transfer-Encoding", mime ? "base64" : "7bit");
  out.finish();
  if (!mime) {
    reply.write("begin 644 ");
    reply.write(base);
    reply.write("\n");
  }
}

// Writes the file's bytes as base64 lines of 57 bytes or uuencoded lines
// of 45; false when the file could not be read to its end.
bool write_encoded_lines(platform::File& reply, platform::File& input, bool mime) {
  const std::size_t per_line = mime ? 57 : 45;
  // Whole lines per block, so that only the last line of the file is short.
  unsigned char block[57 * 45 * 8];
  char line[2 + 80];
  unsigned long written = 0;  // characters of MIME data, for the padding
  for (;;) {
    std::size_t got = input.read(block, sizeof block);
    for (std::size_t pos = 0; pos < got; pos += per_line) {
      std::size_t n = got - pos < per_line ? got - pos : per_line;
      const unsigned char* b = block + pos;
      std::size_t len = 0;
      if (!mime) line[len++] = static_cast<char>((n & 0x3F) + 0x20);
      for (std::size_t i = 0; i < n; i += 3) {
        unsigned b0 = b[i];
        unsigned b1 = i + 1 < n ? b[i + 1] : 0;
        unsigned b2 = i + 2 < n ? b[i + 2] : 0;
        unsigned v[4] = {b0 >> 2, ((b0 << 4) & 0x30) | (b1 >> 4), ((b1 << 2) & 0x3C) | (b2 >> 6),
                         b2 & 0x3F};
        std::size_t chars = n - i >= 3 ? 4 : n - i + 1;
        for (std::size_t c = 0; c < chars; ++c) {
          line[len++] = mime ? kBase64[v[c]] : uu_char(static_cast<int>(v[c]));
        }
        if (mime) written += chars;
      }
      if (mime && n < per_line) {
        while (written % 4 != 0) {
          line[len++] = '=';
          ++written;
        }
      }
      line[len++] = '\n';
      reply.write(line, len);
    }
    if (got < sizeof block) break;
  }
  return !input.read_failed();
}

// Notes a file to be deleted or truncated once its message is complete; a
// file that finds no room is kept.
void add_pending_file(std::string_view path, AfterSend mode, const platform::FileStamp& as_read) {
  if (pending_count == kMaxPending) return;
  if (path.size() >= platform::kPathMax) return;
  PendingFile& p = pending_files[pending_count];
  p.path.assign(path);
  p.mode = mode;
  p.as_read = as_read;
  ++pending_count;
}

}  // namespace

long reply_write_failures() {
  return write_failures;
}

std::string_view reply_file_name(int kind) {
  return state(kind).name.view();
}
long reply_message_count(int kind) {
  return state(kind).message_count;
}

void reset_reply_files() {
  for (ReplyFile& f : reply_files) f = ReplyFile{};
  pending_count = 0;
  held_listings.clear();
  hold_listing = false;
}

void hold_reply_listing(bool on, const ReplyJournal* notes) {
  hold_listing = on;
  journal = on && notes != nullptr ? notes : &kNoJournal;
}

const std::vector<ReplyListing>& held_reply_listings() {
  return held_listings;
}

void clear_held_listings() {
  held_listings.clear();
}

std::string reply_file_path(int kind, uint16_t number) {
  char name[16];
  std::snprintf(name, sizeof name, "%s%04X.MSG", kind_of(kind).name, unsigned{number});
  return std::string(settings->SoupDir.view()) + name;
}

std::string replies_line(int kind, uint16_t number) {
  const ReplyKind& k = kind_of(kind);
  char line[32];
  std::snprintf(line, sizeof line, "%s%04X\t%s\t%cn\n", k.name, unsigned{number}, k.name,
                k.format_letter);
  return line;
}

bool replies_holds(std::string_view line) {
  std::string data;
  if (!read_whole_file(replies_path(), data)) return false;
  for (std::size_t pos = 0; pos < data.size();) {
    std::size_t end = data.find('\n', pos);
    std::size_t next = end == std::string::npos ? data.size() : end + 1;
    if (std::string_view(data).substr(pos, next - pos) == line) return true;
    pos = next;
  }
  return false;
}

bool sync_reply_files(const std::vector<ReplyListing>& files) {
  bool ok = true;
  for (const ReplyListing& l : files) {
    std::string path = reply_file_path(l.kind, l.number);
    if (platform::file_exists(path) && !sync_reply_file(path)) ok = false;
  }
  if (!files.empty() && !platform::sync_directory_of(replies_path())) {
    log_print("! error writing %s: %s\n", settings->SoupDir.c_str(), platform::last_error());
    ok = false;
  }
  return ok;
}

bool list_reply_files(const std::vector<ReplyListing>& files) {
  std::string lines;
  for (const ReplyListing& l : files) {
    std::string line = replies_line(l.kind, l.number);
    // A line already there (an interrupted commit) is not written twice; a
    // file the SOUP program has taken meanwhile is not listed again.
    if (!platform::file_exists(reply_file_path(l.kind, l.number)) || replies_holds(line)) continue;
    lines += line;
  }
  return lines.empty() || append_replies(lines);
}

ReplyMark reply_mark() {
  // The sizes on disk are those of every message written so far.
  settle_reply_streams();
  ReplyMark mark;
  mark.held = held_listings.size();
  for (int i = 0; i < 2; ++i) {
    const ReplyFile& f = reply_files[i];
    ReplyMark::Kind& k = mark.kinds[i];
    k.name = f.name.view();
    k.number = f.number;
    k.count = f.message_count;
    platform::FileStamp st = platform::file_stamp(k.name);
    k.existed = st.exists;
    k.size = st.size;
  }
  return mark;
}

void reply_rollback(const ReplyMark& mark) {
  close_reply_streams();
  // Every file written since the mark: cut back to where it stood, or
  // removed when it was begun since.
  auto give_back = [&](const std::string& path) {
    if (path.empty() || !platform::file_exists(path)) return;
    for (const ReplyMark::Kind& k : mark.kinds) {
      if (k.name != path || !k.existed) continue;
      platform::File f;
      if (!f.open(path, platform::OpenMode::update, platform::Share::deny_write) ||
          !f.truncate(static_cast<long>(k.size)) || !f.close()) {
        log_print("! error writing %s: %s\n", path.c_str(), platform::last_error());
        note_run_failure();
      }
      return;
    }
    if (!platform::remove_file(path)) {
      log_print("! can't remove %s: %s\n", path.c_str(), platform::last_error());
      note_run_failure();
    }
  };
  for (std::size_t i = mark.held; i < held_listings.size(); ++i) {
    give_back(reply_file_path(held_listings[i].kind, held_listings[i].number));
  }
  if (held_listings.size() > mark.held) held_listings.resize(mark.held);
  for (const ReplyFile& f : reply_files) give_back(f.name.c_str());
  for (int i = 0; i < 2; ++i) {
    ReplyFile& f = reply_files[i];
    const ReplyMark::Kind& k = mark.kinds[i];
    if (!f.name.assign(k.name)) f.name.clear();
    f.number = k.number;
    f.message_count = k.count;
    f.message_open = false;
  }
  pending_count = 0;
}

bool flush_reply_file(int kind) {
  ReplyFile& file = state(kind);
  const ReplyKind& k = kind_of(kind);
  release_stream(file);
  if (file.message_count == 0 && !file.name.empty()) return true;
  if (file.message_count != 0) list_in_replies(kind, file, k);
  // A listed file is never written again: the next message goes elsewhere.
  file.message_count = 0;
  std::optional<uint16_t> number =
      unique_prefixed_name(settings->SoupDir, k.name, "MSG", file.name);
  if (!number) {
    file.name.clear();
    note_run_failure();
    log_print("Error: no free name for a %s reply file left in %s\n", k.name,
              settings->SoupDir.c_str());
    return false;
  }
  file.number = *number;
  return true;
}

namespace {

// The number of a reply file name "mailNNNN.MSG" of the kind; false for any
// other name.
bool reply_number(const ReplyKind& kind, std::string_view path, uint16_t& number) {
  std::size_t sep = path.find_last_of("\\/");
  std::string_view name = sep == std::string_view::npos ? path : path.substr(sep + 1);
  std::string_view prefix = kind.name;
  if (name.size() != prefix.size() + 8 || !starts_with_nocase(name, prefix) ||
      !equals_nocase(name.substr(name.size() - 4), ".MSG")) {
    return false;
  }
  unsigned value = 0;
  for (char c : name.substr(prefix.size(), 4)) {
    int digit = hex_value(c);
    if (digit < 0) return false;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  number = static_cast<uint16_t>(value);
  return true;
}

// Whether REPLIES has the line of the file.
bool listed_in_replies(const ReplyFile& file, const ReplyKind& kind) {
  PathText path;
  platform::File replies;
  if (!path.assign(settings->SoupDir) || !path.append("REPLIES") ||
      !replies.open(path, platform::OpenMode::read)) {
    return false;
  }
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "%s%04X\t", kind.name, file.number);
  std::string_view wanted = prefix;
  std::string line;
  for (int c = replies.get_byte();; c = replies.get_byte()) {
    if (c == EOF || c == '\n') {
      if (starts_with_nocase(line, wanted)) return true;
      if (c == EOF) return false;
      line.clear();
    } else if (line.size() < wanted.size()) {
      line.push_back(static_cast<char>(c));
    }
  }
}

}  // namespace

bool list_reply_file_once(int kind, std::string_view path) {
  const ReplyKind& k = kind_of(kind);
  ReplyFile file;
  if (!reply_number(k, path, file.number)) return false;
  if (listed_in_replies(file, k)) return true;
  file.name.assign(path);
  list_in_replies(kind, file, k);
  return listed_in_replies(file, k);
}

bool reply_file_listed(int kind, std::string_view path) {
  const ReplyKind& k = kind_of(kind);
  ReplyFile file;
  return reply_number(k, path, file.number) && listed_in_replies(file, k);
}

bool settle_reply_streams() {
  bool ok = true;
  for (ReplyFile& f : reply_files) {
    if (!f.stream.is_open() || f.stream.flush()) continue;
    note_run_failure();
    log_print("! error writing %s: %s\n", f.name.c_str(), platform::last_error());
    f.stream.close();  // reported once; a rollback cuts the file back
    ok = false;
  }
  return ok;
}

void close_reply_streams() {
  for (ReplyFile& f : reply_files) release_stream(f);
}

void drop_reply_file(int kind) {
  ReplyFile& file = state(kind);
  file.message_count = 0;
  file.message_open = false;
  pending_count = 0;
  file.name.clear();
  flush_reply_file(kind);
}

bool open_reply_message(int kind, platform::File& stream) {
  ReplyFile& file = state(kind);
  pending_count = 0;
  if (file.name.empty()) {
    ++write_failures;
    return false;
  }
  bool kept = file.stream.is_open();
  if (kept) {
    stream = std::move(file.stream);
  } else if (!stream.open(file.name, platform::OpenMode::update, platform::Share::deny_write) &&
             ((hold_listing && !journal->note_reply_file(kind, file.number)) ||
              !stream.open(file.name, platform::OpenMode::create_new,
                           platform::Share::deny_write))) {
    // An existing file is never emptied here: only a missing one is
    // created. EXPORT notes a file in its journal before it exists, so that
    // an interrupted run's unlisted file is found and removed.
    ++write_failures;
    return false;
  }
  if (!stream.use_large_buffer() ||
      !(kept ? stream.seek(file.message_end) : stream.seek(0, SEEK_END)) ||
      (file.message_start = stream.tell()) < 0 || !stream.write("\0\0\0\0", 4)) {
    stream.close();
    ++write_failures;
    return false;
  }
  file.message_open = true;
  return true;
}

bool close_reply_message(int kind, platform::File& stream) {
  ReplyFile& file = state(kind);
  if (!file.message_open) {
    stream.close();
    return false;
  }
  file.message_open = false;
  // While the listing is held (EXPORT) the message may stay in the
  // stream's buffer: the export settles the streams at the end of every
  // source, before the source counts as written, and a failure takes the
  // whole source back.
  bool ok = hold_listing ? !stream.failed() : stream.flush();
  long end = ok ? stream.tell() : -1;
  long long length = static_cast<long long>(end) - file.message_start - 4;
  ok = ok && length >= 0 && length <= 0xFFFFFFFFLL;
  if (ok) {
    unsigned char field[4];
    encode_soup_length(static_cast<uint32_t>(length), field);
    // The length field filled in where it stands, in the buffer or with one
    // positioned write; the stream stays open for the file's next message.
    ok = stream.write_at(file.message_start, field, 4) && (hold_listing || stream.flush());
  }
  if (ok) {
    file.message_end = end;
    file.stream = std::move(stream);
    ++file.message_count;
    dispose_pending_files();
    return true;
  }
  // The message did not reach the file whole: it is cut off again, so that
  // the file holds only complete messages, and its files are kept.
  ++write_failures;
  stream.close();
  pending_count = 0;
  platform::File repair;
  if (!repair.open(file.name, platform::OpenMode::update, platform::Share::deny_write) ||
      !repair.truncate(file.message_start)) {
    note_run_failure();
    log_print("! error writing %s: the last message could not be removed\n", file.name.c_str());
    return false;
  }
  note_run_failure();
  log_print("! error writing %s: message not written\n", file.name.c_str());
  return false;
}

void encode_attachment(platform::File& reply, platform::File& input, std::string_view path,
                       AfterSend mode) {
  const bool mime = settings->encode_format == EncodeFormat::mime;
  std::string_view base = base_name(path);
  platform::FileStamp as_read = platform::file_stamp(path);
  input.seek(0, SEEK_END);
  input.seek(0, SEEK_SET);
  log_print("* %s-encoding %.*s\n", mime ? "MIME" : "UU", static_cast<int>(base.size()),
            base.data());
  write_part_header(reply, base, mime);
  bool read_error = !write_encoded_lines(reply, input, mime);
  if (!mime) reply.write("`\nend\n");
  reply.write("\n");
  input.close();

  if (read_error) {
    note_run_failure();
    log_print("! error reading %.*s: the file is kept\n", static_cast<int>(path.size()),
              path.data());
    return;
  }
  if (!run_options.test_mode && mode != AfterSend::keep) add_pending_file(path, mode, as_read);
}

}  // namespace quillmar
