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
#include "export/newsfix.hpp"
#include "soup/reply.hpp"

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
inline constexpr uint8_t kAttachKept = 3;    // not sent: stays in its flow file

inline constexpr std::size_t kNoLine = static_cast<std::size_t>(-1);

struct AttachmentEntry {
  uint8_t state = kAttachFile;
  std::string name;            // as written in its source, with a leading "^" or "#"
  std::size_t line = kNoLine;  // its line in the flow file
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
  // Set when a file-attach message names a file that cannot be found.
  bool attachment_missing = false;
};

extern ExportState export_state;

// Where a source began: when one of its messages cannot be written, the
// messages written from it are taken out of the reply packet again and
// nothing of it is consumed.
struct ExportMark {
  ReplyMark reply;
  std::size_t journal = 0;
  ExportStatistics stats;
  NewsFixMark newsfix;
};
ExportMark export_mark();
void export_rollback(const ExportMark& mark);

// The file a message or a flow file names: the name as it stands or, when it
// has no directory part and is not found so, the same name in InboundDir
// (where tossers leave received files). False when neither exists.
bool find_attached_file(std::string_view name, PathText& found);

// True when a packet lacks its closing zero word and changed less than
// PacketSettleTime minutes ago: another program may still be writing it.
// Reported; the packet is left for a later run.
bool packet_still_written(std::string_view path);

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
