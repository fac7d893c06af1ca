#include "fido/message_writer.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/settings.hpp"
#include "fido/packet_writer.hpp"
#include "frame/run.hpp"
#include "frame/text_helpers.hpp"
#include "frame/work.hpp"
#include "platform/clock.hpp"

namespace quillmar {

namespace {

constexpr std::size_t kMaxUserName = 35;
constexpr std::size_t kMaxSubject = 71;
constexpr int kOriginWidth = 65;  // origin text and address text together

void appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* format, ...) {
  char buffer[512];
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, ap);
  va_end(ap);
  if (n > 0)
    out.append(buffer, static_cast<std::size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}

// A text up to its first NUL and at most `limit` characters.
template <std::size_t N>
std::string_view field(const Text<N>& text, std::size_t limit) {
  return std::string_view(text.c_str()).substr(0, limit);
}

// Appends a text and the zero byte that ends it in the packed message.
void append_zstring(std::string& out, std::string_view text) {
  out.append(text);
  out.push_back('\0');
}

// A MSGID or REPLY kludge of the identifier `ref` of the message.
void append_identifier_kludge(std::string& out, const char* name, MessageRef& ref) {
  if (ref.id_text.empty()) return;
  if (ref.gateway_form) {
    const FtnAddress& a = ref.address;
    appendf(out, "\x01%s: %hu:%hu/%hu.%hu %08" PRIX32 "\r", name, a.zone, a.net, a.node, a.point,
            ref.serial);
    return;
  }
  ref.serial = crc32(ref.id_text.c_str(), std::strlen(ref.id_text.c_str()));
  if (settings->StrictFidoMsgID) {
    const FtnAddress& a = settings->FidoAddr;
    appendf(out, "\x01%s: %hu:%hu/%hu.%hu %08" PRIX32 "\r", name, a.zone, a.net, a.node, a.point,
            ref.serial);
  } else {
    appendf(out, "\x01%s: <%s> %08" PRIX32 "\r", name, ref.id_text.c_str(), ref.serial);
  }
}

void append_packed_header(std::string& out, int kind, bool file_attached) {
  const MessageHeader& h = *message_header;
  uint16_t attribute = kind == kKindMail ? kAttributePrivate : 0;
  if (file_attached) attribute |= kAttributeFileAttached;
  const uint16_t words[7] = {kPackedMessageType,
                             h.origin.node,
                             h.destination.node,
                             h.origin.net,
                             h.destination.net,
                             attribute,
                             0};
  unsigned char bytes[kPackedMessageHeaderSize];
  for (int i = 0; i < 7; ++i) put_le16(bytes + 2 * i, words[i]);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

}  // namespace

const char* junk_reason_word(int junk_reason) {
  static const char* const kWords[] = {"from", "subject", "body", "group", "from=to", "imp/exp"};
  if (junk_reason < kJunkFrom || junk_reason > kJunkImpExp) return nullptr;
  return kWords[junk_reason - 1];
}

void write_message_start(int kind, platform::File& packet, std::string_view attach_list,
                         int junk_reason, bool own_org) {
  MessageHeader& h = *message_header;
  const Settings& s = *settings;
  platform::LocalTime now = platform::local_time(platform::now());
  bool file_attached = h.has_attachments && kind != kKindNews;

  std::string out;
  append_packed_header(out, kind, file_attached);

  const ParsedDate& d = h.date;
  appendf(out, "%02d %-3s %02d  %02d:%02d:%02d", d.day % 100, kMonthNames[d.month % 12],
          d.year % 100, d.hour % 100, d.minute % 100, d.second % 100);
  out.push_back('\0');

  bool by_address = s.header_form == HeaderForm::email;
  append_zstring(out, field(by_address ? h.to_address : h.to_name, kMaxUserName));
  append_zstring(out, field(by_address ? h.from_address : h.from_name, kMaxUserName));

  std::string subject;
  if (file_attached) {
    subject = attach_list.substr(0, kMaxSubject);
  } else {
    subject = field(h.subject, kMaxSubject);
    if (h.part_count > 1) {
      appendf(subject, " (%ld/%ld)", h.part_number, h.part_count);
      subject.resize(std::min(subject.size(), kMaxSubject));
    }
  }
  append_zstring(out, subject);

  if (h.area_tag.view() != "NETMAIL") appendf(out, "AREA:%s\r", h.area_tag.c_str());
  const FtnAddress& from = h.origin;
  const FtnAddress& to = h.destination;
  appendf(out, "\x01INTL %hu:%hu/%hu %hu:%hu/%hu\r", to.zone, to.net, to.node, from.zone, from.net,
          from.node);
  if (from.point != 0)
    appendf(out,
            "\x01"
            "FMPT %hu\r",
            from.point);
  if (to.point != 0) appendf(out, "\x01TOPT %hu\r", to.point);
  if (!h.routed) {
    const FtnAddress& gw = s.FidoAddr;
    appendf(out, "\x01REPLYADDR %s\r", h.reply_to_address.c_str());
    appendf(out, "\x01REPLYTO %hu:%hu/%hu.%hu %s\r", gw.zone, gw.net, gw.node, gw.point, "UUCP");
  }
  if (h.part_number == 1) {
    append_identifier_kludge(out, "MSGID", h.msgid_ref);
    append_identifier_kludge(out, "REPLY", h.reply_ref);
  }
  appendf(out, "\x01PID: Quillmar/%s v%d.%02d\r", kPlatformTag, kVersionMajor, kVersionMinor);
  if (h.part_count > 1) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%02d %-3s %02d %02d:%02d:%02d @%u/%u", now.day,
                  kMonthNames[(now.month + 11) % 12], now.year % 100, now.hour, now.minute,
                  now.second, unsigned{from.net}, unsigned{from.node});
    appendf(out, "\x01SPLIT: %-32s00000 %02ld/%02ld +++++++++++\r", stamp, h.part_number,
            h.part_count);
  }
  if (!h.chrs.empty())
    appendf(out,
            "\x01"
            "CHRS: %s\r",
            h.chrs.c_str());
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
  packet.write(out);
}

void write_message_end(int kind, platform::File& packet) {
  const MessageHeader& h = *message_header;
  const Settings& s = *settings;
  const FtnAddress& gw = s.FidoAddr;
  std::string out;

  if (s.kill_origin == KillOrigin::no ||
      (s.kill_origin == KillOrigin::email && kind != kKindMail)) {
    appendf(out, "\r--- Quillmar/%s v%d.%02d\r", kPlatformTag, kVersionMajor, kVersionMinor);
    char address[32];
    int n = std::snprintf(address, sizeof address, "%hu:%hu/%hu", gw.zone, gw.net, gw.node);
    if (gw.point != 0) std::snprintf(address + n, sizeof address - n, ".%hu", gw.point);
    const char* text = !s.Origin.empty()         ? s.Origin.c_str()
                       : !h.organization.empty() ? h.organization.c_str()
                                                 : h.from_address.c_str();
    int width = kOriginWidth - static_cast<int>(std::strlen(address));
    appendf(out, " * Origin: %.*s (%s)\r", width, text, address);
  }

  if (kind == kKindMail) {
    platform::LocalTime now = platform::local_time(platform::now());
    appendf(out, "\x01Via %hu:%hu/%hu @%04d%02d%02d.%02d%02d%02d Quillmar/%s v%d.%02d\r", gw.zone,
            gw.net, gw.node, now.year, now.month, now.day, now.hour, now.minute, now.second,
            kPlatformTag, kVersionMajor, kVersionMinor);
  } else {
    appendf(out, "SEEN-BY: %hu/%hu\r", gw.net, gw.node);
    appendf(out, "\x01PATH: %hu/%hu\r", gw.net, gw.node);
  }
  out.push_back('\0');
  packet.write(out);
}

}  // namespace quillmar
