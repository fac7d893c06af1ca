#include "rfc/header_words.hpp"

#include "base/charset.hpp"
#include "base/text_helpers.hpp"

namespace quillmar {

namespace {

constexpr std::size_t kMaxLine = 76;
constexpr std::size_t kWordMarks = 7;    // "=?", "?B?" and "?=" around the charset's name
constexpr std::size_t kChunkBytes = 45;  // 60 base64 characters

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

std::string encode_header_words(std::string_view text, std::size_t used, std::string_view charset) {
  // A line end or another control character would end the header line.
  if (plain_header_text(text)) return std::string(text);
  const bool utf8 = equals_nocase(charset, "UTF-8");
  const std::size_t overhead = kWordMarks + charset.size();
  // A long charset name leaves fewer bytes to a word of a whole line.
  std::size_t chunk_bytes = kChunkBytes;
  while (chunk_bytes > 3 && overhead + 1 + 4 * ((chunk_bytes + 2) / 3) > kMaxLine) chunk_bytes -= 3;
  auto cut = [&](std::size_t room) {
    return utf8 ? cut_text(text, room, true) : text.substr(0, room);
  };
  std::string out;
  bool first = true;
  while (!text.empty()) {
    std::size_t room = chunk_bytes;
    if (first && used + overhead + 4 * ((room + 2) / 3) > kMaxLine) {
      // What is left of the first line, in whole groups of three bytes.
      std::size_t left = used + overhead + 4 < kMaxLine ? kMaxLine - used - overhead : 0;
      room = left / 4 * 3;
    }
    std::string_view chunk = cut(room);
    if (chunk.empty()) {
      if (first) {
        out += "\n ";
        first = false;
        continue;
      }
      chunk = cut(chunk_bytes);
      if (chunk.empty()) chunk = text.substr(0, 1);
    }
    if (!first) out += "\n ";
    out += "=?";
    out += charset;
    out += "?B?" + base64(chunk) + "?=";
    text.remove_prefix(chunk.size());
    first = false;
  }
  return out;
}

}  // namespace quillmar
