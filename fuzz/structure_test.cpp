// The structure-aware mutation of packets and stored messages: a packet
// taken apart is put together byte for byte, and the changed packets keep
// their messages walkable (fields, lengths and zero bytes in place).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "structure.hpp"

namespace quillmar::fuzz {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A stand-in for libFuzzer's byte mutator: flips one byte.
std::size_t flip_one(uint8_t* data, std::size_t size, std::size_t) {
  if (size > 0) data[size / 2] ^= 0x20;
  return size;
}

std::string example_packet() {
  return contents(fs::path(QUILLMAR_SOURCE_DIR) / "examples/outbound/01590006.OUT");
}

TEST(PacketStructure, ApartAndTogetherGivesTheSameBytes) {
  std::string packet = example_packet();
  ASSERT_GT(packet.size(), 60u);
  PacketParts parts = split_packet(packet);
  EXPECT_FALSE(parts.messages.empty());
  EXPECT_EQ(parts.tail, std::string(2, '\0'));
  EXPECT_EQ(join_packet(parts), packet);
  // Cut anywhere, damaged anywhere: still the same bytes.
  for (std::size_t cut : {58ul, 59ul, 73ul, packet.size() / 2, packet.size() - 1}) {
    std::string part = packet.substr(0, cut);
    EXPECT_EQ(join_packet(split_packet(part)), part) << cut;
  }
}

TEST(PacketStructure, MutatedPacketsMostlyKeepTheirMessages) {
  const std::string packet = example_packet();
  const std::size_t messages = split_packet(packet).messages.size();
  int walkable = 0;
  constexpr int kRounds = 500;
  for (int seed = 0; seed < kRounds; ++seed) {
    std::string buffer = packet;
    buffer.resize(packet.size() + 4096);
    std::size_t n = mutate_packet(reinterpret_cast<uint8_t*>(buffer.data()), packet.size(),
                                  buffer.size(), static_cast<unsigned>(seed), flip_one);
    ASSERT_LE(n, buffer.size());
    buffer.resize(n);
    PacketParts parts = split_packet(buffer);
    if (parts.tail == std::string(2, '\0') && parts.messages.size() + 1 >= messages) ++walkable;
  }
  // A tenth is changed byte by byte and a few lose a message or their end.
  EXPECT_GT(walkable, kRounds * 7 / 10);
}

TEST(StoredStructure, MutatedMessagesKeepTheirHeaderSize) {
  std::string message(190, '\0');
  std::memcpy(message.data(), "Joe Sysop", 9);
  message += "\x01INTL 2:345/6 2:345/1\rHello.\r";
  message += '\0';
  for (int seed = 0; seed < 300; ++seed) {
    std::string buffer = message;
    buffer.resize(message.size() + 4096);
    std::size_t n = mutate_stored_message(reinterpret_cast<uint8_t*>(buffer.data()), message.size(),
                                          buffer.size(), static_cast<unsigned>(seed), flip_one);
    ASSERT_GE(n, 190u);
    buffer.resize(n);
    // The text ends in its zero byte (a quick-scan stamp may follow it).
    EXPECT_NE(buffer.find('\0', 190), std::string::npos) << seed;
  }
}

}  // namespace
}  // namespace quillmar::fuzz
