// Reads back the packets the import writes, for the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace quillmar::testing {

struct FidoMessage {
  uint16_t attribute = 0;
  std::string date;
  std::string to;
  std::string from;
  std::string subject;
  std::string text;  // kludges and body, carriage returns kept
};

// The messages of a packet; `ok` is false when the packet is malformed.
inline std::vector<FidoMessage> read_packet(const std::string& path, bool* ok = nullptr) {
  std::string data = read_file(path);
  std::vector<FidoMessage> out;
  std::size_t pos = 58;
  auto u16 = [&](std::size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(data[at]) |
                                 (static_cast<unsigned char>(data[at + 1]) << 8));
  };
  auto zstring = [&](std::string& s) {
    std::size_t end = data.find('\0', pos);
    if (end == std::string::npos) return false;
    s = data.substr(pos, end - pos);
    pos = end + 1;
    return true;
  };
  bool good = data.size() >= 60;
  while (good && pos + 2 <= data.size()) {
    if (u16(pos) == 0) break;
    if (u16(pos) != 2 || pos + 14 > data.size()) {
      good = false;
      break;
    }
    FidoMessage m;
    m.attribute = u16(pos + 10);
    pos += 14;
    good = zstring(m.date) && zstring(m.to) && zstring(m.from) && zstring(m.subject) &&
           zstring(m.text);
    if (good) out.push_back(m);
  }
  if (ok != nullptr) *ok = good && pos + 2 == data.size() && u16(pos) == 0;
  return out;
}

// The text without its kludge lines (those starting with 0x01) and without
// the lines from the tear line on.
inline std::string body_of(const std::string& text) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\r', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.rfind("---", 0) == 0) {
      // The empty line before the tear line belongs to it.
      if (out.size() >= 2 && out.substr(out.size() - 2) == "\r\r") out.pop_back();
      if (out == "\r") out.clear();
      break;
    }
    if (line.rfind("AREA:", 0) == 0) continue;
    if (!line.empty() && line[0] == '\x01') continue;
    out += line + "\r";
  }
  return out;
}

}  // namespace quillmar::testing
