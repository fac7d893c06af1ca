// The packet and packed-message reader with the conversion of every
// message into the reply packet, in memory: the packet lies in the box's
// RAM directory, the reply files stay open in it, and what the input added
// to them is checked and cut back again, as EXPORT takes back a packet
// whose messages could not all be written. The packet's own addresses
// decide for whom it is (as from a /PKT= directory).
#include <cstddef>
#include <cstdint>
#include <string>

#include "export/export_state.hpp"
#include "export/journal.hpp"
#include "export/packet_reader.hpp"
#include "harness.hpp"
#include "structure.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

QUILLMAR_FUZZ_TARGET(packet_read) {
  static int seen = -1;
  if (setup_needed(seen)) start_fast_export(Mailer::binkley, {});
  write_file("temp/IN.PKT", std::string_view(reinterpret_cast<const char*>(data), size));
  platform::File packet;
  if (!packet.open(in_box("temp/IN.PKT"), platform::OpenMode::read)) {
    fail("the packet could not be opened");
  }
  ExportMark mark = export_mark();
  export_state.target = ExportTarget::undecided;
  export_state.write_failed = false;
  as_run([&] { export_packet(packet, false); });
  packet.close();
  if (!settle_reply_streams()) fail("the reply files could not be written");
  if (export_state.write_failed) fail("a message could not be written");
  check_replies_since(mark.reply);
  export_rollback(mark);
  return 0;
}

#if !defined(QUILLMAR_FUZZ_REPLAY)
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned int seed) {
  return mutate_packet(data, size, max_size, seed, LLVMFuzzerMutate);
}
extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t* data1, size_t size1,
                                            const uint8_t* data2, size_t size2, uint8_t* out,
                                            size_t max_out_size, unsigned int seed) {
  return cross_over_packets(data1, size1, data2, size2, out, max_out_size, seed);
}
#endif
