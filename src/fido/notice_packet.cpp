#include "fido/notice_packet.hpp"

#include <cstdio>

#include "base/file_helpers.hpp"
#include "base/text_helpers.hpp"
#include "fido/packet_writer.hpp"
#include "platform/clock.hpp"
#include "platform/fs.hpp"

namespace quillmar {

bool write_notice_packet(std::string_view path, const Notice& n) {
  platform::File out;
  if (!out.open(path, platform::OpenMode::create_new, platform::Share::deny_write)) return false;
  platform::LocalTime lt = platform::local_time(platform::now());
  auto header = packet_header_bytes(n.from, n.to, 1, lt);
  bool ok = out.write(header.data(), header.size());
  auto m = packed_message_header(n.from, n.to, kAttributePrivate);
  ok = ok && out.write(m.data(), m.size());
  char date[32];
  std::snprintf(date, sizeof date, "%02d %-3s %02d  %02d:%02d:%02d", lt.day % 100,
                kMonthNames[(lt.month - 1) % 12], lt.year % 100, lt.hour % 100, lt.minute % 100,
                lt.second % 100);
  ok = ok && write_zstring(out, date, 19) && write_zstring(out, n.to_name, 35) &&
       write_zstring(out, n.from_name, 35) && write_zstring(out, n.subject, 71);
  ok = ok && out.printf("\x01INTL %s %s\r", ftn_address_text(n.to, PointForm::never).c_str(),
                        ftn_address_text(n.from, PointForm::never).c_str());
  if (n.from.point != 0)
    ok = ok && out.printf(
                   "\x01"
                   "FMPT %hu\r",
                   n.from.point);
  if (n.to.point != 0) ok = ok && out.printf("\x01TOPT %hu\r", n.to.point);
  ok =
      ok && out.printf("\x01MSGID: %s %08lX\r", ftn_address_text(n.from, PointForm::always).c_str(),
                       static_cast<unsigned long>(n.serial));
  if (!n.reply_to.empty()) {
    ok = ok &&
         out.printf("\x01REPLY: %.*s\r", static_cast<int>(n.reply_to.size()), n.reply_to.data());
  }
  std::string_view text = n.text.substr(0, n.text.find('\0'));
  ok = ok && out.write(text);
  // The text's NUL, then the two zero bytes that end a packet.
  ok = ok && out.write("\0\0\0", 3) && out.sync();
  if (!out.close() || !ok) {
    platform::remove_file(path);
    return false;
  }
  return true;
}

}  // namespace quillmar
