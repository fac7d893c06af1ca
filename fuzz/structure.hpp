// Structure-aware mutation of the FidoNet binary inputs: a packet is taken
// apart into its header and its packed messages (fixed header, four
// zero-terminated texts and the zero-terminated message text), one part is
// changed, and the packet is put together again with every length and zero
// byte in place; a stored message likewise by the fields of its 190-byte
// header. The fuzzer thus reaches the message texts and their kludges
// instead of stopping at a broken header. Now and then the whole input is
// changed byte by byte, so that broken structure is tried as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::fuzz {

// libFuzzer's byte mutator (LLVMFuzzerMutate), or a stand-in.
using ByteMutator = std::size_t (*)(uint8_t* data, std::size_t size, std::size_t max_size);

// Between a stored message and the quick-scan stamp file in one input.
inline constexpr std::string_view kQuickScanSeparator("\0\0\0\0QSCN", 8);

struct PackedMessage {
  std::string header;  // the fixed 14 bytes
  std::string date, to, from, subject, text;
};

struct PacketParts {
  std::string header;  // 58 bytes
  std::vector<PackedMessage> messages;
  std::string tail;  // from the closing zero word (or the first damage) on
};

// The parts of `data`; join_packet(split_packet(d)) == d for every d of
// at least a header's size.
PacketParts split_packet(std::string_view data);
std::string join_packet(const PacketParts& parts);

std::size_t mutate_packet(uint8_t* data, std::size_t size, std::size_t max_size, unsigned seed,
                          ByteMutator mutate);
std::size_t cross_over_packets(const uint8_t* data1, std::size_t size1, const uint8_t* data2,
                               std::size_t size2, uint8_t* out, std::size_t max_out_size,
                               unsigned seed);
std::size_t mutate_stored_message(uint8_t* data, std::size_t size, std::size_t max_size,
                                  unsigned seed, ByteMutator mutate);

}  // namespace quillmar::fuzz
