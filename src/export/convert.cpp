#include "export/convert.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/char_class.hpp"
#include "base/charset.hpp"
#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/number_scan.hpp"
#include "base/run_options.hpp"
#include "base/text_helpers.hpp"
#include "base/version.hpp"
#include "config/settings.hpp"
#include "export/export_state.hpp"
#include "export/journal.hpp"
#include "fido/address_mapping.hpp"
#include "fido/message_record.hpp"
#include "lists/distribution.hpp"
#include "lists/list_files.hpp"
#include "platform/clock.hpp"
#include "rfc/header_words.hpp"
#include "rfc/header_writer.hpp"
#include "soup/reply.hpp"

namespace quillmar {

namespace {

// Pieces of the header scan hold 256 characters, body pieces LineWidth
// (at most 199) characters.
constexpr std::size_t kScanPiece = 256;
constexpr std::size_t kPieceBuffer = 512;
constexpr std::size_t kLeastCut = 33;

// The working state of one conversion; emptied for every message.
struct ConvertState {
  Text<128> area;
  Text<128> recipient;
  bool is_uucp = false;
  Text<128> from_address;
  Text<128> reply_address;
  MessageRef msgid_ref;
  MessageRef reply_ref;
  bool msgid_read = false;
  uint32_t scan_serial = 0;
  Text<128> charset_kludge;
  std::string_view out_charset;
  bool kill_file_sent = false;
  bool truncate_file_sent = false;
  bool has_8bit = false;
  bool is_news = false;
  Text<128> newsgroup;
  ListRecord* list = nullptr;
  bool is_mailing_list = false;
  bool to_limit = false;
  bool xpost_limit = false;
  // ModernMime: the iconv name of the FidoNet text's charset, and whether
  // it is UTF-8 (whose characters a cut keeps whole).
  std::string source_charset;
  bool source_utf8 = false;
  // The file offset of the NUL that ends the text, once the body check has
  // found it in the reader's window (-1: not known). The body is then
  // written from the window in place.
  long text_end = -1;
  long text_start = -1;  // and where it begins (line_ends counts from there)
};
ConvertState state;

void skip_spaces(std::string_view& s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
}

// "%d": blanks, a sign, digits (large values are held, not overflowed).
bool take_int(std::string_view& s, int& out) {
  skip_spaces(s);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || !is_digit(s.front())) return false;
  long value = 0;
  while (!s.empty() && is_digit(s.front())) {
    if (value < 100000000) value = value * 10 + (s.front() - '0');
    s.remove_prefix(1);
  }
  out = static_cast<int>(negative ? -value : value);
  return true;
}

bool take_char(std::string_view& s, char c) {
  if (s.empty() || s.front() != c) return false;
  s.remove_prefix(1);
  return true;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Reads one piece of at most `maximum` characters.
CrLine read_piece(platform::File& in, char* buffer, std::size_t maximum) {
  return read_cr_line(in, buffer, maximum + 1);
}

// The body's piece width: LineWidth, kept within what the buffers hold.
std::size_t body_width() {
  std::size_t width = settings->LineWidth;
  return width < 20 ? 20 : width > 255 ? 255 : width;
}

// Reads on to the NUL that ends the text (or the end of the file).
void skip_to_text_end(platform::File& in) {
  for (;;) {
    std::string_view window = in.peek();
    if (window.empty()) return;
    const void* nul = std::memchr(window.data(), '\0', window.size());
    if (nul != nullptr) {
      in.skip(static_cast<std::size_t>(static_cast<const char*>(nul) - window.data()) + 1);
      return;
    }
    in.skip(window.size());
  }
}

// Reads the rest of a line; false when the text ended with it.
bool skip_rest_of_line(platform::File& in) {
  for (;;) {
    unsigned char c = read_byte(in);
    if (c == 0) return false;
    if (c == '\r') return true;
  }
}

void read_kludge(std::string_view k) {
  ExportMessage& m = *export_state.message;
  // Only kludges beginning with these letters are read.
  switch (k.empty() ? '\0' : k.front()) {
    case 'I':
    case 'F':
    case 'M':
    case 'R':
    case 'C':
      break;
    default:
      return;
  }
  if (starts_with(k, "INTL ")) {
    std::string_view s = k.substr(5);
    FtnAddress to, from;
    if (read_ftn_address(s, to, 3) == 3 && read_ftn_address(s, from, 3) == 3) {
      m.origin.zone = from.zone;
      m.origin.net = from.net;
      m.origin.node = from.node;
    }
  } else if (starts_with(k, "FMPT ")) {
    std::string_view s = k.substr(5);
    scan_u16(s, m.origin.point);
  } else if (starts_with(k, "FLAGS ")) {
    std::string_view s = k.substr(6);
    while (!s.empty()) {
      std::size_t space = s.find(' ');
      std::string_view word = s.substr(0, space);
      if (equals_nocase(word, "KFS")) state.kill_file_sent = true;
      if (equals_nocase(word, "TFS")) state.truncate_file_sent = true;
      if (space == std::string_view::npos) break;
      s.remove_prefix(space + 1);
    }
  } else if (starts_with(k, "MSGID:")) {
    read_message_ref(k.substr(6), state.msgid_ref);
    state.msgid_read = true;
  } else if (starts_with(k, "REPLY:")) {
    read_message_ref(k.substr(6), state.reply_ref);
  } else if (starts_with(k, "CHRS:")) {
    std::string_view s = k.substr(5);
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    state.charset_kludge = s;
    // "IBMPC 2" is named "IBMPC#2" in CharSetMap.
    std::size_t space = state.charset_kludge.view().rfind(' ');
    if (space != std::string_view::npos && space + 1 < state.charset_kludge.size() &&
        is_digit(state.charset_kludge[space + 1])) {
      state.charset_kludge.set(space, '#');
    }
  }
}

// One of the gateway address lines ("To:", "Copy:", "BCopy:", "From:",
// "XPost:"); false when the line is none of them.
bool read_address_line(std::string_view line) {
  struct AddressLine {
    const char* name;
    int kind;
  };
  static constexpr AddressLine kLines[] = {{"To:", kAddressTo},
                                           {"Copy:", kAddressCc},
                                           {"BCopy:", kAddressBcc},
                                           {"From:", kAddressFrom},
                                           {"XPost:", -1}};
  switch (line.empty() ? '\0' : ascii_lower(line.front())) {
    case 't':
    case 'c':
    case 'b':
    case 'f':
    case 'x':
      break;
    default:
      return false;
  }
  for (const AddressLine& l : kLines) {
    if (!starts_with_nocase(line, l.name)) continue;
    std::string_view value = line.substr(std::strlen(l.name));
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (l.kind == kAddressFrom) {
      state.from_address = value;
    } else if (l.kind < 0) {
      while (!value.empty() && is_space(value.front())) value.remove_prefix(1);
      while (!value.empty() && is_space(value.back())) value.remove_suffix(1);
      std::size_t limit = settings->ExportMaxXPost == 0 ? kMaxCrossPosts : settings->ExportMaxXPost;
      if (message_work.cross_posts.size() < limit && !message_work.cross_posts.full()) {
        message_work.cross_posts.add()->assign(value);
      } else {
        state.xpost_limit = true;
      }
    } else {
      std::size_t limit = settings->ExportMaxTo == 0 ? kMaxRecipients : settings->ExportMaxTo;
      // The To name counts as the first recipient of a message not to UUCP.
      if (!state.is_uucp) --limit;
      if (message_work.recipients.size() < limit && !message_work.recipients.full()) {
        Recipient* r = message_work.recipients.add();
        r->kind = static_cast<uint8_t>(l.kind);
        r->address = value;
      } else {
        state.to_limit = true;
      }
    }
    return true;
  }
  return false;
}

// The next piece of the header scan as read_piece reads it: from the
// window in place when it holds the piece, else copied into `buffer` (of
// kScanPiece + 1 characters).
CrLine header_piece(platform::File& in, char* buffer, std::string_view& piece) {
  const std::string_view window = in.peek(kScanPiece + 1);
  const std::size_t n = std::min(window.size(), kScanPiece);
  const std::size_t k = n == 0 ? 0 : find_first_of3(window.data(), n, '\r', '\0', '\0');
  if (k < n) {
    piece = window.substr(0, k);
    in.skip(k + 1);
    return window[k] == '\r' ? CrLine::line : CrLine::ended;
  }
  if (n == kScanPiece) {
    piece = window.substr(0, n);
    in.skip(n);
    return CrLine::too_long;
  }
  // The file ends within the piece.
  CrLine r = read_piece(in, buffer, kScanPiece);
  piece = std::string_view(buffer, std::strlen(buffer));
  return r;
}

// The kludges and gateway lines before the body; leaves `in` at the first
// body line.
void scan_header(platform::File& in) {
  char line[kScanPiece + 1];
  const bool gateway = export_state.target == ExportTarget::gateway;
  bool allowance = false;
  for (;;) {
    long pos = in.tell();
    std::string_view v;
    CrLine r = header_piece(in, line, v);
    state.scan_serial ^= crc32(v.data(), v.size());
    bool ended = r == CrLine::ended;
    bool taken = true;
    if (!v.empty() && v.front() == '\x01') {
      read_kludge(v.substr(1));
    } else if (!v.empty() && v.front() == 'A' && starts_with(v, "AREA:")) {
      state.area = v.substr(5);
    } else if (gateway && read_address_line(v)) {
      allowance = true;
    } else if (v.empty() && allowance && !ended) {
      allowance = false;
    } else {
      taken = false;
    }
    if (!taken || ended) {
      in.seek(pos);
      return;
    }
  }
}

// Has the body any text, and any character outside the printable ASCII
// range? The stream is left where it was.
// True when the characters hold a control or 8-bit character (outside
// 0x20-0x7E). Eight characters are tested at once: a byte below 0x20, or
// above 0x7E, sets the high bit of its lane in one of the two sums.
bool has_8bit_char(const char* text, std::size_t size) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t w;
    std::memcpy(&w, text + i, 8);
    uint64_t below = (w - kOnes * 0x20) & ~w & kHigh;
    uint64_t above = ((w + kOnes * (127 - 0x7E)) | w) & kHigh;
    if ((below | above) != 0) return true;
  }
  for (; i < size; ++i) {
    if (static_cast<unsigned char>(text[i] - 0x20) > 0x5E) return true;
  }
  return false;
}

bool check_body_in_pieces(platform::File& in) {
  // The text is looked at in place, in the pieces the body is written in
  // (lines, and long lines cut at the body width): whether a piece that is
  // no kludge holds anything, and whether such text holds 8-bit or control
  // characters. Once both are known the rest need not be read.
  const std::size_t width = body_width();
  long start = in.tell();
  bool has_text = false;
  bool text_piece = false;  // the current piece is text (not a kludge)
  std::size_t column = 0;   // characters of the current piece so far
  for (bool ended = false; !ended && !(has_text && state.has_8bit);) {
    std::string_view window = in.peek();
    if (window.empty()) break;  // the end of the file ends the text
    const char* p = window.data();
    const char* nul = static_cast<const char*>(std::memchr(p, '\0', window.size()));
    const std::size_t limit = nul != nullptr ? static_cast<std::size_t>(nul - p) : window.size();
    std::size_t i = 0;
    while (i < limit && !(has_text && state.has_8bit)) {
      const char* cr = static_cast<const char*>(std::memchr(p + i, '\r', limit - i));
      const std::size_t line_end = cr != nullptr ? static_cast<std::size_t>(cr - p) : limit;
      while (i < line_end) {
        if (column == 0) {
          text_piece = p[i] != '\x01';
          if (text_piece) has_text = true;
        }
        std::size_t take = std::min(line_end - i, width - column);
        if (text_piece && !state.has_8bit && has_8bit_char(p + i, take)) state.has_8bit = true;
        i += take;
        column += take;
        if (column == width) column = 0;
      }
      if (cr != nullptr) {
        column = 0;
        ++i;
      }
    }
    ended = nul != nullptr;
    in.skip(ended ? limit + 1 : i);
  }
  in.seek(start);
  return has_text;
}

// Sixteen characters tested at once: bit k of the mask is set where
// character k is a control character (below 0x20, CR among them) or
// outside ASCII's printable range (0x7F and above), or, with `equals`,
// "=" (which quoted-printable text encodes too).
#if defined(__SSE2__)
unsigned special_mask16(const char* p, bool equals) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Compared as signed bytes, 0x80 and above are below 0x20 too.
  __m128i m =
      _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
  if (equals) m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('=')));
  return static_cast<unsigned>(_mm_movemask_epi8(m));
}
#else
unsigned special_mask16(const char* p, bool equals) {
  unsigned mask = 0;
  for (unsigned k = 0; k < 16; ++k) {
    unsigned char c = static_cast<unsigned char>(p[k]);
    if (c < 0x20 || c > 0x7E || (equals && c == '=')) mask |= 1u << k;
  }
  return mask;
}
#endif

bool is_special(char ch) {
  return static_cast<unsigned char>(ch - 0x20) > 0x5E;
}

// Where the text of the message in the window has its line ends (offsets
// from its start), found by the body check; kept for the run.
std::vector<uint32_t> line_ends;

// Whether a line of the text holds a piece that is no kludge: a piece
// begins at every `width` characters.
bool line_has_text(const char* p, std::size_t start, std::size_t end, std::size_t width) {
  for (std::size_t piece = start; piece < end; piece += width) {
    if (p[piece] != '\x01') return true;
  }
  return false;
}

// The text from the current position to the NUL that ends it, when the
// reader's window holds all of it (read on into the window when needed).
bool whole_text(platform::File& in, std::string_view& text) {
  std::string_view window = in.peek();
  if (window.empty()) return false;  // the end of the file ends the text
  const void* nul = std::memchr(window.data(), '\0', window.size());
  if (nul == nullptr) {
    window = in.peek(window.size() + 1);
    nul = std::memchr(window.data(), '\0', window.size());
  }
  if (nul == nullptr) return false;
  text = window.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - window.data()));
  return true;
}

// The same answers as check_body_in_pieces, from the whole text in the
// window in one pass: only the line ends and the characters outside the
// printable range stop the scan. A line holds text when one of its pieces
// is no kludge; such a piece makes the message 8-bit when it holds one of
// those characters. The line ends are kept for the body writer.
bool check_body(platform::File& in) {
  std::string_view text;
  if (!whole_text(in, text)) return check_body_in_pieces(in);
  state.text_end = in.tell() + static_cast<long>(text.size());
  state.text_start = in.tell();
  const std::size_t width = body_width();
  const char* p = text.data();
  const std::size_t n = text.size();
  line_ends.clear();
  bool has_text = false;
  std::size_t line = 0;  // where the current line begins
  auto found = [&](std::size_t q) {
    if (p[q] == '\r') {
      if (!has_text) has_text = line_has_text(p, line, q, width);
      line_ends.push_back(static_cast<uint32_t>(q));
      line = q + 1;
    } else if (!state.has_8bit && p[line + (q - line) / width * width] != '\x01') {
      state.has_8bit = true;
    }
  };
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    for (unsigned mask = special_mask16(p + i, false); mask != 0; mask &= mask - 1) {
      found(i + static_cast<std::size_t>(std::countr_zero(mask)));
    }
  }
  for (; i < n; ++i) {
    if (is_special(p[i])) found(i);
  }
  if (!has_text) has_text = line_has_text(p, line, n, width);
  return has_text;
}

// Will a file of the attachment list go with the message?
bool has_attachment_to_send() {
  for (const AttachmentEntry& e : export_state.attachments) {
    if (export_state.target == ExportTarget::route || e.state != kAttachPacket) return true;
  }
  return false;
}

// FidoNet text as UTF-8: in the charset of its CHRS kludge (or of the
// area), and as IBMPC when text said to be UTF-8 is not.
std::string fido_text_as_utf8(std::string_view text) {
  return to_utf8(text, state.source_charset, "CP437");
}

// A header text of the FidoNet message as Internet header text: encoded
// words with ModernMime, else as it stands. `used` is what the line holds
// before it.
std::string header_text(std::string_view text, std::size_t used) {
  std::string value = header_value(text);
  if (!settings->ModernMime) return value;
  return encode_header_words(fido_text_as_utf8(value), used);
}

// Writes a header text of the FidoNet message through the header writer:
// as encoded words with ModernMime, else as it stands.
void write_text_value(HeaderWriter& out, std::string_view text, std::size_t used) {
  if (settings->ModernMime) {
    out.folded(header_text(text, used));
  } else {
    out.value(text);
  }
}

// The FidoNet charset's Internet name.
void choose_charset() {
  if (settings->ModernMime) {
    // The text is recoded: from the charset its CHRS kludge names (or the
    // area's) to the configured Internet one.
    std::string fido = settings->FidoCharset;
    for (const AreaCharsetEntry& e : settings->AreaCharset) {
      if (equals_nocase(e.area.view(), state.area.view())) {
        fido = e.charset;
        break;
      }
    }
    state.source_charset = iconv_name_of(
        state.charset_kludge.empty() ? std::string_view(fido) : state.charset_kludge.view());
    state.source_utf8 = equals_nocase(state.source_charset, "UTF-8");
    state.out_charset = settings->ExportCharset;
    return;
  }
  state.out_charset = settings->DefCharSet.view();
  if (state.charset_kludge.empty()) return;
  for (const CharSetMapEntry& e : settings->CharSetMap) {
    if (e.direction == Direction::import_only) continue;
    if (starts_with_nocase(e.fido_name, state.charset_kludge)) {
      state.out_charset = e.internet_name;
      return;
    }
  }
}

// Mail, news or list; false when the message is not exported.
bool choose_kind() {
  const Settings& s = *settings;
  std::string_view area = state.area;
  if (equals_nocase(area, "NETMAIL") || equals_nocase(area, s.EmailArea)) return true;
  state.is_news = true;
  state.newsgroup.clear();
  if (!equals_nocase(area, s.OwnOrgArea) && !equals_nocase(area, s.JunkArea)) {
    for (char c : area) state.newsgroup.push_back(ascii_lower(c));
  }
  for (const AreaMapEntry& e : s.AreaMap) {
    if (e.area.view() != area) continue;
    if (e.direction == Direction::import_only) return false;
    state.newsgroup = e.newsgroup;
    break;
  }
  for (const MailingListEntry& e : s.MailingList) {
    if (!equals_nocase(e.area, area)) continue;
    state.is_news = false;
    state.recipient = e.list_address;
    if (!e.sender_address.empty()) state.from_address = e.sender_address;
    message_work.recipients.clear();
    state.is_mailing_list = true;
    break;
  }
  for (ListRecord& list : lists()) {
    if (list.ListArea && equals_nocase(*list.ListArea, area)) {
      state.is_news = false;
      state.list = &list;
      break;
    }
  }
  return !(state.is_news && state.newsgroup.empty());
}

// The entries of one kind, with a line break before every third entry
// that follows earlier text.
void write_recipients(HeaderWriter& out, uint8_t kind, bool first_follows_text) {
  long written = 0;
  for (const Recipient& r : message_work.recipients) {
    if (r.kind != kind) continue;
    if (written != 0 || first_follows_text) out.raw(written % 3 == 0 ? ",\n    " : ", ");
    out.value(r.address.view());
    ++written;
  }
}

bool has_kind(uint8_t kind) {
  for (const Recipient& r : message_work.recipients) {
    if (r.kind == kind) return true;
  }
  return false;
}

bool subject_names_bundle(std::string_view subject) {
  while (!subject.empty()) {
    std::size_t space = subject.find(' ');
    if (is_mail_bundle_name(subject.substr(0, space))) return true;
    if (space == std::string_view::npos) break;
    subject.remove_prefix(space + 1);
  }
  return false;
}

// A line break inside a header value becomes a blank, so that no field or
// text line of a FidoNet message can add header lines of its own.
template <std::size_t N>
void make_one_line(Text<N>& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') text.set(i, ' ');
  }
}

// Every value of the message that goes into its header, on one line.
void make_header_values_one_line() {
  ExportMessage& message = *export_state.message;
  for (Text<128>* value :
       {&state.recipient, &state.from_address, &state.reply_address, &state.newsgroup,
        &message.to_name, &message.from_name, &message.subject, &message.route_subject,
        &state.msgid_ref.id_text, &state.reply_ref.id_text}) {
    make_one_line(*value);
  }
  for (Recipient& r : message_work.recipients) make_one_line(r.address);
  for (Text<128>& group : message_work.cross_posts) make_one_line(group);
}

// The addressees: the list's members, the recipients of mail, or the
// newsgroups.
void write_addressees(HeaderWriter& out) {
  const ExportMessage& m = *export_state.message;
  if (state.list != nullptr) {
    write_member_bcc(out, *state.list);
  } else if (!state.is_news) {
    out.start("To");
    if (!state.is_uucp) {
      out.value(state.recipient);
      if (export_state.target == ExportTarget::route && !m.to_name.empty()) {
        out.raw(" (");
        write_text_value(out, m.to_name, 6 + state.recipient.size());
        out.raw(")");
      }
    }
    write_recipients(out, kAddressTo, !state.is_uucp);
    out.end();
    if (has_kind(kAddressCc)) {
      out.start("Cc");
      write_recipients(out, kAddressCc, false);
      out.end();
    }
    if (has_kind(kAddressBcc)) {
      out.start("Bcc");
      write_recipients(out, kAddressBcc, false);
      out.end();
    }
  } else {
    out.start("Newsgroups");
    out.value(state.newsgroup);
    for (const Text<128>& group : message_work.cross_posts) {
      out.raw(",");
      out.value(group);
    }
    out.end();
  }
}

// Sender, reply address and subject.
void write_origin_lines(HeaderWriter& out) {
  const Settings& s = *settings;
  const ExportMessage& m = *export_state.message;
  out.start("From");
  if (state.is_news) out.value(s.NoSpamText);
  out.value(state.from_address);
  out.raw(" (");
  std::size_t from_used = 8 + (state.is_news ? s.NoSpamText.size() : 0) + state.from_address.size();
  write_text_value(out, m.from_name, from_used);
  out.raw(")");
  out.end();
  if (state.list == nullptr) {
    out.start("Reply-to");
    out.value(state.reply_address);
    out.raw(" (");
    write_text_value(out, m.from_name, 12 + state.reply_address.size());
    out.raw(")");
    out.end();
  } else {
    std::string_view list_address =
        state.list->ListAddress ? state.list->ListAddress->view() : std::string_view();
    out.field("Reply-to", list_address);
    out.field("Sender", list_address);
  }
  std::string_view subject = m.subject;
  if (m.file_attached && export_state.target == ExportTarget::route && !m.route_subject.empty() &&
      subject_names_bundle(m.subject)) {
    subject = m.route_subject;
  }
  out.start("Subject");
  write_text_value(out, subject, 9);
  out.end();
}

// Date, identifiers, organisation and the gateway's own fields.
void write_message_lines(HeaderWriter& out) {
  const Settings& s = *settings;
  const ExportMessage& m = *export_state.message;
  out.date(parse_fido_date(m.date_time), s.TimeZone);

  // The identifiers are put together in a buffer kept for the run.
  static std::string id;
  auto identifier = [](const MessageRef& ref) -> std::string_view {
    id.clear();
    append_message_id(id, ref.id_text, ref.serial, ref.address);
    id.pop_back();  // its line end
    return id;
  };
  out.field("Message-ID", identifier(state.msgid_ref));
  if (state.reply_ref.serial != 0 || !state.reply_ref.id_text.empty()) {
    out.field(state.is_news ? "References" : "In-Reply-To", identifier(state.reply_ref));
  }
  if (!s.Organization.empty()) out.field("Organization", s.Organization);
  if (!m.to_name.empty() && (state.is_news || state.list != nullptr || state.is_mailing_list)) {
    out.start("X-Comment-To");
    write_text_value(out, m.to_name, 14);
    out.end();
  }
  if (!state.is_news && export_state.target == ExportTarget::route && !m.route_password.empty()) {
    out.field("X-MailPassword", m.route_password);
  }
  out.program(state.list != nullptr ? "X-MailServer" : "X-MailConverter");
}

// The MIME fields, and the start of the text part of a message with files.
void write_content_lines(HeaderWriter& out) {
  const Settings& s = *settings;
  out.field("Mime-version", "1.0");
  if (export_state.message->file_attached) {
    out.start("Content-Type");
    out.raw("multipart/mixed; boundary=\"");
    out.raw(kMimeBoundary);
    out.raw("\"");
    out.end();
    out.raw("\n--");
    out.raw(kMimeBoundary);
    out.raw("\n");
  }
  out.start("Content-Type");
  out.raw("text/plain; charset=");
  out.value(state.out_charset);
  out.end();
  if (!state.has_8bit) {
    out.field("Content-Transfer-Encoding", "7bit");
  } else {
    out.field("Content-Transfer-Encoding", s.UseQP ? "quoted-printable" : "8bit");
  }
  out.finish();
}

void write_header(platform::File& file) {
  make_header_values_one_line();
  HeaderWriter out(file);
  write_addressees(out);
  write_origin_lines(out);
  write_message_lines(out);
  write_content_lines(out);
}

bool is_tearline(std::string_view piece) {
  return starts_with(piece, "---") && (piece.size() == 3 || piece[3] == ' ');
}

bool ends_text(std::string_view line) {
  return starts_with(line, " * Origin:") ||
         (!line.empty() && line.front() == '\x01' && starts_with_nocase(line.substr(1), "Via "));
}

// The offset of the first character a quoted-printable line must encode
// ("=", a control or an 8-bit character) in the `size` characters at `text`;
// `size` when there is none. The last block is read overlapping the one
// before, its characters already tested masked off.
std::size_t first_to_encode(const char* text, std::size_t size) {
  std::size_t i = 0;
  if (size >= 16) {
    for (; i + 16 <= size; i += 16) {
      unsigned mask = special_mask16(text + i, true);
      if (mask != 0) return i + static_cast<std::size_t>(std::countr_zero(mask));
    }
    if (i == size) return size;
    const std::size_t back = size - 16;
    unsigned mask = special_mask16(text + back, true) & (~0u << (i - back));
    return mask != 0 ? back + static_cast<std::size_t>(std::countr_zero(mask)) : size;
  }
  for (; i < size; ++i) {
    if (text[i] == '=' || is_special(text[i])) return i;
  }
  return size;
}

// Writes one body piece and its line end, quoted-printable when asked,
// into the output's buffer: the runs that need no encoding are copied
// whole.
void write_piece(platform::File& out, std::string_view piece) {
  // Where the buffer cannot give the room, the piece is encoded apart.
  static std::string apart;
  const std::size_t most = piece.size() * 3 + 1;
  char* room = out.write_room(most);
  if (room == nullptr) apart.resize(most);
  char* to = room != nullptr ? room : apart.data();
  const char* p = piece.data();
  const std::size_t size = piece.size();
  std::size_t n = 0;
  if (state.has_8bit && settings->UseQP) {
    for (std::size_t i = 0; i < size;) {
      std::size_t k = i + first_to_encode(p + i, size - i);
      std::memcpy(to + n, p + i, k - i);
      n += k - i;
      if (k == size) break;
      unsigned char c = static_cast<unsigned char>(p[k]);
      to[n++] = '=';
      to[n++] = hex_digit_char(c >> 4);
      to[n++] = hex_digit_char(c & 0x0F);
      i = k + 1;
    }
  } else if (size != 0) {
    std::memcpy(to, p, size);
    n = size;
  }
  to[n++] = '\n';
  if (room != nullptr) {
    out.commit(n);
  } else {
    out.write(to, n);
  }
}

// The quote prefix a cut piece hands on: its text up to its first ">" and
// one blank, when the ">" comes early and no "<" before it.
void carry_quote_prefix(std::string_view piece, Text<16>& prefix) {
  prefix.clear();
  std::size_t gt = piece.substr(0, 6).find('>');
  if (gt == std::string_view::npos || piece.substr(0, 7).find('<') != std::string_view::npos) {
    return;
  }
  prefix = piece.substr(0, gt + 1);
  prefix.push_back(' ');
}

// Where a cut piece is wrapped: after its last blank from position 33 on,
// else after its last character that is neither letter nor digit.
std::size_t wrap_length(std::string_view piece, std::size_t width) {
  std::size_t last = std::min(piece.size(), width);
  for (std::size_t i = last; i-- > kLeastCut;) {
    if (is_space(piece[i])) return i + 1;
  }
  for (std::size_t i = last; i-- > kLeastCut;) {
    if (!is_alnum(piece[i])) return i + 1;
  }
  return piece.size();
}

// The byte length of the first `characters` UTF-8 characters of `text`.
std::size_t utf8_prefix_bytes(std::string_view text, std::size_t characters) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == characters) return i;
  }
  return text.size();
}

// A body piece in the Internet charset (ModernMime); quoted-printable
// lines get soft line breaks, so that none is longer than 76 characters.
void write_recoded_piece(platform::File& out, std::string_view piece) {
  std::string text = recode(fido_text_as_utf8(piece), "UTF-8", state.out_charset);
  const bool qp = state.has_8bit && settings->UseQP;
  std::string encoded;
  std::size_t line = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool escape = qp && (c == '=' || c < 0x20 || c > 0x7E ||
                         ((c == ' ' || c == '\t') && i + 1 == text.size()));
    std::size_t n = escape ? 3 : 1;
    if (qp && line + n > 75) {
      encoded += "=\n";
      line = 0;
    }
    if (escape) {
      encoded.push_back('=');
      encoded.push_back(hex_digit_char(c >> 4));
      encoded.push_back(hex_digit_char(c & 0x0F));
    } else {
      encoded.push_back(static_cast<char>(c));
    }
    line += n;
  }
  encoded.push_back('\n');
  out.write(encoded);
}

// The body of a FidoNet message as Internet text: kludge lines passed
// over, the text ended by its tear and origin lines, long lines wrapped at
// LineWidth carrying their quote prefix on.
class BodyWriter {
 public:
  BodyWriter(platform::File& in, platform::File& out) : in_(in), out_(out) {}

  void run() {
    for (;;) {
      if (!continuation_ && !end_found_ && !by_characters_ && in_place()) write_plain_lines();
      long start = in_.tell();
      std::string_view v;
      CrLine r = next_piece(read_width_, raw_, v);
      const bool text_end = r == CrLine::ended;
      if (end_found_) {
        if (text_end) return;
        // What follows the origin line is passed over.
        if (in_place()) {
          in_.skip(static_cast<std::size_t>(state.text_end - in_.tell()) + 1);
          return;
        }
        continue;
      }
      if (!continuation_) {
        Control c = control_line(v, r);
        if (c == Control::stop) return;
        if (c == Control::skip) continue;
      }
      // A line that filled a piece exactly leaves an empty rest: no line.
      if (continuation_ && v.empty() && r == CrLine::line) {
        continuation_ = false;
        prefix_.clear();
        continue;
      }
      if (text_end && v.empty()) return;
      if (write_text_piece(v, r == CrLine::too_long, text_end, start)) return;
    }
  }

 private:
  enum class Control { text, skip, stop };

  // Whether the window of the reader holds the rest of the text, so that
  // pieces are taken from it in place.
  bool in_place() const {
    const long at = in_.tell();
    return state.text_end >= at && in_.buffered() > static_cast<std::size_t>(state.text_end - at);
  }

  // The first line end at or after `at` (an offset into the text): the
  // reader moves on line by line, and back only within a line.
  std::size_t line_end_index(std::size_t at) {
    const uint32_t* ends = line_ends.data();
    const std::size_t count = line_ends.size();
    std::size_t k = next_end_;
    while (k > 0 && ends[k - 1] >= at) --k;
    while (k < count && ends[k] < at) ++k;
    next_end_ = k;
    return k;
  }

  // Writes the plain lines from here on straight from the window, as the
  // piece by piece path would: each ended by a CR within the width, kludge
  // lines passed over. Stops before a line that needs more (a long line, a
  // tear or origin line, the last line), which that path then takes.
  void write_plain_lines() {
    const char* p = in_.peek().data();
    const std::size_t at = static_cast<std::size_t>(in_.tell() - state.text_start);
    const uint32_t* ends = line_ends.data();
    const std::size_t count = line_ends.size();
    const bool as_is = !settings->ModernMime && !(state.has_8bit && settings->UseQP);
    std::size_t k = line_end_index(at);
    std::size_t done = 0;
    for (; k < count; ++k) {
      const char* line = p + done;
      const std::size_t size = ends[k] - at - done;
      if (size >= read_width_) break;
      const std::string_view v(line, size);
      if (size != 0) {
        const char first = line[0];
        if (first == '\x01') {
          done += size + 1;
          continue;
        }
        if ((first == '-' && is_tearline(v)) || (first == ' ' && starts_with(v, " * Origin:"))) {
          break;
        }
      }
      char* room = as_is ? out_.write_room(size + 1) : nullptr;
      if (room != nullptr) {
        if (size != 0) std::memcpy(room, line, size);
        room[size] = '\n';
        out_.commit(size + 1);
      } else {
        write_out(v);
      }
      done += size + 1;
    }
    next_end_ = k;
    in_.skip(done);
  }

  // The next piece of at most `maximum` characters as read_cr_line reads
  // it: from the window in place when it holds the rest of the text, else
  // copied into `buffer` (of at least `maximum` + 1 characters).
  CrLine next_piece(std::size_t maximum, char* buffer, std::string_view& piece) {
    if (!in_place()) {
      CrLine r = read_cr_line(in_, buffer, maximum + 1);
      piece = std::string_view(buffer, std::strlen(buffer));
      return r;
    }
    const std::string_view window = in_.peek();
    const std::size_t at = static_cast<std::size_t>(in_.tell() - state.text_start);
    const std::size_t size = static_cast<std::size_t>(state.text_end - state.text_start);
    const char* p = window.data();
    // The first line end from here on: the reader moves on line by line,
    // and back only within a line.
    const uint32_t* ends = line_ends.data();
    const std::size_t count = line_ends.size();
    const std::size_t k = line_end_index(at);
    if (k < count && ends[k] - at < maximum) {
      piece = std::string_view(p, ends[k] - at);
      in_.skip(piece.size() + 1);
      return CrLine::line;
    }
    const std::size_t rest = size - at;
    if (k == count && rest < maximum) {
      piece = std::string_view(p, rest);
      in_.skip(rest + 1);
      return CrLine::ended;
    }
    piece = std::string_view(p, maximum);
    in_.skip(maximum);
    return CrLine::too_long;
  }

  // A piece at the start of a line: a kludge line is passed over, a tear
  // line before an origin line and the origin line end the text. The first
  // character tells which test applies.
  Control control_line(std::string_view v, CrLine r) {
    const bool text_end = r == CrLine::ended;
    if (v.empty()) return Control::text;
    switch (v.front()) {
      case '\x01':
        if (text_end || (r == CrLine::too_long && !skip_rest_of_line(in_))) return Control::stop;
        return Control::skip;
      case '-':
        if (is_tearline(v)) {
          if (text_end) return Control::stop;
          long after = in_.tell();
          std::string_view next;
          CrLine r2 = next_piece(kScanPiece, next_, next);
          if (ends_text(next)) {
            if (r2 == CrLine::ended) return Control::stop;
            end_found_ = true;
            return Control::skip;
          }
          in_.seek(after);
        }
        return Control::text;
      case ' ':
        if (starts_with(v, " * Origin:")) {
          if (text_end) return Control::stop;
          end_found_ = true;
          return Control::skip;
        }
        return Control::text;
      default:
        return Control::text;
    }
  }

  // Writes a piece of text after the quote prefix carried from the piece
  // before; a piece cut at the width is wrapped, and the rest is read again
  // as the next piece. True when the text ended with the piece.
  bool write_text_piece(std::string_view v, bool cut, bool text_end, long start) {
    if (!cut && prefix_.empty() && !by_characters_) {
      // A whole line as it stands: written from where it was read.
      continuation_ = false;
      write_out(v);
      return text_end;
    }
    std::size_t carried = prefix_.size();
    piece_ = prefix_;
    piece_.append(v);
    if (by_characters_) return write_character_piece(cut, text_end, start, carried);
    if (cut) {
      carry_quote_prefix(piece_, prefix_);
      std::size_t keep = wrap_length(piece_, width_);
      if (keep < piece_.size() && keep > carried) {
        in_.seek(start + static_cast<long>(keep - carried));
        piece_.truncate(keep);
      }
    } else {
      prefix_.clear();
    }
    continuation_ = cut;
    write_out(piece_);
    return text_end;
  }

  void write_out(std::string_view piece) {
    if (settings->ModernMime) {
      write_recoded_piece(out_, piece);
    } else {
      write_piece(out_, piece);
    }
  }

  // UTF-8 text (ModernMime) is wrapped at a character boundary within
  // `width` characters; the rest is read again.
  bool write_character_piece(bool cut, bool text_end, long start, std::size_t carried) {
    std::size_t limit = utf8_prefix_bytes(piece_, width_);
    if (cut || limit < piece_.size()) {
      carry_quote_prefix(piece_, prefix_);
      std::size_t keep = wrap_length(piece_.view().substr(0, limit), limit);
      if (keep > limit) keep = limit;
      // A piece read to its limit may end inside a character.
      if (keep == piece_.size()) keep = piece_.size() - 1;
      std::size_t whole = cut_text(piece_, keep, true).size();
      if (whole > carried) keep = whole;
      if (keep < piece_.size() && keep > carried) {
        in_.seek(start + static_cast<long>(keep - carried));
        piece_.truncate(keep);
        cut = true;
        text_end = false;
      }
    }
    if (!cut) prefix_.clear();
    continuation_ = cut;
    write_recoded_piece(out_, piece_);
    return text_end;
  }

  platform::File& in_;
  platform::File& out_;
  const std::size_t width_ = body_width();
  // UTF-8 text is cut by characters, not bytes: its pieces are read longer.
  const bool by_characters_ = settings->ModernMime && state.source_utf8;
  const std::size_t read_width_ = by_characters_ ? std::min<std::size_t>(4 * width_, 480) : width_;
  char raw_[kPieceBuffer];
  char next_[kScanPiece + 1];
  Text<kPieceBuffer> piece_;
  Text<16> prefix_;
  bool continuation_ = false;
  bool end_found_ = false;
  std::size_t next_end_ = 0;  // an index into line_ends
};

void write_body(platform::File& in, platform::File& out) {
  BodyWriter(in, out).run();
}

// The files of a file-attach message, as MIME parts.
void write_attachments(platform::File& out, bool allow_attachments) {
  std::string_view subject = export_state.message->subject;
  std::vector<std::string> encoded;
  while (!subject.empty()) {
    std::size_t space = subject.find(' ');
    std::string_view word = subject.substr(0, space);
    subject = space == std::string_view::npos ? std::string_view() : subject.substr(space + 1);
    if (word.empty()) continue;

    std::string_view name = word;
    bool pass_over = false;
    if (allow_attachments) {
      // Of two listed files with the same name, the one not yet sent is meant.
      std::string_view wanted = base_name(without_send_mark(word));
      AttachmentEntry* found = nullptr;
      for (AttachmentEntry& e : export_state.attachments) {
        if (!equals_nocase(base_name(without_send_mark(e.name)), wanted)) continue;
        if (found == nullptr) found = &e;
        if (e.state != kAttachDone) {
          found = &e;
          break;
        }
      }
      if (found != nullptr) {
        if (found->state == kAttachPacket && export_state.target == ExportTarget::gateway) {
          pass_over = true;
        } else {
          name = found->name;
          found->state = kAttachDone;
        }
      }
    }
    if (pass_over) continue;

    AfterSend mode = AfterSend::keep;
    if (state.kill_file_sent) {
      mode = AfterSend::erase;
    } else if (state.truncate_file_sent) {
      mode = AfterSend::truncate;
    }
    if (!name.empty() && name.front() == '#') mode = AfterSend::truncate;
    if (!name.empty() && name.front() == '^') mode = AfterSend::erase;
    std::string_view wanted = without_send_mark(name);
    if (wanted.empty()) continue;
    // A bare name is also looked for where the tosser leaves files; a file
    // that is nowhere is reported, never silently left out.
    PathText found;
    if (!find_attached_file(wanted, found)) {
      log_print("! attached file %.*s not found\n", static_cast<int>(wanted.size()), wanted.data());
      export_state.attachment_missing = true;
      continue;
    }
    std::string_view path = found;
    // A file named twice goes once; one already sent by this run is gone.
    if (std::find(encoded.begin(), encoded.end(), path) != encoded.end()) continue;
    if (journal_consumes(path)) continue;
    platform::File input;
    if (!input.open(path, platform::OpenMode::read)) {
      log_print("! can't open attached file %s: %s\n", found.c_str(), platform::last_error());
      export_state.attachment_missing = true;
      continue;
    }
    encoded.emplace_back(path);
    encode_attachment(out, input, path, mode);
  }
  out.printf("\n--%s--\n", kMimeBoundary);
}

void print_verbose(long entries) {
  const ExportMessage& m = *export_state.message;
  progress_return();
  log_print("- from %s (%s) to ", ftn_address_text(m.origin, PointForm::always).c_str(),
            m.from_name.c_str());
  if (state.list != nullptr) {
    log_print("%s\n", state.list->ListName ? state.list->ListName->c_str() : "");
  } else if (!state.is_news) {
    log_print("%s%s\n", state.recipient.c_str(),
              entries > (state.is_uucp ? 1 : 0) ? " et al." : "");
  } else {
    log_print("%s newsgroup%s\n", state.newsgroup.c_str(),
              message_work.cross_posts.empty() ? "" : " et al.");
  }
}

// Empties the conversion's state and takes the recipient the target gives.
void start_conversion() {
  const ExportMessage& m = *export_state.message;
  state = ConvertState{};
  message_work.recipients.clear();
  message_work.cross_posts.clear();
  prepare_message_refs(state.msgid_ref, state.reply_ref, m.origin);
  state.area = "NETMAIL";
  if (export_state.target == ExportTarget::gateway) {
    state.is_uucp = equals_nocase(m.to_name, "UUCP");
    state.recipient = m.to_name;
  } else if (export_state.target == ExportTarget::route) {
    state.recipient = m.route_recipient;
  }
  state.scan_serial = static_cast<uint32_t>(platform::now());
}

// An FTN address in the MSGID names the sender more exactly than the
// packet does.
void take_msgid_origin() {
  ExportMessage& m = *export_state.message;
  MessageRef& id = state.msgid_ref;
  if (state.msgid_read && id.id_text.empty() && id.address.zone != 0) {
    m.origin = id.address;
  } else if (!state.msgid_read) {
    id.address = m.origin;
  }
  if (state.msgid_read && id.address.net == m.origin.net && id.address.node == m.origin.node) {
    if (m.origin.point == 0) m.origin.point = id.address.point;
    if (m.origin.zone == 0) m.origin.zone = id.address.zone;
  }
  if (id.serial == 0) id.serial = state.scan_serial;
}

// Recipients named by an Alias get its Internet address.
void apply_aliases() {
  for (const AliasEntry& a : settings->Alias) {
    if (!state.is_uucp && equals_nocase(state.recipient, a.alias)) state.recipient = a.email;
    for (Recipient& r : message_work.recipients) {
      if (equals_nocase(r.address, a.alias)) r.address = a.email;
    }
  }
}

// The sender's Internet address and reply address, unless a gateway line
// or the list named them.
void choose_sender() {
  const ExportMessage& m = *export_state.message;
  if (state.from_address.empty()) {
    map_sender_to_internet(m.origin, m.from_name, state.from_address, state.reply_address);
  }
  if (state.reply_address.empty()) state.reply_address = state.from_address;
}

// The warnings about recipients and cross-posts left out.
void report_limits() {
  const ExportMessage& m = *export_state.message;
  const Text<32> origin_text = ftn_address_text(m.origin, PointForm::always);
  if (state.to_limit) {
    log_print("! To/Copy-limit exceeded in msg from %s (%s)\n", origin_text.c_str(),
              m.from_name.c_str());
  }
  if (state.xpost_limit) {
    log_print("! XPost-limit exceeded in msg from %s (%s)\n", origin_text.c_str(),
              m.from_name.c_str());
  }
  if (state.is_uucp && message_work.recipients.empty()) {
    log_print("! No To-address specified in msg from %s (%s)\n", origin_text.c_str(),
              m.from_name.c_str());
  }
}

// Counts an exported message.
void count_exported() {
  ++export_state.stats.exported;
  ++(state.is_news ? export_state.stats.news : export_state.stats.mail);
  if (state.list != nullptr) ++export_state.stats.lists;
}

// Writes the message into the reply packet: header, body and files. A
// message that cannot be written whole marks its source to be kept.
void write_reply(platform::File& in, bool allow_attachments) {
  const int kind = state.is_news ? kReplyNews : kReplyMail;
  platform::File out;
  if (!open_reply_message(kind, out)) {
    // The message cannot be written: its source must be kept.
    export_state.write_failed = true;
    skip_to_text_end(in);
    return;
  }
  const long entries = static_cast<long>(message_work.recipients.size());
  if (state.is_uucp && !message_work.recipients.empty())
    state.recipient = message_work.recipients[0].address;

  write_header(out);
  message_work.recipients.clear();
  write_body(in, out);
  if (export_state.message->file_attached) write_attachments(out, allow_attachments);

  if (!close_reply_message(kind, out)) {
    export_state.write_failed = true;
    message_work.cross_posts.clear();
    return;
  }
  count_exported();
  if (settings->SeparateMSG) flush_reply_file(kind);

  if (run_options.verbose) print_verbose(entries);
  message_work.cross_posts.clear();
}

}  // namespace

FidoDate parse_fido_date(std::string_view text) {
  platform::LocalTime now = platform::local_time(platform::now());
  FidoDate d;
  d.day = now.day;
  d.month = now.month - 1;
  d.year = now.year;
  d.hour = now.hour;
  d.minute = now.minute;
  d.second = now.second;

  std::string_view s = text;
  int value = 0;
  if (take_int(s, value)) {
    d.day = value;
    skip_spaces(s);
    std::size_t end = 0;
    while (end < s.size() && !is_space(s[end])) ++end;
    if (end != 0) {
      std::string_view month = s.substr(0, end);
      s.remove_prefix(end);
      d.month = 0;
      for (int i = 0; i < 12; ++i) {
        if (month.size() >= 3 && equals_nocase(month.substr(0, 3), kMonthNames[i])) {
          d.month = i;
          break;
        }
      }
      if (take_int(s, value)) {
        // Two-digit years; a year written in full stays as written.
        d.year = value < 80 ? value + 2000 : value < 100 ? value + 1900 : value;
        if (take_int(s, value)) {
          d.hour = value;
          if (take_char(s, ':') && take_int(s, value)) {
            d.minute = value;
            if (take_char(s, ':') && take_int(s, value)) d.second = value;
          }
        }
      }
    }
  }
  d.weekday = day_of_week(d.year, d.month + 1, d.day);
  return d;
}

void convert_message(platform::File& in, bool allow_attachments) {
  const ExportMessage& m = *export_state.message;
  start_conversion();
  scan_header(in);
  take_msgid_origin();
  apply_aliases();
  choose_charset();
  if (!choose_kind()) {
    skip_to_text_end(in);
    return;
  }
  choose_sender();
  if (!check_body(in) && !(m.file_attached && allow_attachments && has_attachment_to_send())) {
    skip_to_text_end(in);
    return;
  }
  report_limits();
  write_reply(in, allow_attachments);
}

}  // namespace quillmar
