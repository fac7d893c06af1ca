#include "fido/message_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/charset.hpp"
#include "base/text_helpers.hpp"
#include "base/version.hpp"
#include "config/settings.hpp"
#include "fido/message_record.hpp"
#include "fido/packet_writer.hpp"
#include "platform/clock.hpp"

namespace quillmar {

namespace {

constexpr std::size_t kMaxUserName = 35;
constexpr std::size_t kMaxSubject = 71;
constexpr int kOriginWidth = 65;  // origin text and address text together

// The bytes of a message's start or of its end, put together in one buffer
// and written at once. Every field in them is bounded far below its size;
// a text that would not fit is cut.
class MessageBytes {
 public:
  static constexpr std::size_t kSize = 8192;
  void clear() { size_ = 0; }
  void append(const char* data, std::size_t n) {
    if (n > kSize - size_) n = kSize - size_;
    if (n == 0) return;
    std::memcpy(bytes_ + size_, data, n);
    size_ += n;
  }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void push_back(char c) {
    if (size_ < kSize) bytes_[size_++] = c;
  }
  std::size_t size() const { return size_; }
  void resize(std::size_t n) {
    if (n < size_) size_ = n;
  }
  std::string_view view() const { return std::string_view(bytes_, size_); }

 private:
  char bytes_[kSize];
  std::size_t size_ = 0;
};

void appendf(MessageBytes& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(MessageBytes& out, const char* format, ...) {
  char buffer[512];
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, ap);
  va_end(ap);
  if (n > 0)
    out.append(buffer, static_cast<std::size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}

// Whether the message's text is UTF-8, so that cuts keep whole characters
// (ModernMime only: the classic output is cut at the byte).
bool utf8_fields() {
  return settings->ModernMime && starts_with_nocase(message_work.header->chrs.view(), "UTF-8");
}

// A text up to its first NUL and at most `limit` characters.
template <std::size_t N>
std::string_view field(const Text<N>& text, std::size_t limit) {
  return cut_text(std::string_view(text.c_str()), limit, utf8_fields());
}

// Plain formatting for the lines every message carries: the messages are
// many, and these are cheaper than the printf family.
void put(MessageBytes& out, std::string_view text) {
  out.append(text);
}

void put_number(MessageBytes& out, unsigned long value) {
  char digits[24];
  std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, static_cast<std::size_t>(r.ptr - digits));
}

void put_address(MessageBytes& out, const FtnAddress& a, PointForm form) {
  char text[kFtnAddressTextMax];
  out.append(text, format_ftn_address(text, a, form));
}

// At least two digits, as "%02d" writes them.
void put_two_digits(MessageBytes& out, unsigned value) {
  if (value < 10) out.push_back('0');
  put_number(out, value);
}

void put_hex8(MessageBytes& out, uint32_t value) {
  char digits[8];
  for (int i = 0; i < 8; ++i) digits[i] = "0123456789ABCDEF"[(value >> (28 - 4 * i)) & 15];
  out.append(digits, sizeof digits);
}

// Appends a text and the zero byte that ends it in the packed message.
void append_zstring(MessageBytes& out, std::string_view text) {
  out.append(text);
  out.push_back('\0');
}

// A MSGID or REPLY kludge of the identifier `ref` of the message.
void append_identifier_kludge(MessageBytes& out, const char* name, MessageRef& ref) {
  if (ref.id_text.empty()) return;
  if (!ref.gateway_form) ref.serial = crc32(ref.id_text.c_str(), std::strlen(ref.id_text.c_str()));
  out.push_back('\x01');
  put(out, name);
  put(out, ": ");
  if (ref.gateway_form || settings->StrictFidoMsgID) {
    put_address(out, ref.gateway_form ? ref.address : settings->FidoAddr, PointForm::always);
  } else {
    out.push_back('<');
    put(out, ref.id_text.c_str());
    out.push_back('>');
  }
  out.push_back(' ');
  put_hex8(out, ref.serial);
  out.push_back('\r');
}

void append_packed_header(MessageBytes& out, int kind, bool file_attached) {
  const MessageHeader& h = *message_work.header;
  uint16_t attribute = kind == kKindMail ? kAttributePrivate : 0;
  if (file_attached) attribute |= kAttributeFileAttached;
  auto bytes = packed_message_header(h.origin, h.destination, attribute);
  out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

const std::string& pid_line() {
  static const std::string line = "\x01PID: " + std::string(program_text()) + "\r";
  return line;
}

const std::string& tear_line() {
  static const std::string line = "--- " + std::string(program_text()) + "\r";
  return line;
}

// The date, the names and the subject of the packed message.
void append_message_fields(MessageBytes& out, bool file_attached, std::string_view attach_list) {
  const MessageHeader& h = *message_work.header;
  // "%02d %-3s %02d  %02d:%02d:%02d"
  const ParsedDate& d = h.date;
  put_two_digits(out, d.day % 100);
  out.push_back(' ');
  put(out, kMonthNames[d.month % 12]);
  out.push_back(' ');
  put_two_digits(out, d.year % 100);
  put(out, "  ");
  put_two_digits(out, d.hour % 100);
  out.push_back(':');
  put_two_digits(out, d.minute % 100);
  out.push_back(':');
  put_two_digits(out, d.second % 100);
  out.push_back('\0');

  bool by_address = settings->header_form == HeaderForm::email;
  append_zstring(out, field(by_address ? h.to_address : h.to_name, kMaxUserName));
  append_zstring(out, field(by_address ? h.from_address : h.from_name, kMaxUserName));

  if (file_attached) {
    append_zstring(out, cut_text(attach_list, kMaxSubject, utf8_fields()));
    return;
  }
  std::size_t start = out.size();
  put(out, field(h.subject, kMaxSubject));
  if (h.part_count > 1) {
    appendf(out, " (%ld/%ld)", h.part_number, h.part_count);
    out.resize(start + cut_text(out.view().substr(start), kMaxSubject, utf8_fields()).size());
  }
  out.push_back('\0');
}

// INTL, FMPT and TOPT, and the REPLYADDR and REPLYTO of a message that
// came from the Internet.
void append_address_kludges(MessageBytes& out) {
  const MessageHeader& h = *message_work.header;
  const FtnAddress& from = h.origin;
  const FtnAddress& to = h.destination;
  put(out, "\x01INTL ");
  put_address(out, to, PointForm::never);
  out.push_back(' ');
  put_address(out, from, PointForm::never);
  out.push_back('\r');
  if (from.point != 0) {
    put(out,
        "\x01"
        "FMPT ");
    put_number(out, from.point);
    out.push_back('\r');
  }
  if (to.point != 0) {
    put(out, "\x01TOPT ");
    put_number(out, to.point);
    out.push_back('\r');
  }
  if (!h.routed) {
    put(out, "\x01REPLYADDR ");
    put(out, h.reply_to_address.c_str());
    put(out, "\r\x01REPLYTO ");
    put_address(out, settings->FidoAddr, PointForm::always);
    put(out, " UUCP\r");
  }
}

// MSGID and REPLY (first part only), PID, SPLIT of a split message, CHRS.
void append_identity_kludges(MessageBytes& out) {
  MessageHeader& h = *message_work.header;
  if (h.part_number == 1) {
    append_identifier_kludge(out, "MSGID", h.msgid_ref);
    append_identifier_kludge(out, "REPLY", h.reply_ref);
  }
  put(out, pid_line());
  if (h.part_count > 1) {
    platform::LocalTime now = platform::local_time(platform::now());
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%02d %-3s %02d %02d:%02d:%02d @%u/%u", now.day,
                  kMonthNames[(now.month + 11) % 12], now.year % 100, now.hour, now.minute,
                  now.second, unsigned{h.origin.net}, unsigned{h.origin.node});
    appendf(out, "\x01SPLIT: %-32s00000 %02ld/%02ld +++++++++++\r", stamp, h.part_number,
            h.part_count);
  }
  if (!h.chrs.empty()) {
    put(out,
        "\x01"
        "CHRS: ");
    put(out, h.chrs.c_str());
    out.push_back('\r');
  }
}

// The JUNKMAIL kludges of junk and of the gateway's own organisation.
void append_filter_kludges(MessageBytes& out, int junk_reason, bool own_org) {
  const MessageHeader& h = *message_work.header;
  const Settings& s = *settings;
  if (const char* word = junk_reason_word(junk_reason)) {
    appendf(out, "\x01JUNKMAIL: %s\r", word);
    if (s.JunkAction == FilterAction::junk) {
      appendf(out, "\x01JUNKMAIL-TO: %s\r", h.previous_to_name.c_str());
    }
  }
  if (own_org) {
    appendf(out, "\x01JUNKMAIL: OwnOrg\r");
    if (s.OwnOrgAction == FilterAction::junk) {
      appendf(out, "\x01JUNKMAIL-TO: %s\r", h.previous_to_name.c_str());
    }
  }
}

}  // namespace

const char* junk_reason_word(int junk_reason) {
  static const char* const kWords[] = {"from", "subject", "body", "group", "from=to", "imp/exp"};
  if (junk_reason < kJunkFrom || junk_reason > kJunkImpExp) return nullptr;
  return kWords[junk_reason - 1];
}

void write_message_start(int kind, platform::File& packet, std::string_view attach_list,
                         int junk_reason, bool own_org) {
  const MessageHeader& h = *message_work.header;
  bool file_attached = h.has_attachments && kind != kKindNews;
  // One buffer for every message: it keeps its room, nothing is allocated
  // per message.
  static MessageBytes out;
  out.clear();
  append_packed_header(out, kind, file_attached);
  append_message_fields(out, file_attached, attach_list);
  if (h.area_tag.view() != "NETMAIL") {
    put(out, "AREA:");
    put(out, h.area_tag.c_str());
    out.push_back('\r');
  }
  append_address_kludges(out);
  append_identity_kludges(out);
  append_filter_kludges(out, junk_reason, own_org);
  packet.write(out.view());
}

void write_message_end(int kind, platform::File& packet) {
  const MessageHeader& h = *message_work.header;
  const Settings& s = *settings;
  const FtnAddress& gw = s.FidoAddr;
  // One buffer for every message: it keeps its room, nothing is allocated
  // per message.
  static MessageBytes out;
  out.clear();

  if (s.kill_origin == KillOrigin::no ||
      (s.kill_origin == KillOrigin::email && kind != kKindMail)) {
    put(out, "\r");
    put(out, tear_line());
    char address_text[kFtnAddressTextMax];
    std::string_view address(address_text,
                             format_ftn_address(address_text, gw, PointForm::when_set));
    std::string_view text = !s.Origin.empty()         ? s.Origin.c_str()
                            : !h.organization.empty() ? h.organization.c_str()
                                                      : h.from_address.c_str();
    put(out, " * Origin: ");
    put(out, text.substr(0, kOriginWidth - address.size()));
    put(out, " (");
    put(out, address);
    put(out, ")\r");
  }

  if (kind == kKindMail) {
    // "@%04d%02d%02d.%02d%02d%02d" of the local time.
    platform::LocalTime now = platform::local_time(platform::now());
    put(out, "\x01Via ");
    put_address(out, gw, PointForm::never);
    put(out, " @");
    put_number(out, static_cast<unsigned>(now.year));
    put_two_digits(out, static_cast<unsigned>(now.month));
    put_two_digits(out, static_cast<unsigned>(now.day));
    out.push_back('.');
    put_two_digits(out, static_cast<unsigned>(now.hour));
    put_two_digits(out, static_cast<unsigned>(now.minute));
    put_two_digits(out, static_cast<unsigned>(now.second));
    out.push_back(' ');
    put(out, std::string_view(tear_line()).substr(4, tear_line().size() - 5));
    out.push_back('\r');
  } else {
    put(out, "SEEN-BY: ");
    put_number(out, gw.net);
    out.push_back('/');
    put_number(out, gw.node);
    put(out, "\r\x01PATH: ");
    put_number(out, gw.net);
    out.push_back('/');
    put_number(out, gw.node);
    out.push_back('\r');
  }
  out.push_back('\0');
  packet.write(out.view());
}

}  // namespace quillmar
