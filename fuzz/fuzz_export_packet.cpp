// EXPORT of one FidoNet packet: the packet and packed-message reader and
// the conversion of every message into the SOUP reply packet. The input is
// exported twice: as the gateway's outbound packet, and from a /PKT=
// directory, where the packet's own addresses decide.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/run.hpp"
#include "export/export_driver.hpp"
#include "harness.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

QUILLMAR_FUZZ_TARGET(export_packet) {
  std::string_view packet(reinterpret_cast<const char*>(data), size);
  for (int pass = 0; pass < 2; ++pass) {
    reset_box();
    write_file(pass == 0 ? "outbound/01590006.OUT" : "temp/IN.PKT", packet);
    write_file("outbound/FILE.TXT", "A file to be sent.\n");
    guarded([] {
      if (!start_run()) fail("the fixed configuration could not be read");
    });
    if (pass == 1) run_options.packet_dir = in_box("temp/");
    as_run([] { run_export(); });
    check_replies();
    check_box_top();
  }
  return 0;
}
