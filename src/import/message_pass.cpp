#include "import/message_pass.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/char_class.hpp"
#include "base/charset.hpp"
#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"
#include "fido/address_mapping.hpp"
#include "fido/message_record.hpp"
#include "fido/message_writer.hpp"
#include "import/classify.hpp"
#include "import/decoded_file.hpp"
#include "import/import_journal.hpp"
#include "import/import_state.hpp"
#include "import/mime_render.hpp"
#include "rfc/header_values.hpp"
#include "rfc/mime_words.hpp"

namespace quillmar {

namespace {

// One logical line: at most 32766 characters and the terminating NUL.
constexpr std::size_t kLineBuffer = 32767;
char* line_buffer = nullptr;
// The FidoNet text of one line: its chunks with their kludge marks.
constexpr std::size_t kOutputBuffer = 2 * kLineBuffer;
char* output_buffer = nullptr;
// The name of the file being decoded.
PathText shared_attachment_path;

// The lines of a message's own header as the parse pass read them (white
// space made single blanks), each with the file offset after it: the later
// passes over the same message take them from here instead of reading and
// unfolding them again. Kept for one message at a time, up to a bound.
struct HeaderLines {
  static constexpr std::size_t kMaxText = 64 * 1024;
  static constexpr std::size_t kMaxLines = 2048;
  bool valid = false;
  uint64_t generation = 0;  // of the message file
  int64_t start = 0;        // the message's extent
  int64_t end = 0;
  std::string text;
  struct Line {
    std::size_t text_end;
    int64_t file_offset;
  };
  std::vector<Line> lines;
  // What the MIME parameters of the header left at its end.
  struct MimeState {
    bool quoted_printable = false;
    bool base64_pending = false;
    bool parameter_scan = false;
    Text<129> boundary;
    Text<81> part_name;
  } mime;

  std::string_view line(std::size_t i) const {
    std::size_t from = i == 0 ? 0 : lines[i - 1].text_end;
    return std::string_view(text).substr(from, lines[i].text_end - from);
  }
};
HeaderLines header_lines;

constexpr std::size_t kBodyWidth = 255;
constexpr std::size_t kHeaderWidth = 78;
constexpr std::size_t kLeastChunk = 33;
constexpr std::size_t kSplitReserve = 256;
constexpr std::size_t kAttachListMax = 71;
constexpr std::size_t kUuNameMax = 79;  // of the name on a "begin" line

// With ModernMime: the FidoNet charset (CHRS name) the passes write in,
// the one the parts were counted in, and whether the header fields have
// been recoded into it (they are collected as UTF-8).
std::string target_charset = "UTF-8";
std::string counted_charset = "UTF-8";
bool fields_recoded = false;

// The FidoNet charset of an area: its FidoCharset entry (by FidoNet area
// tag or SOUP area name), else the default.
std::string fido_charset_for(std::string_view area_tag, std::string_view soup_area) {
  for (const AreaCharsetEntry& e : settings->AreaCharset) {
    if ((!area_tag.empty() && equals_nocase(e.area.view(), area_tag)) ||
        equals_nocase(e.area.view(), soup_area)) {
      return e.charset;
    }
  }
  return settings->FidoCharset;
}

bool is_address_field(std::string_view line) {
  for (std::string_view name : {"From:", "To:", "Cc:", "Bcc:", "Reply-To:", "Sender:"}) {
    if (starts_with_nocase(line, name)) return true;
  }
  return false;
}

enum class Mode { parse, recount, write };
enum class DecodeState { text, base64, uuencode };

// The 64 characters of the standard base64 alphabet.
bool is_base64_char(char c) {
  return c != '-' && base64_value(static_cast<unsigned char>(c)) >= 0;
}

// The values of the characters of that alphabet, -1 for any other.
constexpr auto kMimeBase64Values = [] {
  std::array<signed char, 256> values{};
  for (std::size_t c = 0; c < values.size(); ++c) values[c] = kBase64Values[c];
  values['-'] = -1;
  return values;
}();

// A name from a message that may be used as a file name: no directory
// part, no control characters, not "." or "..".
bool is_safe_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) return false;
  }
  return true;
}

// Text after the parameter `key` of a MIME header line: a quoted string
// without its quotes (a backslash quotes the character after it), else up
// to ";" or white space.
std::string parameter_value(std::string_view rest) {
  std::string out;
  if (!rest.empty() && rest[0] == '"') {
    for (std::size_t i = 1; i < rest.size() && rest[i] != '"'; ++i) {
      if (rest[i] == '\\' && i + 1 < rest.size()) ++i;
      out.push_back(rest[i]);
    }
    return out;
  }
  std::size_t end = 0;
  while (end < rest.size() && rest[end] != ';' && !is_space(rest[end])) ++end;
  out.assign(rest.substr(0, end));
  return out;
}

// "begin " and an octal number, as a number reader takes it: white space,
// a sign, then octal digits.
bool is_uu_begin(std::string_view line) {
  if (line.substr(0, 6) != "begin ") return false;
  std::size_t i = 6;
  while (i < line.size() && is_space(line[i])) ++i;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) ++i;
  return i < line.size() && line[i] >= '0' && line[i] <= '7';
}

std::string_view trim_left(std::string_view s) {
  while (!s.empty() && is_space(s[0])) s.remove_prefix(1);
  return s;
}

std::string_view trim_right(std::string_view s) {
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// Whether a FidoNet charset is UTF-8; the answer for the last charset asked
// about is kept, since every pass over a message asks.
bool is_utf8_charset(const std::string& charset) {
  static std::string last;
  static bool last_utf8 = false;
  static bool asked = false;
  if (!asked || charset != last) {
    last = charset;
    last_utf8 = equals_nocase(iconv_name_of(charset), "UTF-8");
    asked = true;
  }
  return last_utf8;
}

class MessagePass {
 public:
  MessagePass(Mode mode, MessageFile& file, const MessageExtent& extent, const SoupArea& area)
      : mode_(mode), file_(file), end_(extent.end), area_(area) {
    if (line_buffer == nullptr) {
      line_buffer = static_cast<char*>(alloc_or_exit(kLineBuffer));
      output_buffer = static_cast<char*>(alloc_or_exit(kOutputBuffer));
    }
    file_.seek(extent.start);
    attachment_path_.clear();
    HeaderLines& kept = header_lines;
    if (collecting()) {
      // The lines are kept anew (not with ModernMime, whose passes take
      // them their own way).
      kept.valid = false;
      keeping_lines_ = !modern_;
      kept.generation = file.generation();
      kept.start = extent.start;
      kept.end = extent.end;
      kept.text.clear();
      kept.lines.clear();
    } else {
      taking_lines_ = !modern_ && kept.valid && kept.generation == file.generation() &&
                      kept.start == extent.start && kept.end == extent.end;
    }
  }

  // The write pass's own settings of the message.
  void set_output(OutPacket* packet, bool ignore_text, int category, bool own_org, int junk_reason,
                  const Text<128>* cut_marker) {
    packet_ = packet;
    ignore_text_ = ignore_text;
    category_ = category;
    own_org_ = own_org;
    junk_reason_ = junk_reason;
    cut_marker_ = cut_marker;
  }
  void set_category(int category, int junk_reason) {
    category_ = category;
    junk_reason_ = junk_reason;
  }

  void run();

  // The files this pass found to decode (parse and recount passes).
  const Text<72>& attach_list() const { return attach_list_; }
  bool has_attachments() const { return has_attachments_; }

 private:
  bool collecting() const { return mode_ == Mode::parse; }
  bool parse_has_what_it_needs();
  // Whether the write pass is in plain text, where a line of text needs no
  // more than its line end: no MIME parts, nothing being decoded, no cut
  // marker, no split size.
  bool plain_lines_ahead() const {
    return writing() && !modern_ && !ignore_text_ && state_ == DecodeState::text &&
           !quoted_printable_ && !base64_pending_ && boundary_.empty() && body_text_seen_ &&
           (cut_marker_ == nullptr || cut_marker_->empty()) && settings->ImportLimit == 0;
  }
  void write_plain_lines();
  bool write_plain_line(std::string_view line);
  bool writing() const { return mode_ == Mode::write; }
  bool mail_area() const { return area_.kind == MessageKind::mail; }
  std::size_t remaining() const {
    int64_t r = end_ - file_.tell();
    return r > 0 ? static_cast<std::size_t>(r) : 0;
  }

  bool header_step();
  void end_header();
  bool body_step();
  void note_body_start(std::string_view line);
  bool at_cut_marker(std::string_view line) const;
  bool take_boundary(std::string_view line);
  std::string_view decode_quoted_printable(std::string_view line);
  bool take_encoded_line(std::string_view line);
  bool take_uu_begin(std::string_view line);
  void finish_parse();
  std::size_t read_raw(std::size_t at);
  std::string_view next_raw(std::size_t room);
  std::size_t copy_raw(std::string_view l, std::size_t at);
  bool read_header_line(std::string_view& line);
  bool next_header_line(std::string_view& line);
  void keep_or_take_mime_state();
  bool read_body_line(std::string_view& line);
  bool next_item_line(std::string_view& line);
  void render_body();
  void modern_header_line(std::string_view line);
  std::string_view buffer_line(std::string_view text, bool utf8);
  void mime_scan(std::string_view line);
  void recognise_field(std::string_view line);
  void write_header_information();
  void handle_empty_line();
  void start_attachment(DecodeState kind, std::string_view name);
  void finish_attachment();
  void decode_base64(std::string_view line);
  std::size_t flush_group(unsigned char* out);
  void flush_base64();
  void decode_uu(std::string_view line, int count);
  void put_decoded(const unsigned char* bytes, std::size_t n);
  void remove_decoded_file();  // the decoded file under its name, if any
  void body_text_line(std::string_view line);
  void quote_to(std::string_view line);
  void write_line(std::string_view line, bool header_line);
  void emit(std::string_view bytes);
  void emit_raw(std::string_view bytes);

  Mode mode_;
  bool modern_ = settings->ModernMime;
  std::string target_ = target_charset;
  bool target_utf8_ = is_utf8_charset(target_charset);
  std::string mime_type_;      // the message's own Content-Type value
  std::string mime_encoding_;  // and Content-Transfer-Encoding
  std::vector<BodyItem> items_;
  std::size_t next_item_ = 0;
  std::size_t item_offset_ = 0;
  std::string note_;
  MessageFile& file_;
  int64_t end_;
  bool keeping_lines_ = false;  // the parse pass keeps the header's lines
  bool taking_lines_ = false;   // a later pass takes them
  bool line_was_kept_ = false;  // the current header line was a kept one
  std::size_t next_kept_line_ = 0;
  const SoupArea& area_;

  OutPacket* packet_ = nullptr;
  bool ignore_text_ = false;
  int category_ = kKindMail;
  bool own_org_ = false;
  int junk_reason_ = kJunkNone;
  const Text<128>* cut_marker_ = nullptr;

  bool in_header_ = true;
  bool header_ended_ = false;
  bool information_written_ = false;
  bool body_text_seen_ = false;
  bool end_asked_ = false;  // whether the parse pass may end early was asked
  bool cut_ = false;
  bool stop_ = false;
  long pending_blanks_ = 0;
  long written_ = 0;

  bool quoted_printable_ = false;
  bool base64_pending_ = false;
  bool parameter_scan_ = false;
  Text<129> boundary_;
  Text<81> part_name_;

  DecodeState state_ = DecodeState::text;
  AttachAction action_ = AttachAction::ignore;
  // Only one pass is at work at a time: they share the one path buffer.
  PathText& attachment_path_ = shared_attachment_path;
  bool renamed_ = false;
  bool attachment_opened_ = false;
  platform::File attachment_;
  long decoded_ = 0;
  // The base64 stream of the block: characters not yet making a byte
  // group, and whether padding has ended the data.
  int sextets_[4] = {0, 0, 0, 0};
  int sextet_count_ = 0;
  int padding_ = 0;
  bool base64_ended_ = false;
  bool base64_data_seen_ = false;

  long quote_counter_ = 0;

  Text<72> attach_list_;
  bool has_attachments_ = false;
};

// Reads the next line (with its line feed) of the message into the line
// buffer at `at`; the number of bytes read. NUL bytes become blanks.
// A body line of text without its line end and the blanks before it.
std::string_view text_of_line(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.remove_suffix(1);
  }
  return line;
}

std::size_t MessagePass::read_raw(std::size_t at) {
  return copy_raw(next_raw(kLineBuffer - 1 - at), at);
}

// The next line (with its line feed) of the message as the file's window
// holds it, at most `room` bytes.
std::string_view MessagePass::next_raw(std::size_t room) {
  std::size_t limit = room < remaining() ? room : remaining();
  if (limit == 0) return {};
  return file_.read_line(limit);
}

// Copies a line into the line buffer at `at`, NUL bytes as blanks; the
// number of bytes copied.
std::size_t MessagePass::copy_raw(std::string_view l, std::size_t at) {
  if (l.empty()) return 0;
  char* out = line_buffer + at;
  std::memcpy(out, l.data(), l.size());
  out[l.size()] = '\0';
  if (!file_.has_nul(l)) return l.size();
  for (char* nul = static_cast<char*>(std::memchr(out, '\0', l.size())); nul != nullptr;
       nul = static_cast<char*>(
           std::memchr(nul, '\0', static_cast<std::size_t>(out + l.size() - nul)))) {
    *nul = ' ';
  }
  return l.size();
}

// Removes the line end (a line feed and a carriage return before it).
std::size_t cut_line_end(std::size_t len) {
  if (len > 0 && line_buffer[len - 1] == '\n') --len;
  if (len > 0 && line_buffer[len - 1] == '\r') --len;
  line_buffer[len] = '\0';
  return len;
}

// The position of the first white space in `text` that normalising its
// white space changes: a tab or other control white space, a blank at the
// start or after a blank; `size` when there is none. Sixteen characters
// (eight without SSE2) are looked at at a time until one of them may be
// such a place; the characters from there on are then looked at one by one.
std::size_t first_space_to_change(const char* text, std::size_t size) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i blanks = _mm_set1_epi8(' ');
  const __m128i control_top = _mm_set1_epi8(0x0D);
  // The lanes of a block that may be such a place: a control character
  // (any byte up to CR), or a blank after a blank (`before`: whether the
  // character before the block is one, or the block starts the text).
  auto candidates = [&](std::size_t at, unsigned before) {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
    unsigned blank = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, blanks)));
    unsigned control = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(block, control_top), block)));
    return control | (blank & ((blank << 1) | before));
  };
  unsigned before = 1;  // a blank at the start changes as one after a blank
  for (; i + 16 <= size; i += 16) {
    if (candidates(i, before) != 0) break;
    before = text[i + 15] == ' ' ? 1 : 0;
  }
  if (i + 16 > size && i < size && size >= 16) {
    // The rest, shorter than a block: the last sixteen characters, of
    // which those before `i` are passed already.
    std::size_t last = size - 16;
    unsigned last_before = last == 0 || text[last - 1] == ' ' ? 1 : 0;
    unsigned hits = candidates(last, last_before) & ~((1u << (i - last)) - 1);
    if (hits == 0) return size;
    i = last + static_cast<std::size_t>(__builtin_ctz(hits));
  }
#else
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  bool after_blank = true;  // a blank at the start changes as one after a blank
  for (; i + 8 <= size; i += 8) {
    uint64_t w;
    std::memcpy(&w, text + i, 8);
    // A byte below 0x0E sets the high bit of its lane (the lowest one set
    // is exact); a blank sets it in `blank` (every one exact).
    uint64_t control = (w - kOnes * 0x0E) & ~w & kHigh;
    uint64_t t = w ^ (kOnes * ' ');
    uint64_t blank = ~(((t & ~kHigh) + ~kHigh) | t) & kHigh;
    uint64_t pair = blank & ((blank << 8) | (after_blank ? 0x80 : 0));
    if ((control | pair) != 0) break;
    after_blank = (blank >> 63) != 0;
  }
#endif
  for (; i < size; ++i) {
    char c = text[i];
    if (is_space(c) && (c != ' ' || i == 0 || text[i - 1] == ' ')) return i;
  }
  return size;
}

bool MessagePass::read_header_line(std::string_view& line) {
  std::size_t len = read_raw(0);
  if (len == 0) return false;
  len = cut_line_end(len);
  // Folding: a line that starts with white space continues the one before.
  while (len > 0 && remaining() > 0 && len < kLineBuffer - 1) {
    int next = file_.peek();
    if (next < 0 || next == '\r' || next == '\n' || !is_space(static_cast<char>(next))) break;
    std::size_t n = read_raw(len);
    if (n == 0) break;
    len = cut_line_end(len + n);
  }
  // White space becomes single blanks, none at the ends. The line stays
  // in place up to the first white space that must change.
  std::size_t i = first_space_to_change(line_buffer, len);
  std::size_t out = i;
  while (i < len) {
    if (is_space(line_buffer[i])) {
      if (out != 0 && line_buffer[out - 1] != ' ') line_buffer[out++] = ' ';
      ++i;
      continue;
    }
    // From a character that is no white space on, the text moves as it is
    // up to the next white space that changes.
    std::size_t run = first_space_to_change(line_buffer + i, len - i);
    std::memmove(line_buffer + out, line_buffer + i, run);
    out += run;
    i += run;
  }
  if (out > 0 && line_buffer[out - 1] == ' ') --out;
  line_buffer[out] = '\0';
  line = std::string_view(line_buffer, out);
  return true;
}

bool MessagePass::read_body_line(std::string_view& line) {
  std::string_view raw = next_raw(kLineBuffer - 1);
  if (raw.empty()) return false;
  // Mostly the line is taken where it is, in the file's window.
  if (!file_.has_nul(raw)) {
    std::string_view l = raw;
    if (state_ == DecodeState::uuencode) {
      if (!l.empty() && l.back() == '\n') l.remove_suffix(1);
      if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    } else {
      l = text_of_line(l);
    }
    if (!quoted_printable_ || l.empty() || l.back() != '=') {
      line = l;
      return true;
    }
  }
  std::size_t len = copy_raw(raw, 0);
  auto strip = [this](std::size_t n) {
    if (state_ == DecodeState::uuencode) return cut_line_end(n);
    while (n > 0 && (line_buffer[n - 1] == '\n' || line_buffer[n - 1] == '\r' ||
                     line_buffer[n - 1] == ' ')) {
      --n;
    }
    line_buffer[n] = '\0';
    return n;
  };
  len = strip(len);
  // A soft line break of quoted-printable joins the next line.
  while (quoted_printable_ && len > 0 && line_buffer[len - 1] == '=') {
    line_buffer[--len] = '\0';
    std::size_t n = read_raw(len);
    if (n == 0) break;
    len = strip(len + n);
  }
  line = std::string_view(line_buffer, len);
  return true;
}

void MessagePass::mime_scan(std::string_view line) {
  MessageHeader& h = *message_work.header;
  if (starts_with_nocase(line, "Content-")) parameter_scan_ = true;
  if (parameter_scan_) {
    // The parameters are found wherever their name ends in "=" (also at the
    // end of a longer word, as in "filename="): each "=" of the line is
    // looked at, in the order of the line.
    for (std::size_t eq = line.find('='); eq != std::string_view::npos;
         eq = line.find('=', eq + 1)) {
      std::string_view value = line.substr(eq + 1);
      auto named = [&](std::string_view name) {
        return eq >= name.size() && equals_nocase(line.substr(eq - name.size(), name.size()), name);
      };
      if (named("name")) {
        std::string parameter = parameter_value(value);
        part_name_.assign(trim_right(std::string_view(parameter).substr(0, 80)));
      } else if (boundary_.empty() && named("boundary")) {
        std::string parameter = parameter_value(value);
        boundary_.assign(trim_right(std::string_view(parameter).substr(0, 128)));
      } else if (h.charset.empty() && named("charset")) {
        if (!value.empty() && value[0] == '"') {
          h.charset.assign(trim_right(parameter_value(value)));
        } else {
          h.charset.assign(trim_right(value.substr(0, value.find(';'))));
        }
      }
    }
  }
  auto value_of = [](std::string_view l) {
    l = l.substr(l.find(':') + 1);
    while (!l.empty() && l[0] == ' ') l.remove_prefix(1);
    return l;
  };
  if (starts_with_nocase(line, "Content-Type:")) {
    if (h.content_type.empty()) h.content_type.assign(value_of(line));
  } else if (starts_with_nocase(line, "Content-Transfer-Encoding:")) {
    quoted_printable_ = false;
    std::string_view value = value_of(line);
    if (h.transfer_encoding.empty()) h.transfer_encoding.assign(value);
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (starts_with_nocase(value.substr(i), "base64")) base64_pending_ = true;
      if (starts_with_nocase(value.substr(i), "quoted-printable")) quoted_printable_ = true;
    }
  }
}

// The header fields the parse pass collects.
void MessagePass::recognise_field(std::string_view line) {
  if (line.empty()) return;
  MessageHeader& h = *message_work.header;
  char* text = line_buffer;
  auto is = [&](std::string_view prefix) { return starts_with_nocase(line, prefix); };
  auto value = [&](std::string_view prefix) { return text + prefix.size(); };
  // The first character tells which names the line may start with.
  switch (ascii_lower(line[0])) {
    case 'f':
      if (is("From:")) {
        parse_address_list(value("From:"), &h.from_address, &h.from_name, kAddressFrom,
                           message_work.recipients);
      }
      break;
    case 'r':
      if (is("Reply-To:")) {
        parse_address_list(value("Reply-To:"), &h.reply_to_address, &h.reply_to_name,
                           kAddressReplyTo, message_work.recipients);
      } else if (is("References:")) {
        if (h.reply_ref.id_text.empty()) {
          extract_identifier(value("References:"), h.reply_ref.id_text, true);
        }
      }
      break;
    case 't':
      if (is("To:")) {
        parse_address_list(value("To:"), &h.to_address, &h.to_name, kAddressTo,
                           message_work.recipients);
      }
      break;
    case 'c':
      if (is("Cc:")) {
        parse_address_list(value("Cc:"), nullptr, nullptr, kAddressCc, message_work.recipients);
      }
      break;
    case 'b':
      if (is("Bcc:")) {
        parse_address_list(value("Bcc:"), nullptr, nullptr, kAddressBcc, message_work.recipients);
      }
      break;
    case 'x':
      if (is("X-Comment-To:")) {
        if (h.to_name.empty()) copy_trimmed(value("X-Comment-To:"), h.to_name);
      } else if (is("X-From:")) {
        copy_trimmed(value("X-From:"), h.x_from);
      }
      break;
    case 's':
      if (is("Sender:")) {
        copy_trimmed(value("Sender:"), h.sender);
      } else if (is("Subject:")) {
        copy_trimmed(value("Subject:"), h.subject);
      }
      break;
    case 'd':
      if (is("Date:")) parse_date(value("Date:"), h.date, &h.date_zone);
      break;
    case 'm':
      if (is("Message-ID:")) extract_identifier(value("Message-ID:"), h.msgid_ref.id_text, false);
      break;
    case 'o':
      if (is("Organization:")) copy_trimmed(value("Organization:"), h.organization);
      break;
    case 'i':
      if (is("In-Reply-To:")) extract_identifier(value("In-Reply-To:"), h.reply_ref.id_text, true);
      break;
    case 'n':
      if (is("Newsgroups:")) {
        split_newsgroups(value("Newsgroups:"), area_.area_name.view(), message_work.cross_posts);
      }
      break;
    default:
      break;
  }
}

void MessagePass::emit_raw(std::string_view bytes) {
  if (writing() && !ignore_text_) packet_->file.write(bytes);
}

void MessagePass::emit(std::string_view bytes) {
  written_ += static_cast<long>(bytes.size());
  emit_raw(bytes);
}

// The block of header information at the top of the text.
void MessagePass::write_header_information() {
  const MessageHeader& h = *message_work.header;
  const Settings& s = *settings;
  long before = written_;
  char buf[512];
  auto line = [&](const char* format, auto... args) {
    int n = std::snprintf(buf, sizeof buf, format, args...);
    if (n > 0) emit(std::string_view(buf, std::min<std::size_t>(n, sizeof buf - 1)));
  };
  for (std::size_t i = 0; i < message_work.cross_posts.size(); ++i) {
    emit(i % 3 == 0 ? "XPost: " : ", ");
    emit(message_work.cross_posts[i].view());
    if (i % 3 == 2 || i + 1 == message_work.cross_posts.size()) emit("\r");
  }
  if (!h.body_has_header_lines && s.extra_lines != ExtraLines::none) {
    bool addresses = s.extra_lines == ExtraLines::addresses;
    const Text<128>& from = addresses ? h.from_address : h.from_name;
    const Text<128>& from_shown = addresses ? h.from_name : h.from_address;
    const Text<128>& to = addresses ? h.to_address : h.to_name;
    const Text<128>& to_shown = addresses ? h.to_name : h.to_address;
    if (!from.empty() && !equals_nocase(from.view(), from_shown.view())) {
      line("From: %s\r", from.c_str());
    }
    if (mail_area() && !to.empty() && !equals_nocase(to.view(), to_shown.view())) {
      line("To: %s\r", to.c_str());
    }
  }
  static constexpr const char* kRecipientWords[] = {"", "To", "Copy", "BCopy"};
  for (int kind : {kAddressTo, kAddressCc, kAddressBcc}) {
    for (const Recipient& r : message_work.recipients) {
      if (r.kind != kind) continue;
      line("%s: %s", kRecipientWords[kind], r.address.c_str());
      if (!r.name.empty()) line(" (%s)", r.name.c_str());
      emit("\r");
    }
  }
  if (h.wrong_route_password && h.route != nullptr) {
    const FtnAddress& a = h.route->address;
    emit("*** Incorrect Quillmar Route-password ");
    line("for node %s", ftn_address_text(a, PointForm::when_set).c_str());
    emit(" ***\r");
  }
  if (mail_area() && h.has_attachments &&
      !equals_nocase(base_name(h.subject.view()), base_name(h.attach_list.view()))) {
    line("Subject: %s\r", h.subject.c_str());
  }
  if (written_ != before) emit("\r");
}

void MessagePass::start_attachment(DecodeState kind, std::string_view name) {
  const Settings& s = *settings;
  name = base_name(name);
  bool news = !mail_area();
  bool safe = is_safe_name(name);
  const PathText& dir =
      news ? s.DecodeDir
           : (s.decode_all && !(safe && is_mail_bundle_name(name)) ? s.DecodeDir : s.InboundDir);
  renamed_ = false;
  bool named = safe && attachment_path_.assign(dir.view()) && attachment_path_.append(name);
  if (named) replace_wildcard_name(attachment_path_, dir.size(), decoded_name_taken);
  if (!named && !unique_hex_name(dir.view(), "ATT", attachment_path_, decoded_name_taken)) {
    attachment_path_.clear();
  }
  if (decoded_name_taken(attachment_path_)) {
    renamed_ = true;
    // A name that cannot be counted up free gets a generated one.
    if (!bump_file_name(attachment_path_, decoded_name_taken) &&
        !unique_hex_name(dir.view(), "ATT", attachment_path_, decoded_name_taken)) {
      attachment_path_.clear();
    }
  }
  state_ = kind;
  action_ = junk_reason_ != kJunkNone ? AttachAction::ignore : s.Attach[news ? 1 : 0];
  attachment_opened_ = false;
  decoded_ = 0;
  sextet_count_ = 0;
  padding_ = 0;
  base64_ended_ = false;
  base64_data_seen_ = false;
  if (writing() && action_ == AttachAction::decode) {
    attachment_opened_ =
        !attachment_path_.empty() && open_decoded_file(attachment_path_, attachment_);
    if (!attachment_opened_) action_ = AttachAction::ignore;
  }
  if (!writing() && action_ == AttachAction::decode && !news) {
    std::string_view shown = base_name(attachment_path_.view());
    if (attach_list_.size() + shown.size() + 1 < kAttachListMax + 1) {
      if (!attach_list_.empty()) attach_list_.push_back(' ');
      attach_list_.append(shown);
    }
    has_attachments_ = true;
  }
}

void MessagePass::finish_attachment() {
  if (state_ == DecodeState::text) return;
  if (writing() && state_ == DecodeState::base64) flush_base64();
  if (writing()) {
    if (attachment_opened_) {
      const bool unnamed = attachment_.unnamed();
      if (decoded_ == 0) {
        // An empty file is no file: one made without a name is gone with
        // the close.
        attachment_.close();
        if (!unnamed) remove_decoded_file();
      } else if (keep_decoded_file(attachment_path_, attachment_)) {
        import_state.decoded_files.push_back(attachment_path_.view());
      } else {
        // A file cut short is no file: it goes, and the message's input
        // stays.
        log_print("! Error writing decoded file %s\n", attachment_path_.c_str());
        if (!unnamed) remove_decoded_file();
        ++import_state.decoding_failures;
      }
    }
    AttachmentOutcome outcome = AttachmentOutcome::ignored;
    if (action_ == AttachAction::decode && attachment_opened_) outcome = AttachmentOutcome::decoded;
    if (action_ == AttachAction::kill) outcome = AttachmentOutcome::killed;
    if (report_decoded_file(
            base_name(attachment_path_.view()), renamed_,
            state_ == DecodeState::base64 ? AttachmentEncoding::mime : AttachmentEncoding::uu,
            outcome, decoded_, ignore_text_, category_, packet_->file)) {
      ++import_state.file_counters.files;
    }
  }
  attachment_opened_ = false;
  state_ = DecodeState::text;
  part_name_.clear();
}

void MessagePass::remove_decoded_file() {
  if (platform::file_exists(attachment_path_) && !platform::remove_file(attachment_path_)) {
    log_print("! cannot remove %s: %s\n", attachment_path_.c_str(), platform::last_error());
  }
}

void MessagePass::put_decoded(const unsigned char* bytes, std::size_t n) {
  if (attachment_opened_ && n != 0) attachment_.write(bytes, n);
}

// The lines of a block are one stream: characters outside the alphabet
// are skipped, a group of four characters gives three bytes, and padding
// ends the data.
void MessagePass::decode_base64(std::string_view line) {
  unsigned char out[3 * (kLineBuffer / 4 + 1)];
  std::size_t out_len = 0;
  const auto* in = reinterpret_cast<const unsigned char*>(line.data());
  const std::size_t size = line.size();
  for (std::size_t i = 0; i < size; ++i) {
    if (base64_ended_) break;
    // Four characters of the alphabet at the start of a group are three
    // bytes at once.
    while (sextet_count_ == 0 && i + 4 <= size) {
      int a = kMimeBase64Values[in[i]];
      int b = kMimeBase64Values[in[i + 1]];
      int c = kMimeBase64Values[in[i + 2]];
      int d = kMimeBase64Values[in[i + 3]];
      if ((a | b | c | d) < 0) break;
      out[out_len] = static_cast<unsigned char>((a << 2) | (b >> 4));
      out[out_len + 1] = static_cast<unsigned char>(((b & 15) << 4) | (c >> 2));
      out[out_len + 2] = static_cast<unsigned char>(((c & 3) << 6) | d);
      out_len += 3;
      padding_ = 0;
      i += 4;
    }
    if (i >= size) break;
    char c = static_cast<char>(in[i]);
    if (c == '=') {
      // Padding that fills the last group ends the data; padding anywhere
      // else is skipped like any other stray character.
      if (sextet_count_ >= 2 && sextet_count_ + ++padding_ >= 4) {
        out_len += flush_group(out + out_len);
        base64_ended_ = true;
      }
      continue;
    }
    if (!is_base64_char(c)) continue;
    padding_ = 0;
    sextets_[sextet_count_++] = base64_value(static_cast<unsigned char>(c));
    if (sextet_count_ == 4) out_len += flush_group(out + out_len);
  }
  decoded_ += static_cast<long>(out_len);
  put_decoded(out, out_len);
}

// The bytes of the characters collected so far (two characters give one
// byte, three give two, four give three); the group starts anew.
std::size_t MessagePass::flush_group(unsigned char* out) {
  const int* v = sextets_;
  std::size_t n = sextet_count_ >= 2 ? static_cast<std::size_t>(sextet_count_ - 1) : 0;
  if (n >= 1) out[0] = static_cast<unsigned char>((v[0] << 2) | (v[1] >> 4));
  if (n >= 2) out[1] = static_cast<unsigned char>(((v[1] & 15) << 4) | (v[2] >> 2));
  if (n >= 3) out[2] = static_cast<unsigned char>(((v[2] & 3) << 6) | v[3]);
  sextet_count_ = 0;
  return n;
}

// The end of a block without padding: the characters left make what
// bytes they can.
void MessagePass::flush_base64() {
  unsigned char out[3];
  std::size_t n = base64_ended_ ? 0 : flush_group(out);
  sextet_count_ = 0;
  decoded_ += static_cast<long>(n);
  put_decoded(out, n);
}

void MessagePass::decode_uu(std::string_view line, int count) {
  decoded_ += count;
  if (!attachment_opened_) return;
  unsigned char out[64 + 3];
  std::size_t out_len = 0;
  auto value = [&](std::size_t i) { return i < line.size() ? (line[i] - 32) & 63 : 0; };
  for (std::size_t i = 1; static_cast<int>(out_len) < count; i += 4) {
    int v[4] = {value(i), value(i + 1), value(i + 2), value(i + 3)};
    int b[3] = {(v[0] << 2) | (v[1] >> 4), ((v[1] & 15) << 4) | (v[2] >> 2),
                ((v[2] & 3) << 6) | v[3]};
    for (int k = 0; k < 3 && static_cast<int>(out_len) < count; ++k) {
      out[out_len++] = static_cast<unsigned char>(b[k]);
    }
  }
  put_decoded(out, out_len);
}

// Step of an empty line: the body's blank lines, the start of a base64
// block, the end of the parameter scan.
void MessagePass::handle_empty_line() {
  if (base64_pending_) {
    base64_pending_ = false;
    start_attachment(DecodeState::base64, part_name_);
  } else {
    parameter_scan_ = false;
  }
}

// The parse pass's look at a body line of text.
void MessagePass::body_text_line(std::string_view line) {
  test_body_line(line, area_.kind);
  if (settings->QuoteTo) quote_to(line);
}

bool is_quoted_line(std::string_view line) {
  for (const QuoteCharEntry& q : settings->QuoteChar) {
    std::size_t at = line.find(q.quote);
    if (at == std::string_view::npos || at < q.first_column || at > q.last_column) continue;
    std::size_t letters = 0;
    bool plain = true;
    for (std::size_t i = 0; i < at; ++i) {
      if (is_letter(line[i])) {
        ++letters;
      } else if (line[i] != ' ') {
        plain = false;
        break;
      }
    }
    if (plain && letters >= q.least_letters && letters <= q.most_letters) return true;
  }
  return false;
}

// Removes from `name` everything up to the end of `word` (a whole word in
// it) and the blanks after it; false when the word is not in the name.
bool remove_through_word(Text<128>& name, std::string_view word) {
  std::optional<std::size_t> at = find_word_nocase(word, name.view());
  if (!at) return false;
  std::size_t cut = *at + word.size();
  while (cut < name.size() && name[cut] == ' ') ++cut;
  Text<128> rest(name.view().substr(cut));
  name = rest.view();
  return true;
}

void MessagePass::quote_to(std::string_view line) {
  MessageHeader& h = *message_work.header;
  if (quote_counter_ < 0 || line.empty()) return;
  bool quoted = is_quoted_line(line);
  if (!h.quote_name.empty() || !h.quote_address.empty()) {
    if (quoted) {
      quote_counter_ = -1;
      return;
    }
    quote_counter_ += static_cast<long>(line.size());
    if (quote_counter_ > 72) {
      h.quote_name.clear();
      h.quote_address.clear();
      quote_counter_ = 0;
    }
  }
  if (quoted) return;
  for (const TextEntry& mask : settings->QuoteMask) {
    std::optional<std::size_t> at = find_word_nocase(mask.text, line);
    if (!at) continue;
    std::size_t end = *at;
    while (end > 0 && line[end - 1] == ' ') --end;
    if (end == 0) continue;
    std::size_t start = end;
    bool passed_at = false;
    while (start > 0 && end - start < 255) {
      char c = line[start - 1];
      if (is_mask_separator(c)) break;
      if (passed_at && is_mask_closer(c)) break;
      if (is_space(c) && start >= 2 && is_space(line[start - 2])) break;
      if (c == '@') passed_at = true;
      --start;
    }
    char attribution[256];
    std::size_t n = end - start;
    std::memcpy(attribution, line.data() + start, n);
    attribution[n] = '\0';
    parse_address_list(attribution, &h.quote_address, &h.quote_name, kAddressQuote,
                       message_work.recipients);
    bool plain = h.quote_name.size() >= 3;
    for (char c : h.quote_name.view()) {
      if (!is_letter(c) && c != '\'' && c != '"' && c != '.' && c != '-' && c != ',' && c != ' ') {
        plain = false;
      }
    }
    if (!plain) h.quote_name.clear();
    if (!h.quote_name.empty() && !remove_through_word(h.quote_name, area_.area_name.view())) {
      for (const Text<128>& group : message_work.cross_posts) {
        if (remove_through_word(h.quote_name, group.view())) break;
      }
    }
    if (h.quote_name.size() < 3) h.quote_name.clear();
    if (h.quote_address.size() < 6) h.quote_address.clear();
    if (!h.quote_name.empty() || !h.quote_address.empty()) {
      quote_counter_ = static_cast<long>(line.size() - end);
      break;
    }
  }
}

// A header line of the message with ModernMime: encoded words decoded,
// written in the FidoNet charset, collected as UTF-8.
void MessagePass::modern_header_line(std::string_view line) {
  auto value_of = [](std::string_view l) {
    l = l.substr(l.find(':') + 1);
    while (!l.empty() && l[0] == ' ') l.remove_prefix(1);
    return std::string(l);
  };
  if (mime_type_.empty() && starts_with_nocase(line, "Content-Type:")) mime_type_ = value_of(line);
  if (mime_encoding_.empty() && starts_with_nocase(line, "Content-Transfer-Encoding:")) {
    mime_encoding_ = value_of(line);
  }
  std::string decoded = decode_header_text(line, settings->FallbackCharset);
  write_line(recode(decoded, "UTF-8", target_), true);
  // Addresses are parsed as they came (a decoded name may hold a comma);
  // their names are decoded when the header is complete.
  if (collecting()) recognise_field(is_address_field(line) ? line : buffer_line(decoded, true));
}

// `text` copied into the line buffer (as much as it holds, NUL bytes as
// blanks).
std::string_view MessagePass::buffer_line(std::string_view text, bool utf8) {
  std::string_view whole = cut_text(text, kLineBuffer - 1, utf8);
  text = whole.empty() ? text.substr(0, kLineBuffer - 1) : whole;
  for (std::size_t i = 0; i < text.size(); ++i) line_buffer[i] = text[i] == '\0' ? ' ' : text[i];
  line_buffer[text.size()] = '\0';
  return std::string_view(line_buffer, text.size());
}

// With ModernMime, the end of the message's header: the whole body is
// taken apart into lines and files; the line loop reads those.
void MessagePass::render_body() {
  std::string body;
  while (remaining() > 0) {
    std::string_view piece = file_.read_bytes(remaining() < 65536 ? remaining() : 65536);
    if (piece.empty()) break;
    body.append(piece);
  }
  RenderOptions options;
  options.fallback_charset = settings->FallbackCharset;
  items_ = render_mime_body(mime_type_, mime_encoding_, body, options);
  next_item_ = 0;
  item_offset_ = 0;
  boundary_.clear();
  quoted_printable_ = false;
  base64_pending_ = false;
  parameter_scan_ = false;
}

// The next text line of the rendered body, in the FidoNet charset; the
// files on the way are saved (or noted when they are not decoded).
bool MessagePass::next_item_line(std::string_view& line) {
  while (next_item_ < items_.size()) {
    BodyItem& item = items_[next_item_];
    if (!item.file) {
      if (item_offset_ == 0) {
        item.text = recode(item.text, "UTF-8", target_);
        // Decoded text cannot bring in kludge lines of its own.
        for (char& c : item.text) {
          if (c == '\x01') c = '@';
        }
      }
      std::string_view rest = std::string_view(item.text).substr(item_offset_);
      line = buffer_line(rest, target_utf8_);
      if (line.size() < rest.size() && !line.empty()) {
        item_offset_ += line.size();
      } else {
        ++next_item_;
        item_offset_ = 0;
      }
      std::size_t len = line.size();
      if (state_ != DecodeState::uuencode) {
        while (len > 0 && line_buffer[len - 1] == ' ') --len;
        line_buffer[len] = '\0';
      }
      line = std::string_view(line_buffer, len);
      return true;
    }
    ++next_item_;
    finish_attachment();
    std::string name = recode(item.text, "UTF-8", target_);
    start_attachment(DecodeState::base64, cut_text(name, 80, target_utf8_));
    bool ignored = action_ == AttachAction::ignore;
    if (writing()) {
      decoded_ = static_cast<long>(item.data.size());
      put_decoded(reinterpret_cast<const unsigned char*>(item.data.data()), item.data.size());
    }
    finish_attachment();
    if (ignored) {
      note_ = "[Attachment " + (name.empty() ? std::string("without a name") : name) + ", " +
              std::to_string(item.data.size()) + " bytes, not imported]";
      line = buffer_line(note_, target_utf8_);
      return true;
    }
  }
  return false;
}

void MessagePass::write_line(std::string_view line, bool header_line) {
  MessageHeader& h = *message_work.header;
  const Settings& s = *settings;
  if (!header_line) {
    for (; pending_blanks_ > 0; --pending_blanks_) emit("\r");
  }
  if (ignore_text_) return;
  // Without ImportLimit the passes that only count need no sizes.
  if (!writing() && s.ImportLimit == 0) return;
  if (header_line) {
    if (line.size() <= 2) return;
    StripLevel level = s.StripKludges[category_];
    if (level == StripLevel::yes) return;
    if (level == StripLevel::some &&
        (starts_with_nocase(line, "Received:") || starts_with_nocase(line, "Path:") ||
         starts_with_nocase(line, "References:"))) {
      return;
    }
  }
  if (s.ImportLimit != 0 && written_ > 0 &&
      static_cast<uint64_t>(written_) + line.size() + kSplitReserve >= s.ImportLimit) {
    if (writing()) {
      ++h.part_number;
      emit_raw("\r[continued in next message]\r");
      if (!ignore_text_) {
        write_message_end(category_, packet_->file);
        write_message_start(category_, packet_->file, h.attach_list.view(), junk_reason_, own_org_);
      }
      emit_raw("[continued from previous message]\r\r");
    } else {
      ++h.part_count;
    }
    written_ = 0;
  }
  std::size_t width = header_line ? kHeaderWidth : kBodyWidth;
  // A body line that fits goes out as it is, with its line end.
  if (!header_line && line.size() <= width) {
    written_ += static_cast<long>(line.size()) + 1;
    if (writing()) packet_->file.write_ending(line, '\r');
    return;
  }
  // So does a header line that fits, as a kludge.
  if (header_line && line.size() <= width) {
    written_ += static_cast<long>(line.size()) + 2;
    if (!writing()) return;
    platform::File& f = packet_->file;
    if (char* room = f.write_room(line.size() + 2)) {
      room[0] = '\x01';
      std::memcpy(room + 1, line.data(), line.size());
      room[line.size() + 1] = '\r';
      f.commit(line.size() + 2);
    } else {
      f.write("\x01", 1);
      f.write_ending(line, '\r');
    }
    return;
  }
  // The chunks are put together first and written at once; the passes that
  // only count take their sizes.
  const bool copy = writing();
  std::size_t out = 0;
  bool first = true;
  while (true) {
    std::size_t chunk = line.size();
    if (line.size() > width) {
      chunk = width;
      for (std::size_t len = width; len >= kLeastChunk; --len) {
        // With ModernMime 8-bit bytes are letters: words stay whole.
        bool letter = is_alnum(line[len - 1]) ||
                      (modern_ && static_cast<unsigned char>(line[len - 1]) >= 0x80);
        if (!letter) {
          chunk = len;
          break;
        }
      }
      // A chunk never ends inside a UTF-8 character.
      if (modern_ && target_utf8_) {
        std::size_t whole = cut_text(line, chunk, true).size();
        if (whole > 0) chunk = whole;
      }
    }
    if (header_line) {
      std::string_view mark = first ? "\x01" : "\x01  ";
      if (copy) std::memcpy(output_buffer + out, mark.data(), mark.size());
      out += mark.size();
    }
    if (copy) {
      std::memcpy(output_buffer + out, line.data(), chunk);
      output_buffer[out + chunk] = '\r';
    }
    out += chunk + 1;
    line.remove_prefix(chunk);
    if (line.empty()) break;
    if (header_line && first) width = kHeaderWidth - 2;
    first = false;
  }
  emit(std::string_view(output_buffer, out));
}

// One line of the message header; false when the message has no more.
bool MessagePass::header_step() {
  MessageHeader& h = *message_work.header;
  std::string_view line;
  if (!next_header_line(line)) return false;
  if (line.empty()) {
    keep_or_take_mime_state();
    end_header();
    return true;
  }
  if (starts_with_nocase(line, "X-MailPassword:")) {
    if (collecting()) {
      Text<128> password;
      copy_trimmed(line.substr(15), password);
      h.mail_password.assign(password.view());
    }
    return true;
  }
  // A kept line's MIME parameters are taken with the header's end.
  if (!line_was_kept_) mime_scan(line);
  if (modern_) {
    modern_header_line(line);
    return true;
  }
  write_line(line, true);
  // The field parsers take the line buffer apart, so they come last.
  if (collecting()) recognise_field(line);
  return true;
}

// The next line of a header: of the message's own header as the parse
// pass kept it, when it did; false when the message has no more.
bool MessagePass::next_header_line(std::string_view& line) {
  HeaderLines& kept = header_lines;
  line_was_kept_ = taking_lines_ && !header_ended_ && next_kept_line_ < kept.lines.size();
  if (line_was_kept_) {
    line = kept.line(next_kept_line_);
    // The file is read again only after the last kept line.
    if (next_kept_line_ + 1 == kept.lines.size()) {
      file_.seek(kept.lines[next_kept_line_].file_offset);
    }
    ++next_kept_line_;
    return true;
  }
  if (!read_header_line(line)) return false;
  if (keeping_lines_ && !header_ended_) {
    if (kept.text.size() + line.size() > HeaderLines::kMaxText ||
        kept.lines.size() == HeaderLines::kMaxLines) {
      keeping_lines_ = false;  // too many to keep: the later passes read them
    } else {
      kept.text.append(line);
      kept.lines.push_back(HeaderLines::Line{kept.text.size(), file_.tell()});
    }
  }
  return true;
}

// At the end of the message's own header: the parse pass keeps what its
// MIME parameters left, a later pass that took the kept lines takes it.
void MessagePass::keep_or_take_mime_state() {
  HeaderLines::MimeState& mime = header_lines.mime;
  if (keeping_lines_ && !header_ended_) {
    mime.quoted_printable = quoted_printable_;
    mime.base64_pending = base64_pending_;
    mime.parameter_scan = parameter_scan_;
    mime.boundary = boundary_;
    mime.part_name = part_name_;
  } else if (line_was_kept_) {
    quoted_printable_ = mime.quoted_printable;
    base64_pending_ = mime.base64_pending;
    parameter_scan_ = mime.parameter_scan;
    boundary_ = mime.boundary;
    part_name_ = mime.part_name;
  }
}

// The empty line after a header: the message's own header, or the header
// of a MIME part.
void MessagePass::end_header() {
  if (!header_ended_ && collecting()) message_work.header->body_offset = file_.tell();
  header_ended_ = true;
  in_header_ = false;
  if (modern_) {
    render_body();
  } else {
    handle_empty_line();
  }
}

// Notes the first line of text: whether the body starts with header lines
// of its own.
void MessagePass::note_body_start(std::string_view line) {
  if (line.empty() || body_text_seen_) return;
  body_text_seen_ = true;
  if (collecting()) {
    message_work.header->body_has_header_lines =
        starts_with_nocase(line, "From:") || starts_with_nocase(line, "To:");
  }
}

bool MessagePass::at_cut_marker(std::string_view line) const {
  return cut_marker_ != nullptr && !cut_marker_->empty() && !line.empty() &&
         line.find(cut_marker_->view()) != std::string_view::npos;
}

// A MIME boundary line ends the part before it and starts the header of
// the next part; the closing one ends the message. False for any other
// line.
bool MessagePass::take_boundary(std::string_view line) {
  if (boundary_.empty() || line.size() < 2 + boundary_.size() || line.substr(0, 2) != "--" ||
      line.substr(2, boundary_.size()) != boundary_.view()) {
    return false;
  }
  finish_attachment();
  in_header_ = true;
  quoted_printable_ = false;
  base64_pending_ = false;
  parameter_scan_ = false;
  if (line.substr(2 + boundary_.size(), 2) == "--") stop_ = true;
  return true;
}

// The line with quoted-printable decoded: "=" and two hexadecimal digits
// give one byte.
std::string_view MessagePass::decode_quoted_printable(std::string_view line) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '=' && i + 2 < line.size() && is_hex_digit(line[i + 1]) && is_hex_digit(line[i + 2])) {
      c = static_cast<char>(hex_pair_value(line.substr(i + 1, 2)));
      if (c == '\0') c = ' ';
      i += 2;
    }
    line_buffer[out++] = c;
  }
  line_buffer[out] = '\0';
  return std::string_view(line_buffer, out);
}

// A data line of the base64 or uuencoded file being decoded; false when
// the line is none (the file then ends before it) or no file is decoded.
bool MessagePass::take_encoded_line(std::string_view line) {
  if (state_ == DecodeState::base64 && action_ != AttachAction::ignore) {
    // Blank lines between a part's header and its data belong to neither.
    if (line.empty() && !base64_data_seen_) return true;
    if (!line.empty() && is_base64_char(line[0])) {
      base64_data_seen_ = true;
      if (writing()) decode_base64(line);
      if (line.size() >= 2 && line.substr(line.size() - 2) == "==") finish_attachment();
      return true;
    }
    finish_attachment();
  }
  if (state_ == DecodeState::uuencode && action_ != AttachAction::ignore) {
    char first = line.empty() ? '\0' : line[0];
    int count = (first - 32) & 63;
    // A lone blank is the empty last data line as older encoders write it.
    if (((first >= '!' && first <= '`') || line == " ") &&
        (static_cast<long>(line.size()) - 1) * 3 / 4 >= count) {
      if (writing()) decode_uu(line, count);
      return true;
    }
    finish_attachment();
    if (equals_nocase(line, "end")) return true;
  }
  return false;
}

// A "begin" line starts a uuencoded file; true when its lines are taken
// as the file's data rather than as text.
bool MessagePass::take_uu_begin(std::string_view line) {
  if (!is_uu_begin(line)) return false;
  finish_attachment();
  std::string_view name = line.size() > 9 ? trim_left(line.substr(9)) : std::string_view();
  start_attachment(DecodeState::uuencode, name.substr(0, 79));
  return action_ != AttachAction::ignore;
}

// One line of the body; false when the message ends here (its end, or the
// cut marker of a mailing list).
bool MessagePass::body_step() {
  std::string_view line;
  if (!(modern_ ? next_item_line(line) : read_body_line(line))) return false;
  note_body_start(line);
  if (at_cut_marker(line)) cut_ = true;
  if (cut_) return false;
  if (take_boundary(line)) return true;
  // MIME parameters come from header blocks only: a body that quotes a
  // Content-Type line is text.
  if (quoted_printable_) line = decode_quoted_printable(line);
  if (take_encoded_line(line)) return true;
  if (line.empty()) {
    if (body_text_seen_) ++pending_blanks_;
    handle_empty_line();
    return true;
  }
  if (take_uu_begin(line)) return true;
  if (collecting()) body_text_line(line);
  write_line(line, false);
  return true;
}

// Whether the rest of the body can no longer change what the parse pass
// finds: once the first line of text is seen, in a message without MIME
// parts, when neither the split size, QuoteTo nor ModernMime asks for the
// whole body. Mail also needs no junk words looked for in its text and no
// line further down starting with "begin", which could start a uuencoded
// file.
bool MessagePass::parse_has_what_it_needs() {
  const Settings& s = *settings;
  // Asked once, at the first line of text.
  if (!body_text_seen_ || end_asked_) return false;
  end_asked_ = true;
  if (!boundary_.empty() || modern_ || s.ImportLimit != 0 || s.QuoteTo) return false;
  if (!mail_area()) return true;
  if (quoted_printable_ || state_ != DecodeState::text) return false;
  for (const JunkEntry& e : s.JunkStr) {
    if (e.category == JunkCategory::email || e.category == JunkCategory::all) return false;
  }
  // A line of the rest starting with "begin" (the rest is shorter than a
  // line that the line buffer would cut in pieces).
  std::string_view rest = file_.look_ahead(remaining());
  return rest.size() == remaining() && rest.size() < kLineBuffer - 1 &&
         !rest.starts_with("begin") && rest.find("\nbegin") == std::string_view::npos;
}

// The lines of plain text that follow, written as body_step() writes them;
// it stops before the first line that needs more: one holding a NUL byte,
// one longer than a line of the text, one starting with "begin".
void MessagePass::write_plain_lines() {
  const int64_t start = file_.tell();
  const std::size_t rest = remaining();
  std::string_view text = file_.look_ahead(rest);
  if (text.size() != rest) {
    // The rest of the message is not in the window at once: line by line.
    for (;;) {
      const int64_t at = file_.tell();
      std::string_view line = next_raw(kLineBuffer - 1);
      if (line.empty()) return;
      const bool nul = file_.has_nul(line);
      line = text_of_line(line);
      if (nul || !write_plain_line(line)) {
        file_.seek(at);
        return;
      }
    }
  }
  // The rest is at hand: its lines are found in it, up to the first NUL.
  const char* nul = static_cast<const char*>(std::memchr(text.data(), '\0', text.size()));
  std::size_t done = 0;
  while (done < text.size()) {
    const char* at = text.data() + done;
    std::size_t left = text.size() - done;
    std::size_t feed = MessageFile::line_feed_at(at, left);
    std::size_t taken = feed < left ? feed + 1 : left;
    if (nul != nullptr && nul < at + taken) break;
    std::string_view line(at, taken);
    line = text_of_line(line);
    if (!write_plain_line(line)) break;
    done += taken;
  }
  file_.seek(start + static_cast<int64_t>(done));
}

// One line of plain text (its line end cut off) as body_step() writes it;
// false, with nothing done, for a line that needs more than that.
bool MessagePass::write_plain_line(std::string_view line) {
  if (line.size() > kBodyWidth || line.starts_with("begin")) return false;
  if (line.empty()) {
    ++pending_blanks_;
    parameter_scan_ = false;
    return true;
  }
  for (; pending_blanks_ > 0; --pending_blanks_) emit("\r");
  written_ += static_cast<long>(line.size()) + 1;
  packet_->file.write_ending(line, '\r');
  return true;
}

// What the parse pass leaves in the record once the message is read.
void MessagePass::finish_parse() {
  MessageHeader& h = *message_work.header;
  if (!header_ended_) h.body_offset = end_;
  // An attribution that no quoted line confirmed does not count.
  if (quote_counter_ >= 0) {
    h.quote_name.clear();
    h.quote_address.clear();
  }
}

void MessagePass::run() {
  while (!stop_) {
    if (header_ended_ && !information_written_ && !in_header_) {
      information_written_ = true;
      if (!ignore_text_) write_header_information();
    }
    if (!in_header_ && plain_lines_ahead()) write_plain_lines();
    // With ModernMime the body has been read whole when the header ends.
    if (remaining() == 0 && (in_header_ || !modern_)) break;
    if (!(in_header_ ? header_step() : body_step())) break;
    if (collecting() && !in_header_ && parse_has_what_it_needs()) break;
  }
  finish_attachment();
  if (collecting()) {
    finish_parse();
    header_lines.valid = keeping_lines_;
  }
}

// With ModernMime, once the FidoNet area is known: the charset of the
// area, its CHRS kludge, and the header fields (collected as UTF-8)
// recoded into it.
void prepare_modern_message(const SoupArea& area) {
  MessageHeader& h = *message_work.header;
  target_charset = fido_charset_for(h.area_tag.view(), area.area_name.view());
  const FidoCharsetInfo* info = find_fido_charset(target_charset);
  if (info != nullptr) {
    h.chrs.assign(std::string(info->chrs) + " " + std::to_string(info->level));
  }
  if (fields_recoded) return;
  fields_recoded = true;
  bool utf8 = info != nullptr && info->level == 4;
  auto recoded = [&](Text<128>& field) {
    if (is_ascii(field.view())) return;
    std::string text = recode(field.view(), "UTF-8", target_charset);
    field.assign(cut_text(text, 127, utf8));
  };
  for (Text<128>* f : {&h.from_name, &h.to_name, &h.reply_to_name, &h.subject, &h.organization,
                       &h.x_from, &h.sender, &h.quote_name, &h.previous_to_name, &h.from_address,
                       &h.to_address, &h.reply_to_address, &h.quote_address}) {
    recoded(*f);
  }
  for (Recipient& r : message_work.recipients) {
    recoded(r.name);
    recoded(r.address);
  }
}

}  // namespace

const PathList& decoded_files() {
  return import_state.decoded_files;
}
void forget_decoded_files() {
  import_state.decoded_files.clear();
}
long decoded_write_failures() {
  return import_state.decoding_failures;
}

void parse_message(MessageFile& file, const MessageExtent& extent, const SoupArea& area) {
  reset_message_header();
  MessageHeader& h = *message_work.header;
  h.body_offset = extent.start;
  h.category = area.kind == MessageKind::news ? kKindNews : kKindMail;
  h.part_count = 1;
  if (settings->ModernMime) {
    target_charset = fido_charset_for("", area.area_name.view());
    counted_charset = target_charset;
    fields_recoded = false;
  }
  MessagePass pass(Mode::parse, file, extent, area);
  pass.set_category(h.category, kJunkNone);
  pass.run();
  if (settings->ModernMime) {
    auto decoded = [](Text<128>& name) {
      name.assign(cut_text(decode_header_text(name.view(), settings->FallbackCharset), 127, true));
    };
    for (Text<128>* f : {&h.from_name, &h.to_name, &h.reply_to_name}) decoded(*f);
    // Addresses carry no encoded words, but may carry stray 8-bit bytes.
    auto as_utf8 = [](Text<128>& address) {
      if (is_utf8(address.view())) return;
      address.assign(cut_text(to_utf8(address.view(), "", settings->FallbackCharset), 127, true));
    };
    for (Text<128>* f : {&h.from_address, &h.to_address, &h.reply_to_address}) as_utf8(*f);
    for (Recipient& r : message_work.recipients) {
      decoded(r.name);
      as_utf8(r.address);
    }
  }
  h.has_attachments = pass.has_attachments();
  h.attach_list = pass.attach_list().view();
}

void recount_message(MessageFile& file, const MessageExtent& extent, const SoupArea& area) {
  MessageHeader& h = *message_work.header;
  if (settings->ModernMime) {
    prepare_modern_message(area);
    counted_charset = target_charset;
  }
  // The header information block at the top depends on the attachments
  // found further down; the count is taken again until both agree.
  for (int round = 0; round < 3; ++round) {
    h.part_count = 1;
    MessagePass pass(Mode::recount, file, extent, area);
    pass.set_category(h.category, h.junk_reason);
    pass.run();
    if (pass.has_attachments() == h.has_attachments &&
        pass.attach_list().view() == h.attach_list.view()) {
      break;
    }
    h.has_attachments = pass.has_attachments();
    h.attach_list = pass.attach_list().view();
  }
}

void write_imported_message(bool ignore_text, int category, bool own_org, int junk_reason,
                            const Text<128>* cut_marker, MessageFile& file, OutPacket& packet,
                            const MessageExtent& extent, const SoupArea& area) {
  MessageHeader& h = *message_work.header;
  if (settings->ModernMime) {
    prepare_modern_message(area);
    // The parts were counted in another charset than the one written.
    if (settings->ImportLimit != 0 && counted_charset != target_charset) {
      recount_message(file, extent, area);
    }
  }
  h.part_number = 1;
  MessagePass pass(Mode::write, file, extent, area);
  pass.set_output(&packet, ignore_text, category, own_org, junk_reason, cut_marker);
  if (!ignore_text) {
    write_message_start(category, packet.file, h.attach_list.view(), junk_reason, own_org);
  }
  pass.run();
  if (!ignore_text) write_message_end(category, packet.file);
}

void complete_header(const SoupArea& area) {
  MessageHeader& h = *message_work.header;
  if (h.from_address.empty())
    h.from_address = h.from_name.empty() ? "anonymous" : h.from_name.view();
  if (h.from_name.empty()) h.from_name = h.from_address.view();
  if (h.to_address.empty()) h.to_address = h.to_name.empty() ? "unknown" : h.to_name.view();
  if (h.to_name.empty()) h.to_name = h.to_address.view();
  if (h.reply_to_address.empty()) h.reply_to_address = h.from_address.view();
  if (h.reply_to_name.empty()) h.reply_to_name = h.from_name.view();
  map_destination_and_origin();
  if (area.kind != MessageKind::mail) return;
  for (const RouteEntry& route : settings->Route) {
    if (!equals_nocase(route.email.view(), h.from_address.view())) continue;
    h.routed = true;
    h.route = &route;
    if (!route.password.empty() && h.mail_password.view() != route.password.view()) {
      h.wrong_route_password = true;
      progress_return();
      log_print("! Incorrect password for node %s\n",
                ftn_address_text(route.address, PointForm::when_set).c_str());
    } else {
      h.origin = route.address;
    }
    break;
  }
}

void apply_recipient_name_rule() {
  MessageHeader& h = *message_work.header;
  bool list = h.mailing_list || h.list_index >= 0;
  if (h.category != kKindNews && !list) return;
  if (!h.to_name.empty() && h.to_name.view() != h.to_address.view()) return;
  if (!h.quote_name.empty()) {
    h.to_name = h.quote_name.view();
  } else if (!h.quote_address.empty()) {
    h.to_name = h.quote_address.view();
  } else {
    h.to_name = "All";
  }
}

void select_chrs() {
  MessageHeader& h = *message_work.header;
  h.chrs.clear();
  if (settings->ModernMime) {
    const FidoCharsetInfo* info = find_fido_charset(target_charset);
    if (info != nullptr) {
      h.chrs.assign(std::string(info->chrs) + " " + std::to_string(info->level));
    }
    return;
  }
  for (const CharSetMapEntry& e : settings->CharSetMap) {
    if (e.direction == Direction::export_only ||
        !equals_nocase(e.internet_name, h.charset.view())) {
      continue;
    }
    h.chrs.assign(e.fido_name);
    std::size_t hash = h.chrs.view().rfind('#');
    if (hash != std::string_view::npos) h.chrs.set(hash, ' ');
    break;
  }
}

}  // namespace quillmar
