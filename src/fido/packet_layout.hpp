// The FidoNet file layouts, field by field, in one place: the Type 2+
// packet header, the header of a packed message inside a packet, and the
// header of a stored message (*.MSG). Every number is a little-endian
// 16-bit word unless said otherwise; texts are NUL-padded.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "base/ftn_address.hpp"

namespace quillmar {

// The packet header.
inline constexpr std::size_t kPacketHeaderSize = 58;
namespace packet_field {
inline constexpr std::size_t kOrigNode = 0;
inline constexpr std::size_t kDestNode = 2;
inline constexpr std::size_t kYear = 4;
inline constexpr std::size_t kMonth = 6;  // 0 = January
inline constexpr std::size_t kDay = 8;
inline constexpr std::size_t kHour = 10;
inline constexpr std::size_t kMinute = 12;
inline constexpr std::size_t kSecond = 14;
inline constexpr std::size_t kBaud = 16;
inline constexpr std::size_t kPacketType = 18;
inline constexpr std::size_t kOrigNet = 20;
inline constexpr std::size_t kDestNet = 22;
inline constexpr std::size_t kProductLow = 24;     // one byte
inline constexpr std::size_t kRevisionMajor = 25;  // one byte
inline constexpr std::size_t kPassword = 26;       // eight bytes
inline constexpr std::size_t kPasswordSize = 8;
inline constexpr std::size_t kQOrigZone = 34;
inline constexpr std::size_t kQDestZone = 36;
inline constexpr std::size_t kAuxNet = 38;
inline constexpr std::size_t kCapabilitySwapped = 40;
inline constexpr std::size_t kProductHigh = 42;    // one byte
inline constexpr std::size_t kRevisionMinor = 43;  // one byte
inline constexpr std::size_t kCapabilityWord = 44;
inline constexpr std::size_t kOrigZone = 46;
inline constexpr std::size_t kDestZone = 48;
inline constexpr std::size_t kOrigPoint = 50;
inline constexpr std::size_t kDestPoint = 52;
inline constexpr std::size_t kProductData = 54;  // four bytes
}  // namespace packet_field

inline constexpr uint16_t kPacketType = 2;
inline constexpr uint16_t kCapabilityWord = 0x0001;  // Type 2+ supported
inline constexpr uint16_t kCapabilitySwapped = 0x0100;

// The packed message header; the date, the names and the subject follow
// it as NUL-terminated texts.
inline constexpr std::size_t kPackedMessageHeaderSize = 14;
namespace packed_field {
inline constexpr std::size_t kMessageType = 0;
inline constexpr std::size_t kOrigNode = 2;
inline constexpr std::size_t kDestNode = 4;
inline constexpr std::size_t kOrigNet = 6;
inline constexpr std::size_t kDestNet = 8;
inline constexpr std::size_t kAttribute = 10;
inline constexpr std::size_t kCost = 12;
}  // namespace packed_field

inline constexpr uint16_t kPackedMessageType = 2;

// Attribute bits of a packed or stored message.
inline constexpr uint16_t kAttributePrivate = 0x0001;
inline constexpr uint16_t kAttributeFileAttached = 0x0010;

// The stored message header; the text follows it.
inline constexpr std::size_t kStoredHeaderSize = 190;
namespace stored_field {
inline constexpr std::size_t kFromName = 0;
inline constexpr std::size_t kFromNameSize = 36;
inline constexpr std::size_t kToName = 36;
inline constexpr std::size_t kToNameSize = 36;
inline constexpr std::size_t kSubject = 72;
inline constexpr std::size_t kSubjectSize = 72;
inline constexpr std::size_t kDateTime = 144;
inline constexpr std::size_t kDateTimeSize = 20;
inline constexpr std::size_t kTimesRead = 164;
inline constexpr std::size_t kDestNode = 166;
inline constexpr std::size_t kOrigNode = 168;
inline constexpr std::size_t kCost = 170;
inline constexpr std::size_t kOrigNet = 172;
inline constexpr std::size_t kDestNet = 174;
inline constexpr std::size_t kReplyTo = 184;
inline constexpr std::size_t kAttribute = 186;
inline constexpr std::size_t kNextReply = 188;
}  // namespace stored_field

// Attribute bits of a stored message besides the ones above.
inline constexpr uint16_t kMsgSent = 0x0008;
inline constexpr uint16_t kMsgFileAttached = kAttributeFileAttached;
inline constexpr uint16_t kMsgKillSent = 0x0080;
inline constexpr uint16_t kMsgHold = 0x0200;

// The 16-bit number stored little-endian at `p`.
inline uint16_t get_le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Stores a 16-bit number little-endian at `out`.
inline void put_le16(unsigned char* out, uint16_t value) {
  out[0] = static_cast<unsigned char>(value & 0xFF);
  out[1] = static_cast<unsigned char>(value >> 8);
}

// The origin a packet header names. A Type 2+ header gives the zone and
// the point (a point's net -1 stands for the net in AuxNet); a Type 2
// header gives the zone only where it fills QOrigZone, else 0.
inline FtnAddress packet_header_origin(const unsigned char* h) {
  namespace f = packet_field;
  FtnAddress a{get_le16(h + f::kQOrigZone), get_le16(h + f::kOrigNet), get_le16(h + f::kOrigNode),
               0};
  if (get_le16(h + f::kCapabilityWord) == kCapabilityWord &&
      get_le16(h + f::kCapabilitySwapped) == kCapabilitySwapped) {
    a.zone = get_le16(h + f::kOrigZone);
    a.point = get_le16(h + f::kOrigPoint);
    if (a.point != 0 && a.net == 0xFFFF) a.net = get_le16(h + f::kAuxNet);
  }
  return a;
}

// The packed message header of a message from `origin` to `destination`.
inline std::array<unsigned char, kPackedMessageHeaderSize> packed_message_header(
    const FtnAddress& origin, const FtnAddress& destination, uint16_t attribute) {
  std::array<unsigned char, kPackedMessageHeaderSize> h{};
  put_le16(h.data() + packed_field::kMessageType, kPackedMessageType);
  put_le16(h.data() + packed_field::kOrigNode, origin.node);
  put_le16(h.data() + packed_field::kDestNode, destination.node);
  put_le16(h.data() + packed_field::kOrigNet, origin.net);
  put_le16(h.data() + packed_field::kDestNet, destination.net);
  put_le16(h.data() + packed_field::kAttribute, attribute);
  put_le16(h.data() + packed_field::kCost, 0);
  return h;
}

}  // namespace quillmar
