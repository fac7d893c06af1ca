#include "export/convert.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "config/settings.hpp"
#include "export/export_state.hpp"
#include "export/header_words.hpp"
#include "export/journal.hpp"
#include "export/reply.hpp"
#include "fido/address_mapping.hpp"
#include "fido/charset.hpp"
#include "frame/file_helpers.hpp"
#include "frame/run.hpp"
#include "frame/text_helpers.hpp"
#include "frame/work.hpp"
#include "lists/list_files.hpp"
#include "platform/clock.hpp"

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
};
ConvertState state;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_alnum(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

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

// "%hu": blanks and digits, taken modulo 65536.
bool take_u16(std::string_view& s, uint16_t& out) {
  skip_spaces(s);
  if (s.empty() || !is_digit(s.front())) return false;
  uint16_t value = 0;
  while (!s.empty() && is_digit(s.front())) {
    value = static_cast<uint16_t>(value * 10u + static_cast<unsigned>(s.front() - '0'));
    s.remove_prefix(1);
  }
  out = value;
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

// Reads on to the NUL that ends the text.
void skip_to_text_end(platform::File& in) {
  while (read_byte(in) != 0) {
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
  ExportMessage& m = *export_message;
  if (starts_with(k, "INTL ")) {
    std::string_view s = k.substr(5);
    uint16_t v[6] = {};
    if (take_u16(s, v[0]) && take_char(s, ':') && take_u16(s, v[1]) && take_char(s, '/') &&
        take_u16(s, v[2]) && take_u16(s, v[3]) && take_char(s, ':') && take_u16(s, v[4]) &&
        take_char(s, '/') && take_u16(s, v[5])) {
      m.origin.zone = v[3];
      m.origin.net = v[4];
      m.origin.node = v[5];
    }
  } else if (starts_with(k, "FMPT ")) {
    std::string_view s = k.substr(5);
    take_u16(s, m.origin.point);
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
      if (cross_post_table.size() < limit && !cross_post_table.full()) {
        cross_post_table.add()->assign(value);
      } else {
        state.xpost_limit = true;
      }
    } else {
      std::size_t limit = settings->ExportMaxTo == 0 ? kMaxRecipients : settings->ExportMaxTo;
      // The To name counts as the first recipient of a message not to UUCP.
      if (!state.is_uucp) --limit;
      if (recipient_table.size() < limit && !recipient_table.full()) {
        Recipient* r = recipient_table.add();
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

// The kludges and gateway lines before the body; leaves `in` at the first
// body line.
void scan_header(platform::File& in) {
  char line[kScanPiece + 1];
  const bool gateway = export_target == ExportTarget::gateway;
  bool allowance = false;
  for (;;) {
    long pos = in.tell();
    CrLine r = read_piece(in, line, kScanPiece);
    std::string_view v(line, std::strlen(line));
    state.scan_serial ^= crc32(v.data(), v.size());
    bool ended = r == CrLine::ended;
    bool taken = true;
    if (!v.empty() && v.front() == '\x01') {
      read_kludge(v.substr(1));
    } else if (starts_with(v, "AREA:")) {
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
bool check_body(platform::File& in) {
  char piece[kPieceBuffer];
  long start = in.tell();
  bool has_text = false;
  for (;;) {
    CrLine r = read_piece(in, piece, body_width());
    if (piece[0] != '\0' && piece[0] != '\x01') {
      has_text = true;
      for (const char* p = piece; *p != '\0' && !state.has_8bit; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c > 0x7E) state.has_8bit = true;
      }
    }
    if (r == CrLine::ended) break;
  }
  in.seek(start);
  return has_text;
}

// Will a file of the attachment list go with the message?
bool has_attachment_to_send() {
  for (const AttachmentEntry& e : attachment_list) {
    if (export_target == ExportTarget::route || e.state != kAttachPacket) return true;
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
    recipient_table.clear();
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

void write_member_list(platform::File& out, ListRecord& list) {
  out.write("Bcc: ");
  long written = 0;
  UserRecord user;
  for (MemberNode* head : list.chains) {
    for (const MemberNode* node = head; node != nullptr; node = node->next) {
      if (!read_user_record(list, *node, user) || user.status == kStatusBarred) continue;
      if (written != 0) out.write(written % 2 == 0 ? ",\n   " : ", ");
      out.write("<");
      write_header_value(out, user.address);
      out.write(">");
      ++written;
    }
  }
  out.write("\n");
  close_user_file(list);
}

// The entries of one kind, with a line break before every third entry
// that follows earlier text.
void write_recipients(platform::File& out, uint8_t kind, bool first_follows_text) {
  long written = 0;
  for (const Recipient& r : recipient_table) {
    if (r.kind != kind) continue;
    if (written != 0 || first_follows_text) out.write(written % 3 == 0 ? ",\n    " : ", ");
    write_header_value(out, r.address);
    ++written;
  }
}

bool has_kind(uint8_t kind) {
  for (const Recipient& r : recipient_table) {
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

void write_header(platform::File& out) {
  const Settings& s = *settings;
  ExportMessage& message = *export_message;
  for (Text<128>* value :
       {&state.recipient, &state.from_address, &state.reply_address, &state.newsgroup,
        &message.to_name, &message.from_name, &message.subject, &message.route_subject,
        &state.msgid_ref.id_text, &state.reply_ref.id_text}) {
    make_one_line(*value);
  }
  for (Recipient& r : recipient_table) make_one_line(r.address);
  for (Text<128>& group : cross_post_table) make_one_line(group);
  const ExportMessage& m = message;
  const bool route = export_target == ExportTarget::route;

  if (state.list != nullptr) {
    write_member_list(out, *state.list);
  } else if (!state.is_news) {
    out.write("To: ");
    if (!state.is_uucp) {
      write_header_value(out, state.recipient);
      if (route && !m.to_name.empty()) {
        out.printf(" (%s)", header_text(m.to_name, 6 + state.recipient.size()).c_str());
      }
    }
    write_recipients(out, kAddressTo, !state.is_uucp);
    out.write("\n");
    if (has_kind(kAddressCc)) {
      out.write("Cc: ");
      write_recipients(out, kAddressCc, false);
      out.write("\n");
    }
    if (has_kind(kAddressBcc)) {
      out.write("Bcc: ");
      write_recipients(out, kAddressBcc, false);
      out.write("\n");
    }
  } else {
    out.write("Newsgroups: ");
    write_header_value(out, state.newsgroup);
    for (const Text<128>& group : cross_post_table) {
      out.write(",");
      write_header_value(out, group);
    }
    out.write("\n");
  }

  out.write("From: ");
  if (state.is_news) write_header_value(out, s.NoSpamText);
  write_header_value(out, state.from_address);
  std::size_t from_used = 8 + (state.is_news ? s.NoSpamText.size() : 0) + state.from_address.size();
  out.printf(" (%s)\n", header_text(m.from_name, from_used).c_str());
  if (state.list == nullptr) {
    out.write("Reply-to: ");
    write_header_value(out, state.reply_address);
    out.printf(" (%s)\n", header_text(m.from_name, 12 + state.reply_address.size()).c_str());
  } else {
    std::string_view list_address =
        state.list->ListAddress ? state.list->ListAddress->view() : std::string_view();
    out.write("Reply-to: ");
    write_header_value(out, list_address);
    out.write("\nSender: ");
    write_header_value(out, list_address);
    out.write("\n");
  }
  std::string_view subject = m.subject;
  if (m.file_attached && route && !m.route_subject.empty() && subject_names_bundle(m.subject)) {
    subject = m.route_subject;
  }
  out.printf("Subject: %s\n", header_text(subject, 9).c_str());

  FidoDate d = parse_fido_date(m.date_time);
  out.printf("Date: %s, %02d %-3s %04d %02d:%02d:%02d", kDayNames[d.weekday], d.day,
             kMonthNames[d.month], d.year, d.hour, d.minute, d.second);
  if (!s.TimeZone.empty()) {
    out.write(" ");
    write_header_value(out, s.TimeZone);
  }
  out.write("\n");

  out.write("Message-ID: ");
  write_message_id_line(out, state.msgid_ref);
  if (state.reply_ref.serial != 0 || !state.reply_ref.id_text.empty()) {
    out.write(state.is_news ? "References: " : "In-Reply-To: ");
    write_message_id_line(out, state.reply_ref);
  }
  if (!s.Organization.empty()) {
    out.write("Organization: ");
    write_header_value(out, s.Organization);
    out.write("\n");
  }
  if (!m.to_name.empty() && (state.is_news || state.list != nullptr || state.is_mailing_list)) {
    out.printf("X-Comment-To: %s\n", header_text(m.to_name, 14).c_str());
  }
  if (!state.is_news && route && !m.route_password.empty()) {
    out.write("X-MailPassword: ");
    write_header_value(out, m.route_password);
    out.write("\n");
  }
  out.printf("X-Mail%s: Quillmar/%s v%d.%02d\n", state.list != nullptr ? "Server" : "Converter",
             kPlatformTag, kVersionMajor, kVersionMinor);
  out.write("Mime-version: 1.0\n");
  if (m.file_attached) {
    out.printf("Content-Type: multipart/mixed; boundary=\"%s\"\n", kMimeBoundary);
    out.printf("\n--%s\n", kMimeBoundary);
  }
  out.write("Content-Type: text/plain; charset=");
  write_header_value(out, state.out_charset);
  out.write("\n");
  out.write("Content-Transfer-Encoding: ");
  if (!state.has_8bit) {
    out.write("7bit\n");
  } else {
    out.write(s.UseQP ? "quoted-printable\n" : "8bit\n");
  }
  out.write("\n");
}

bool is_tearline(std::string_view piece) {
  return starts_with(piece, "---") && (piece.size() == 3 || piece[3] == ' ');
}

bool ends_text(std::string_view line) {
  return starts_with(line, " * Origin:") ||
         (!line.empty() && line.front() == '\x01' && starts_with_nocase(line.substr(1), "Via "));
}

// Writes one body piece, quoted-printable when asked.
void write_piece(platform::File& out, std::string_view piece) {
  char encoded[kPieceBuffer * 3 + 2];
  std::size_t n = 0;
  const bool qp = state.has_8bit && settings->UseQP;
  for (char ch : piece) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (qp && (c == '=' || c < 0x20 || c > 0x7E)) {
      encoded[n++] = '=';
      encoded[n++] = hex_digit_char(c >> 4);
      encoded[n++] = hex_digit_char(c & 0x0F);
    } else {
      encoded[n++] = ch;
    }
  }
  encoded[n++] = '\n';
  out.write(encoded, n);
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

void write_body(platform::File& in, platform::File& out) {
  const std::size_t width = body_width();
  // UTF-8 text is cut by characters, not bytes: its pieces are read longer.
  const bool by_characters = settings->ModernMime && state.source_utf8;
  const std::size_t read_width = by_characters ? std::min<std::size_t>(4 * width, 480) : width;
  char raw[kPieceBuffer];
  char next[kScanPiece + 1];
  Text<kPieceBuffer> piece;
  Text<16> prefix;
  bool continuation = false;
  bool end_found = false;
  for (;;) {
    long start = in.tell();
    CrLine r = read_piece(in, raw, read_width);
    bool cut = r == CrLine::too_long;
    bool text_end = r == CrLine::ended;
    std::string_view v(raw, std::strlen(raw));
    if (end_found) {
      if (text_end) return;
      continue;
    }
    if (!continuation) {
      if (!v.empty() && v.front() == '\x01') {
        if (text_end || (cut && !skip_rest_of_line(in))) return;
        continue;
      }
      if (is_tearline(v)) {
        if (text_end) return;
        long after = in.tell();
        CrLine r2 = read_piece(in, next, kScanPiece);
        if (ends_text(next)) {
          if (r2 == CrLine::ended) return;
          end_found = true;
          continue;
        }
        in.seek(after);
      } else if (starts_with(v, " * Origin:")) {
        if (text_end) return;
        end_found = true;
        continue;
      }
    }
    // A line that filled a piece exactly leaves an empty rest: no line.
    if (continuation && v.empty() && r == CrLine::line) {
      continuation = false;
      prefix.clear();
      continue;
    }
    if (text_end && v.empty()) return;

    std::size_t carried = prefix.size();
    piece = prefix;
    piece.append(v);
    if (by_characters) {
      std::size_t limit = utf8_prefix_bytes(piece, width);
      if (cut || limit < piece.size()) {
        // Wrapped as below, at a character boundary within `width`
        // characters; the rest is read again.
        carry_quote_prefix(piece, prefix);
        std::size_t keep = wrap_length(piece.view().substr(0, limit), limit);
        if (keep > limit) keep = limit;
        // A piece read to its limit may end inside a character.
        if (keep == piece.size()) keep = piece.size() - 1;
        std::size_t whole = cut_text(piece, keep, true).size();
        if (whole > carried) keep = whole;
        if (keep < piece.size() && keep > carried) {
          in.seek(start + static_cast<long>(keep - carried));
          piece.truncate(keep);
          cut = true;
          text_end = false;
        }
      }
      if (!cut) prefix.clear();
      continuation = cut;
      write_recoded_piece(out, piece);
      if (text_end) return;
      continue;
    }
    if (cut) {
      carry_quote_prefix(piece, prefix);
      std::size_t keep = wrap_length(piece, width);
      if (keep < piece.size() && keep > carried) {
        in.seek(start + static_cast<long>(keep - carried));
        piece.truncate(keep);
      }
    } else {
      prefix.clear();
    }
    continuation = cut;
    if (settings->ModernMime) {
      write_recoded_piece(out, piece);
    } else {
      write_piece(out, piece);
    }
    if (text_end) return;
  }
}

// The files of a file-attach message, as MIME parts.
void write_attachments(platform::File& out, bool allow_attachments) {
  std::string_view subject = export_message->subject;
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
      for (AttachmentEntry& e : attachment_list) {
        if (!equals_nocase(base_name(without_send_mark(e.name)), wanted)) continue;
        if (found == nullptr) found = &e;
        if (e.state != kAttachDone) {
          found = &e;
          break;
        }
      }
      if (found != nullptr) {
        if (found->state == kAttachPacket && export_target == ExportTarget::gateway) {
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
      export_attachment_missing = true;
      continue;
    }
    std::string_view path = found;
    // A file named twice goes once; one already sent by this run is gone.
    if (std::find(encoded.begin(), encoded.end(), path) != encoded.end()) continue;
    if (journal_consumes(path)) continue;
    platform::File input;
    if (!input.open(path, platform::OpenMode::read)) {
      log_print("! can't open attached file %s: %s\n", found.c_str(), platform::last_error());
      export_attachment_missing = true;
      continue;
    }
    encoded.emplace_back(path);
    encode_attachment(out, input, path, mode);
  }
  out.printf("\n--%s--\n", kMimeBoundary);
}

void print_verbose(long entries) {
  const ExportMessage& m = *export_message;
  progress_return();
  log_print("- from %hu:%hu/%hu.%hu (%s) to ", m.origin.zone, m.origin.net, m.origin.node,
            m.origin.point, m.from_name.c_str());
  if (state.list != nullptr) {
    log_print("%s\n", state.list->ListName ? state.list->ListName->c_str() : "");
  } else if (!state.is_news) {
    log_print("%s%s\n", state.recipient.c_str(),
              entries > (state.is_uucp ? 1 : 0) ? " et al." : "");
  } else {
    log_print("%s newsgroup%s\n", state.newsgroup.c_str(),
              cross_post_table.empty() ? "" : " et al.");
  }
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
  const Settings& s = *settings;
  ExportMessage& m = *export_message;
  const bool gateway = export_target == ExportTarget::gateway;

  state = ConvertState{};
  recipient_table.clear();
  cross_post_table.clear();
  prepare_message_refs(state.msgid_ref, state.reply_ref, m.origin);
  state.area = "NETMAIL";
  if (gateway) {
    state.is_uucp = equals_nocase(m.to_name, "UUCP");
    state.recipient = m.to_name;
  } else if (export_target == ExportTarget::route) {
    state.recipient = m.route_recipient;
  }
  state.scan_serial = static_cast<uint32_t>(platform::now());

  scan_header(in);

  // An FTN address in the MSGID names the sender more exactly than the
  // packet does.
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

  for (const AliasEntry& a : s.Alias) {
    if (!state.is_uucp && equals_nocase(state.recipient, a.alias)) state.recipient = a.email;
    for (Recipient& r : recipient_table) {
      if (equals_nocase(r.address, a.alias)) r.address = a.email;
    }
  }

  choose_charset();
  if (!choose_kind()) {
    skip_to_text_end(in);
    return;
  }

  if (state.from_address.empty()) {
    map_sender_to_internet(m.origin, m.from_name, state.from_address, state.reply_address);
  }
  if (state.reply_address.empty()) state.reply_address = state.from_address;

  if (!check_body(in) && !(m.file_attached && allow_attachments && has_attachment_to_send())) {
    skip_to_text_end(in);
    return;
  }

  const FtnAddress& o = m.origin;
  if (state.to_limit) {
    log_print("! To/Copy-limit exceeded in msg from %hu:%hu/%hu.%hu (%s)\n", o.zone, o.net, o.node,
              o.point, m.from_name.c_str());
  }
  if (state.xpost_limit) {
    log_print("! XPost-limit exceeded in msg from %hu:%hu/%hu.%hu (%s)\n", o.zone, o.net, o.node,
              o.point, m.from_name.c_str());
  }
  if (state.is_uucp && recipient_table.empty()) {
    log_print("! No To-address specified in msg from %hu:%hu/%hu.%hu (%s)\n", o.zone, o.net, o.node,
              o.point, m.from_name.c_str());
  }

  const int kind = state.is_news ? kReplyNews : kReplyMail;
  platform::File out;
  if (!open_reply_message(kind, out)) {
    // The message cannot be written: its source must be kept.
    export_write_failed = true;
    skip_to_text_end(in);
    return;
  }
  const long entries = static_cast<long>(recipient_table.size());
  if (state.is_uucp && !recipient_table.empty()) state.recipient = recipient_table[0].address;

  write_header(out);
  recipient_table.clear();
  write_body(in, out);
  if (m.file_attached) write_attachments(out, allow_attachments);

  if (!close_reply_message(kind, out)) {
    export_write_failed = true;
    cross_post_table.clear();
    return;
  }
  ++export_stats.exported;
  ++(state.is_news ? export_stats.news : export_stats.mail);
  if (state.list != nullptr) ++export_stats.lists;
  if (s.SeparateMSG) flush_reply_file(kind);

  if (run_options.verbose) print_verbose(entries);
  cross_post_table.clear();
}

}  // namespace quillmar
