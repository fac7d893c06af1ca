#include "fido/packet_writer.hpp"

#include <cstring>

#include "config/settings.hpp"

namespace quillmar {

std::array<unsigned char, kPacketHeaderSize> packet_header_bytes(
    const platform::LocalTime& created) {
  const Settings& s = *settings;
  const FtnAddress to = s.AddrMap.empty() ? FtnAddress{} : s.AddrMap[0].ftn_address;
  return packet_header_bytes(s.FidoAddr, to, 0, created);
}

std::array<unsigned char, kPacketHeaderSize> packet_header_bytes(
    const FtnAddress& from, const FtnAddress& to, uint8_t major_revision,
    const platform::LocalTime& created) {
  const Settings& s = *settings;

  std::array<unsigned char, kPacketHeaderSize> h{};
  unsigned char* p = h.data();
  namespace f = packet_field;
  put_le16(p + f::kOrigNode, from.node);
  put_le16(p + f::kDestNode, to.node);
  put_le16(p + f::kYear, static_cast<uint16_t>(created.year));
  put_le16(p + f::kMonth, static_cast<uint16_t>(created.month - 1));
  put_le16(p + f::kDay, static_cast<uint16_t>(created.day));
  put_le16(p + f::kHour, static_cast<uint16_t>(created.hour));
  put_le16(p + f::kMinute, static_cast<uint16_t>(created.minute));
  put_le16(p + f::kSecond, static_cast<uint16_t>(created.second));
  put_le16(p + f::kBaud, 0);
  put_le16(p + f::kPacketType, kPacketType);
  put_le16(p + f::kOrigNet, from.net);
  put_le16(p + f::kDestNet, to.net);
  p[f::kProductLow] = 0;
  p[f::kRevisionMajor] = major_revision;
  std::size_t password_length =
      s.PacketPwd.size() < f::kPasswordSize ? s.PacketPwd.size() : f::kPasswordSize;
  std::memcpy(p + f::kPassword, s.PacketPwd.c_str(), password_length);
  put_le16(p + f::kQOrigZone, from.zone);
  put_le16(p + f::kQDestZone, to.zone);
  put_le16(p + f::kAuxNet, 0);
  put_le16(p + f::kCapabilitySwapped, kCapabilitySwapped);
  p[f::kProductHigh] = 1;
  p[f::kRevisionMinor] = 0;
  put_le16(p + f::kCapabilityWord, kCapabilityWord);
  put_le16(p + f::kOrigZone, from.zone);
  put_le16(p + f::kDestZone, to.zone);
  put_le16(p + f::kOrigPoint, from.point);
  put_le16(p + f::kDestPoint, to.point);
  // The product-specific data stays zero.
  return h;
}

void write_packet_header(OutPacket& packet) {
  auto header = packet_header_bytes(platform::local_time(platform::now()));
  packet.file.write(header.data(), header.size());
  packet.message_count = 0;
}

bool close_packet(OutPacket& packet) {
  const unsigned char end[2] = {0, 0};
  bool ok = packet.file.write(end, sizeof end) && packet.file.sync();
  return packet.file.close() && ok;
}

}  // namespace quillmar
