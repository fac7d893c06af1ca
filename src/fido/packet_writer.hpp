// FidoNet Type 2+ packets as the import writes them: the 58-byte header,
// the packed messages (written by the message writer) and the packet end.
// Every number is little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/path_text.hpp"
#include "fido/packet_layout.hpp"
#include "platform/clock.hpp"
#include "platform/fs.hpp"

namespace quillmar {

// A packet being written and the number of Internet messages handled
// since its header was written.
struct OutPacket {
  platform::File file;
  PathText name;
  long message_count = 0;
};

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

}  // namespace quillmar
