#include "rfc/header_words.hpp"

#include "base/charset.hpp"

namespace quillmar {

namespace {

constexpr std::size_t kMaxLine = 76;
constexpr std::size_t kWordOverhead = 12;  // "=?UTF-8?B?" and "?="
constexpr std::size_t kChunkBytes = 45;    // 60 base64 characters, a word of 72

std::string base64(std::string_view bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (i + 1 < bytes.size())
      v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out.push_back(alphabet[(v >> 18) & 63]);
    out.push_back(alphabet[(v >> 12) & 63]);
    out.push_back(i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=');
    out.push_back(i + 2 < bytes.size() ? alphabet[v & 63] : '=');
  }
  return out;
}

// Text that may stand in a header as it is: printable ASCII (and tabs).
bool plain_header_text(std::string_view text) {
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && u != '\t') || u >= 0x7F) return false;
  }
  return true;
}

}  // namespace

std::string encode_header_words(std::string_view utf8, std::size_t used) {
  // A line end or another control character would end the header line.
  if (plain_header_text(utf8)) return std::string(utf8);
  std::string out;
  bool first = true;
  while (!utf8.empty()) {
    std::size_t room = kChunkBytes;
    if (first && used + kWordOverhead + 4 * ((room + 2) / 3) > kMaxLine) {
      // What is left of the first line, in whole groups of three bytes.
      std::size_t left = used + kWordOverhead + 4 < kMaxLine ? kMaxLine - used - kWordOverhead : 0;
      room = left / 4 * 3;
    }
    std::string_view chunk = cut_text(utf8, room, true);
    if (chunk.empty()) {
      if (first) {
        out += "\n ";
        first = false;
        continue;
      }
      chunk = cut_text(utf8, kChunkBytes, true);
      if (chunk.empty()) chunk = utf8.substr(0, 1);
    }
    if (!first) out += "\n ";
    out += "=?UTF-8?B?" + base64(chunk) + "?=";
    utf8.remove_prefix(chunk.size());
    first = false;
  }
  return out;
}

}  // namespace quillmar
