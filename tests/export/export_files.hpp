// Test-side writers of the FidoNet files the export reads (Type 2 and 2+
// packets, stored *.MSG netmail) and a reader of SOUP reply message files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.hpp"
#include "test_support.hpp"

namespace quillmar::testing {

struct TestMessage {
  uint16_t orig_net = 345;
  uint16_t orig_node = 1;
  uint16_t dest_net = 345;
  uint16_t dest_node = 6;
  uint16_t attribute = 0;
  std::string date = "09 Mar 99  14:05:07";
  std::string to_name = "UUCP";
  std::string from_name = "Joe Sysop";
  std::string subject = "Hello";
  std::string text;  // lines ended by "\r"
};

inline void put16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

// A packet; Type 2+ with both zones and points, or plain Type 2.
inline std::string build_packet(FtnAddress from, FtnAddress to,
                                const std::vector<TestMessage>& messages, bool plus = true) {
  std::string p;
  put16(p, from.node);
  put16(p, to.node);
  for (uint16_t v : {1999, 2, 9, 14, 5, 7, 0, 2}) put16(p, v);  // date, baud, type
  put16(p, from.net);
  put16(p, to.net);
  p += std::string("\0\1", 2);
  p += std::string(8, '\0');  // password
  put16(p, from.zone);
  put16(p, to.zone);
  put16(p, 0);
  put16(p, plus ? 0x0100 : 0);
  p += std::string("\1\0", 2);
  put16(p, plus ? 1 : 0);
  put16(p, from.zone);
  put16(p, to.zone);
  put16(p, from.point);
  put16(p, to.point);
  p += std::string(4, '\0');
  for (const TestMessage& m : messages) {
    put16(p, 2);
    put16(p, m.orig_node);
    put16(p, m.dest_node);
    put16(p, m.orig_net);
    put16(p, m.dest_net);
    put16(p, m.attribute);
    put16(p, 0);
    for (const std::string* s : {&m.date, &m.to_name, &m.from_name, &m.subject}) {
      p += *s;
      p.push_back('\0');
    }
    p += m.text;
    p.push_back('\0');
  }
  put16(p, 0);
  return p;
}

// A stored netmail message: the 190-byte header, the text and its NUL.
inline std::string build_msg(const TestMessage& m) {
  std::string h(190, '\0');
  auto field = [&](std::size_t at, std::size_t size, const std::string& s) {
    h.replace(at, std::min(size - 1, s.size()), s.substr(0, size - 1));
  };
  field(0, 36, m.from_name);
  field(36, 36, m.to_name);
  field(72, 72, m.subject);
  field(144, 20, m.date);
  auto at16 = [&](std::size_t at, uint16_t v) {
    h[at] = static_cast<char>(v & 0xFF);
    h[at + 1] = static_cast<char>(v >> 8);
  };
  at16(166, m.dest_node);
  at16(168, m.orig_node);
  at16(172, m.orig_net);
  at16(174, m.dest_net);
  at16(186, m.attribute);
  return h + m.text + std::string(1, '\0');
}

inline uint16_t msg_attribute(const std::string& data) {
  if (data.size() < 190) return 0;
  return static_cast<uint16_t>(static_cast<unsigned char>(data[186]) |
                               (static_cast<unsigned char>(data[187]) << 8));
}

// The messages of a reply file, split by their 4-byte big-endian lengths;
// `ok` is false when the framing does not end exactly at the file's end.
inline std::vector<std::string> reply_messages(const std::string& data, bool* ok = nullptr) {
  return split_framed(data, ok);
}

}  // namespace quillmar::testing
