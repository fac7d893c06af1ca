// The state the export shares between the driver, the packet and netmail
// readers and the message conversion: for whom the mail now being read is
// meant, the record of the FidoNet message being exported, the files that
// belong to the mail, and the run's statistics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/bounded_text.hpp"
#include "base/fixed_table.hpp"
#include "config/settings.hpp"

namespace quillmar {

// For whom the mail now being read is meant.
enum class ExportTarget : uint8_t { undecided = 0, gateway = 1, route = 2 };

// The FidoNet message being exported, filled by the readers and completed
// by the conversion. One instance, reused for every message.
struct ExportMessage {
  FtnAddress origin;
  Text<21> date_time;
  Text<128> to_name;
  Text<128> from_name;
  Text<128> subject;
  bool file_attached = false;
  // Copied from the chosen Route entry while the target is a route.
  Text<128> route_recipient;
  Text<64> route_password;
  Text<128> route_subject;
};

// States of an attachment entry.
inline constexpr uint8_t kAttachPacket = 0;  // a packet file (".PKT")
inline constexpr uint8_t kAttachFile = 1;    // any other file
inline constexpr uint8_t kAttachDone = 2;    // dealt with

struct AttachmentEntry {
  uint8_t state = kAttachFile;
  std::string name;  // as written in its source, with a leading "^" or "#"
};

inline constexpr std::size_t kMaxAttachments = 2048;
using AttachmentList = FixedTable<AttachmentEntry, kMaxAttachments>;

struct ExportStatistics {
  long exported = 0;
  long mail = 0;
  long news = 0;
  long lists = 0;
};

// The export's run state: everything the driver, the readers and the
// conversion share while EXPORT runs.
struct ExportState {
  ExportTarget target = ExportTarget::undecided;
  ExportMessage* message = nullptr;  // allocated once by allocate_export_work
  AttachmentList attachments;
  ExportStatistics stats;
  // Set when a message could not be written into the reply packet; the file
  // it came from must then be kept. Cleared by whoever reads a source file.
  bool write_failed = false;
};

extern ExportState export_state;

// Allocates the export work fields (once; later calls do nothing).
void allocate_export_work();
// Gives them back (tests start each case afresh).
void release_export_work();

// Makes `route` the target: its Internet address, password and subject text
// go into the message record.
void select_route(const RouteEntry& route);

// Appends a file to the attachment list (state by its extension); false
// when the list is full.
bool add_attachment(std::string_view name);

// The name without a leading "^" or "#".
std::string_view without_send_mark(std::string_view name);

}  // namespace quillmar
