// Reading the FidoNet mail the export takes: Type 2 and Type 2+ packets
// and the stored netmail messages (*.MSG) of NetmailDir with the quick-scan
// stamp file QUILLMAR.DAT.
#pragma once

#include <cstdint>
#include <optional>

#include "fido/packet_layout.hpp"
#include "platform/fs.hpp"

namespace quillmar {

// Reads one packet from its start to its end and converts every message.
// 1 when the packet was read to its end, 0 when it was rejected (too short,
// type below 2, or meant for neither the gateway nor a Route entry). A
// message that could not be written sets export_state.write_failed.
int export_packet(platform::File& packet, bool allow_attachments);

// True when the file begins with a whole packet header of a type this
// program reads (2 or 2+); it is left at the header's end.
bool read_packet_header(platform::File& packet, unsigned char* header);

// The quick-scan stamp: the DOS date and time of the start of a scan.
struct QuickScanStamp {
  uint16_t date = 0;
  uint16_t time = 0;
};

// Exports every unsent stored netmail message for the gateway or a route.
// With QuickScan, the stamp to write once the run has committed (none when a
// message was kept for a later run or under /TEST).
std::optional<QuickScanStamp> scan_netmail();
// Writes QUILLMAR.DAT.
void write_quick_scan_stamp(QuickScanStamp stamp);

}  // namespace quillmar
