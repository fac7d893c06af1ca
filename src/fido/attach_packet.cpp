#include "fido/attach_packet.hpp"

#include <cstdio>

#include "base/file_helpers.hpp"
#include "base/text_helpers.hpp"
#include "base/version.hpp"
#include "fido/packet_writer.hpp"
#include "platform/clock.hpp"

namespace quillmar {

bool make_attach_packet(const FtnAddress& destination, std::string_view to_name,
                        std::string_view temp_name, std::string_view listed_name,
                        platform::File& stream) {
  if (settings->AddrMap.empty()) return false;
  const AddrMapEntry& first = settings->AddrMap[0];
  const FtnAddress& origin = first.ftn_address;
  platform::File out;
  if (!out.open(temp_name, platform::OpenMode::write, platform::Share::deny_write)) return false;
  platform::LocalTime lt = platform::local_time(platform::now());

  auto header = packet_header_bytes(origin, destination, 1, lt);
  bool ok = out.write(header.data(), header.size());
  auto m = packed_message_header(origin, destination, kAttributePrivate | kAttributeFileAttached);
  ok = ok && out.write(m.data(), m.size());
  char date[32];
  std::snprintf(date, sizeof date, "%02d %-3s %02d %02d:%02d:%02d", lt.day % 100,
                kMonthNames[(lt.month - 1) % 12], lt.year % 100, lt.hour % 100, lt.minute % 100,
                lt.second % 100);
  ok = ok && write_zstring(out, date, 19) && write_zstring(out, to_name, 35) &&
       write_zstring(out, first.internet_address, 35) && write_zstring(out, listed_name, 71);

  ok = ok && out.printf("\x01INTL %s %s\r", ftn_address_text(destination, PointForm::never).c_str(),
                        ftn_address_text(origin, PointForm::never).c_str());
  if (origin.point != 0)
    ok = ok && out.printf(
                   "\x01"
                   "FMPT %hu\r",
                   origin.point);
  if (destination.point != 0) ok = ok && out.printf("\x01TOPT %hu\r", destination.point);
  std::string_view shown = listed_name;
  std::size_t sep = shown.find_last_of("\\/");
  if (sep != std::string_view::npos) {
    shown = shown.substr(sep + 1);
  } else if (!shown.empty() && (shown[0] == '^' || shown[0] == '#')) {
    shown.remove_prefix(1);
  }
  std::string_view program = program_text();
  ok = ok && out.printf("[%.*s attached file %.*s]\r", static_cast<int>(program.size()),
                        program.data(), static_cast<int>(shown.size()), shown.data());
  // The text's NUL, then the two zero bytes that end a packet.
  ok = ok && out.write("\0\0\0", 3);
  if (!out.close() || !ok) {
    platform::remove_file(temp_name);
    return false;
  }
  if (!stream.open(temp_name, platform::OpenMode::update, platform::Share::deny_write) ||
      !stream.seek(0, SEEK_END)) {
    stream.close();
    return false;
  }
  return true;
}

}  // namespace quillmar
