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
  put_le16(p + 0, from.node);
  put_le16(p + 2, to.node);
  put_le16(p + 4, static_cast<uint16_t>(created.year));
  put_le16(p + 6, static_cast<uint16_t>(created.month - 1));
  put_le16(p + 8, static_cast<uint16_t>(created.day));
  put_le16(p + 10, static_cast<uint16_t>(created.hour));
  put_le16(p + 12, static_cast<uint16_t>(created.minute));
  put_le16(p + 14, static_cast<uint16_t>(created.second));
  put_le16(p + 16, 0);  // baud
  put_le16(p + 18, kPacketType);
  put_le16(p + 20, from.net);
  put_le16(p + 22, to.net);
  p[24] = 0;  // product code, low byte
  p[25] = major_revision;
  std::size_t password_length = s.PacketPwd.size() < 8 ? s.PacketPwd.size() : 8;
  std::memcpy(p + 26, s.PacketPwd.c_str(), password_length);
  put_le16(p + 34, from.zone);
  put_le16(p + 36, to.zone);
  put_le16(p + 38, 0);  // auxiliary net
  put_le16(p + 40, kCapabilitySwapped);
  p[42] = 1;  // product code, high byte
  p[43] = 0;  // revision, minor
  put_le16(p + 44, kCapabilityWord);
  put_le16(p + 46, from.zone);
  put_le16(p + 48, to.zone);
  put_le16(p + 50, from.point);
  put_le16(p + 52, to.point);
  // 54..57: product-specific data, zero.
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
