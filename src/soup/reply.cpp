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
  bool message_open = false;  // between open and close of a message
};
ReplyFile reply_files[2];

// Files encoded into the open message, disposed of once it is complete. A
// message names its files in a subject of at most 71 characters, so a few
// dozen entries are plenty; a file that finds no room is simply kept.
struct PendingFile {
  PathText path;
  AfterSend mode = AfterSend::keep;
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

// A reply file that REPLIES does not list is never sent: the sysop is told
// the line to add.
void report_unlisted(const ReplyFile& file, const ReplyKind& kind) {
  log_print("! %s%04X.MSG is not listed in REPLIES; its line is \"%s%04X\\t%s\\t%cn\"\n", kind.name,
            file.number, kind.name, file.number, kind.name, kind.format_letter);
}

// Appends the REPLIES line of a finished file; a line that cannot be written
// whole is taken back.
void list_in_replies(const ReplyFile& file, const ReplyKind& kind) {
  PathText path;
  if (!path.assign(settings->SoupDir) || !path.append("REPLIES")) {
    note_run_failure();
    log_print("Error: can't append to %sREPLIES\n", settings->SoupDir.c_str());
    return;
  }
  platform::File replies;
  if (!replies.open(path, platform::OpenMode::append, platform::Share::deny_write) ||
      !replies.seek(0, SEEK_END)) {
    note_run_failure();
    log_print("Error: can't append to %s\n", path.c_str());
    report_unlisted(file, kind);
    return;
  }
  long old_size = replies.tell();
  replies.printf("%s%04X\t%s\t%cn\n", kind.name, file.number, kind.name, kind.format_letter);
  if (replies.flush() && replies.close()) return;
  replies.close();
  platform::File repair;
  if (old_size >= 0 && repair.open(path, platform::OpenMode::update, platform::Share::deny_write)) {
    repair.truncate(old_size);
  }
  note_run_failure();
  log_print("Error: can't append to %s\n", path.c_str());
  report_unlisted(file, kind);
}

void dispose_pending_files() {
  for (std::size_t i = 0; i < pending_count; ++i) {
    const PendingFile& f = pending_files[i];
    if (f.mode == AfterSend::erase) {
      platform::remove_file(f.path);
    } else if (f.mode == AfterSend::truncate) {
      platform::File emptied;
      if (emptied.open(f.path, platform::OpenMode::write, platform::Share::deny_write)) {
        emptied.close();
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
  return !(input.handle() != nullptr && std::ferror(input.handle()) != 0);
}

// Notes a file to be deleted or truncated once its message is complete; a
// file that finds no room is kept.
void add_pending_file(std::string_view path, AfterSend mode) {
  if (pending_count == kMaxPending) return;
  PendingFile& p = pending_files[pending_count];
  if (!p.path.assign(path)) return;
  p.mode = mode;
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
}

bool flush_reply_file(int kind) {
  ReplyFile& file = state(kind);
  const ReplyKind& k = kind_of(kind);
  if (file.message_count == 0 && !file.name.empty()) return true;
  if (file.message_count != 0) list_in_replies(file, k);
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

bool open_reply_message(int kind, platform::File& stream) {
  ReplyFile& file = state(kind);
  pending_count = 0;
  if (file.name.empty()) {
    ++write_failures;
    return false;
  }
  // An existing file is never emptied here: only a missing one is created.
  if (!stream.open(file.name, platform::OpenMode::update, platform::Share::deny_write) &&
      !stream.open(file.name, platform::OpenMode::create_new, platform::Share::deny_write)) {
    ++write_failures;
    return false;
  }
  if (!stream.seek(0, SEEK_END) || (file.message_start = stream.tell()) < 0 ||
      !stream.write("\0\0\0\0", 4)) {
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
  bool ok = stream.flush();
  long end = ok ? stream.tell() : -1;
  long long length = static_cast<long long>(end) - file.message_start - 4;
  ok = ok && length >= 0 && length <= 0xFFFFFFFFLL;
  if (ok) {
    unsigned char field[4];
    encode_soup_length(static_cast<uint32_t>(length), field);
    ok = stream.seek(file.message_start) && stream.write(field, 4) && stream.flush();
  }
  if (ok && stream.close()) {
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
  if (!run_options.test_mode && mode != AfterSend::keep) add_pending_file(path, mode);
}

}  // namespace quillmar
