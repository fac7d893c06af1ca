// FidoNet Type 2+ packets as the import writes them: the 58-byte header,
// the packed messages (written by the message writer) and the packet end.
// Every number is little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/clock.hpp"
#include "platform/fs.hpp"

namespace quillmar {

inline constexpr std::size_t kPacketHeaderSize = 58;
inline constexpr std::size_t kPackedMessageHeaderSize = 14;
inline constexpr uint16_t kPacketType = 2;
inline constexpr uint16_t kPackedMessageType = 2;
inline constexpr uint16_t kCapabilityWord = 0x0001;  // Type 2+ supported
inline constexpr uint16_t kCapabilitySwapped = 0x0100;

// Attribute bits of a packed message.
inline constexpr uint16_t kAttributePrivate = 0x0001;
inline constexpr uint16_t kAttributeFileAttached = 0x0010;

// A packet being written and the number of Internet messages handled
// since its header was written.
struct OutPacket {
  platform::File file;
  platform::PathText name;
  long message_count = 0;
};

struct FtnAddress;

// The header of a packet from `from` to `to`, created at the local time
// `created`, carrying `PacketPwd`.
std::array<unsigned char, kPacketHeaderSize> packet_header_bytes(
    const FtnAddress& from, const FtnAddress& to, uint8_t major_revision,
    const platform::LocalTime& created);

// The header of the import's packets: from the gateway address to the
// first address map entry, major revision 0.
std::array<unsigned char, kPacketHeaderSize> packet_header_bytes(
    const platform::LocalTime& created);

// Writes the header at the current position (the start of a new file) with
// the current local time and sets the message count to 0.
void write_packet_header(OutPacket& packet);

// Writes the packet end (two zero bytes), puts the file on disk and closes
// it; false when anything written to the packet did not reach the disk.
bool close_packet(OutPacket& packet);

// Stores a 16-bit number little-endian at `out`.
inline void put_le16(unsigned char* out, uint16_t value) {
  out[0] = static_cast<unsigned char>(value & 0xFF);
  out[1] = static_cast<unsigned char>(value >> 8);
}

}  // namespace quillmar
