// EXPORT of the files a flow file lists: the flow-file reader, the packets
// and files it names, and the covering messages of files sent without a
// message. The input is the gateway's flow file; the outbound holds a
// packet and a file it may name.
#include <cstddef>
#include <cstdint>
#include <string>

#include "harness.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

namespace {

// A packet from 2:345/1 to the gateway with one netmail message.
std::string sample_packet() {
  std::string p(58, '\0');
  auto put16 = [&p](std::size_t at, uint16_t v) {
    p[at] = static_cast<char>(v & 0xFF);
    p[at + 1] = static_cast<char>(v >> 8);
  };
  put16(0, 1);
  put16(2, 6);
  put16(18, 2);
  put16(20, 345);
  put16(22, 345);
  put16(34, 2);
  put16(36, 2);
  put16(40, 0x0100);
  put16(44, 0x0001);
  put16(46, 2);
  put16(48, 2);
  std::string m(14, '\0');
  m[0] = 2;
  m[2] = 1;
  m[4] = 6;
  m[6] = static_cast<char>(345 & 0xFF);
  m[7] = static_cast<char>(345 >> 8);
  m[8] = m[6];
  m[9] = m[7];
  m[10] = 1;
  p += m;
  p += std::string("09 Mar 99  14:05:07") + '\0' + "ann@example.net" + '\0' + "Joe Sysop" + '\0' +
       "Hello" + '\0' + "\x01INTL 2:345/6 2:345/1\rHello there.\r" + '\0';
  p += std::string(2, '\0');
  return p;
}

}  // namespace

QUILLMAR_FUZZ_TARGET(flow_file) {
  static const std::string packet = sample_packet();
  reset_box();
  write_file("outbound/01590006.FLO", std::string_view(reinterpret_cast<const char*>(data), size));
  write_file("outbound/0000FFFF.PKT", packet);
  write_file("outbound/FILE.TXT", "A file to be sent.\n");
  write_file("temp/OTHER.DAT", std::string("\x00\x01\x02\xFF binary", 11));
  export_and_check();
  return 0;
}
