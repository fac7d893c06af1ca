#include "export/packet_reader.hpp"

#include <cstring>
#include <string_view>

#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/number_scan.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"
#include "export/convert.hpp"
#include "export/export_driver.hpp"
#include "export/export_state.hpp"
#include "export/journal.hpp"
#include "fido/packet_writer.hpp"
#include "platform/clock.hpp"

namespace quillmar {

namespace {

uint16_t first_map_zone() {
  return settings->AddrMap.empty() ? 0 : settings->AddrMap[0].ftn_address.zone;
}

void print_address(const char* lead, const FtnAddress& a) {
  log_print("%s%s", lead, ftn_address_text(a, PointForm::when_set).c_str());
}

// A field of the stored message header: at most `size` bytes, cut at the
// first NUL.
template <std::size_t N>
void take_field(const unsigned char* header, std::size_t offset, std::size_t size, Text<N>& out) {
  std::string_view field(reinterpret_cast<const char*>(header) + offset, size);
  out = field.substr(0, field.find('\0'));
}

// The destination zone and point (and the INTL addresses) from the
// kludges at the start of a stored message's text.
void read_netmail_kludges(platform::File& file, FtnAddress& destination, FtnAddress& origin) {
  char line[257];
  file.seek(static_cast<long>(kStoredHeaderSize));
  for (CrLine r = CrLine::line; r != CrLine::ended;) {
    // A last kludge may end with the text itself rather than a CR.
    r = read_cr_line(file, line);
    if (line[0] != '\x01') return;
    std::string_view k(line + 1, std::strlen(line + 1));
    if (starts_with_nocase(k, "TOPT ")) {
      std::string_view s = k.substr(5);
      scan_u16(s, destination.point);
    } else if (starts_with_nocase(k, "FMPT ")) {
      std::string_view s = k.substr(5);
      scan_u16(s, origin.point);
    } else if (starts_with_nocase(k, "INTL ")) {
      std::string_view s = k.substr(5);
      FtnAddress to{0, 0, 0, destination.point};
      FtnAddress from{0, 0, 0, origin.point};
      if (read_ftn_address(s, to, 3) == 3 && read_ftn_address(s, from, 3) == 3) {
        destination = to;
        origin = from;
      }
    }
  }
}

// Exports the packets listed in the attachment list of a netmail message
// and empties the list; false when one of them could not be written whole.
bool export_listed_packets() {
  bool all_written = true;
  for (AttachmentEntry& e : export_state.attachments) {
    if (e.state != kAttachPacket) continue;
    export_listed_packet(e, false);
    if (e.state == kAttachKept) all_written = false;
  }
  export_state.attachments.clear();
  return all_written;
}

// The stamp of the previous quick scan, as QUILLMAR.DAT holds it.
QuickScanStamp read_quick_scan_stamp(std::string_view stamp_path) {
  QuickScanStamp stamp;
  platform::File f;
  unsigned char bytes[4];
  if (f.open(stamp_path, platform::OpenMode::read) && f.read(bytes, 4) == 4) {
    stamp.date = get_le16(bytes);
    stamp.time = get_le16(bytes + 2);
  }
  f.close();
  return stamp;
}

// Whether a stored message from `origin` to `destination` (node and net
// from its header) is meant for the gateway or a Route entry, which then
// becomes the target; the kludges complete both addresses.
bool find_netmail_target(platform::File& file, FtnAddress& origin, FtnAddress& destination) {
  const Settings& s = *settings;
  bool destination_known = false;
  bool matched = false;
  for (std::size_t i = 0; i <= s.Route.size() && !matched; ++i) {
    const FtnAddress& candidate = i == 0 ? s.FidoAddr : s.Route[i - 1].address;
    if (i == 0) {
      export_state.target = ExportTarget::gateway;
    } else {
      select_route(s.Route[i - 1]);
    }
    if (candidate.net != destination.net || candidate.node != destination.node) continue;
    if (!destination_known) {
      destination.zone = first_map_zone();
      destination.point = 0;
      read_netmail_kludges(file, destination, origin);
      destination_known = true;
    }
    matched = candidate.zone == destination.zone && candidate.point == destination.point;
  }
  return matched;
}

// The export's message record from a stored message's header; the files of
// a file-attach message go into the attachment list.
void take_stored_message(const unsigned char* h, uint16_t attribute, const FtnAddress& origin) {
  ExportMessage& m = *export_state.message;
  m.file_attached = (attribute & kMsgFileAttached) != 0;
  take_field(h, stored_field::kDateTime, stored_field::kDateTimeSize, m.date_time);
  take_field(h, stored_field::kToName, stored_field::kToNameSize, m.to_name);
  take_field(h, stored_field::kFromName, stored_field::kFromNameSize, m.from_name);
  take_field(h, stored_field::kSubject, stored_field::kSubjectSize, m.subject);
  m.origin = origin;
  export_state.attachments.clear();
  if (!m.file_attached) return;
  std::string_view subject = m.subject;
  while (!subject.empty() && !export_state.attachments.full()) {
    std::size_t space = subject.find(' ');
    std::string_view word = subject.substr(0, space);
    if (!word.empty()) add_attachment(word);
    if (space == std::string_view::npos) break;
    subject.remove_prefix(space + 1);
  }
}

// Converts the message whose header was read; true when its reply and the
// packets it lists were all written, else they are taken out again.
bool convert_stored_message(platform::File& file, const PathText& path) {
  file.seek(static_cast<long>(kStoredHeaderSize));
  ExportMark mark = export_mark();
  export_state.write_failed = false;
  export_state.attachment_missing = false;
  convert_message(file, true);
  file.close();
  if (!settle_reply_streams()) export_state.write_failed = true;
  bool written = !export_state.write_failed && !export_state.attachment_missing;
  if (written && !export_listed_packets()) written = false;
  export_state.attachments.clear();
  if (written) return true;
  // Nothing of it goes: its reply is taken out again, it stays unsent.
  export_rollback(mark);
  note_run_failure();
  log_print("! %s kept unsent: %s\n", path.c_str(),
            export_state.attachment_missing ? "an attached file is missing"
                                            : "the message could not be written");
  return false;
}

// What became of one stored message: passed over, exported, or kept for
// the next run.
enum class NetmailOutcome { passed, done, kept };

NetmailOutcome export_stored_message(const PathText& path) {
  const Settings& s = *settings;
  // Sent by an earlier run whose mark could not be set yet.
  if (journal_consumes(path)) return NetmailOutcome::passed;
  platform::FileStamp as_read = platform::file_stamp(path);
  platform::File file;
  if (!file.open(path, platform::OpenMode::update)) {
    // Perhaps only for now: the next quick scan must look at it again.
    // A message that can be read but never marked Sent is not sent.
    if (platform::file_exists(path)) {
      log_print("! can't open %s: %s\n", path.c_str(), platform::last_error_text());
      note_run_failure();
    }
    return NetmailOutcome::kept;
  }
  unsigned char h[kStoredHeaderSize];
  if (file.read(h, sizeof h) < sizeof h) return NetmailOutcome::passed;
  uint16_t attribute = get_le16(h + stored_field::kAttribute);
  if ((attribute & kMsgSent) != 0 || ((attribute & kMsgHold) != 0 && !s.ExportAllMail)) {
    return NetmailOutcome::passed;
  }
  FtnAddress origin{first_map_zone(), get_le16(h + stored_field::kOrigNet),
                    get_le16(h + stored_field::kOrigNode), 0};
  FtnAddress destination{0, get_le16(h + stored_field::kDestNet),
                         get_le16(h + stored_field::kDestNode), 0};
  if (!find_netmail_target(file, origin, destination)) return NetmailOutcome::passed;
  take_stored_message(h, attribute, origin);

  log_print("Exporting netmail message");
  print_address(" from ", origin);
  print_address(" to ", destination);
  log_print("\n");

  if (!convert_stored_message(file, path)) return NetmailOutcome::kept;
  // Marked (and deleted) at the run's commit, once its reply is listed.
  journal_mark_sent(path, as_read, h);
  if ((attribute & kMsgKillSent) != 0) journal_kill(path, as_read, h);
  return NetmailOutcome::done;
}

}  // namespace

bool read_packet_header(platform::File& packet, unsigned char* header) {
  return packet.read(header, kPacketHeaderSize) == kPacketHeaderSize &&
         get_le16(header + packet_field::kPacketType) >= 2;
}

int export_packet(platform::File& packet, bool allow_attachments) {
  const Settings& s = *settings;
  unsigned char h[kPacketHeaderSize];
  if (!read_packet_header(packet, h)) return 0;

  FtnAddress origin{0, get_le16(h + packet_field::kOrigNet), get_le16(h + packet_field::kOrigNode),
                    0};
  FtnAddress destination{0, get_le16(h + packet_field::kDestNet),
                         get_le16(h + packet_field::kDestNode), 0};
  const bool plus = get_le16(h + packet_field::kCapabilityWord) == kCapabilityWord &&
                    get_le16(h + packet_field::kCapabilitySwapped) == kCapabilitySwapped;
  if (plus) {
    origin.zone = get_le16(h + packet_field::kOrigZone);
    destination.zone = get_le16(h + packet_field::kDestZone);
    origin.point = get_le16(h + packet_field::kOrigPoint);
    destination.point = get_le16(h + packet_field::kDestPoint);
  } else {
    origin.zone = first_map_zone();
    if (export_state.target == ExportTarget::gateway) {
      destination.zone = s.FidoAddr.zone;
      destination.point = s.FidoAddr.point;
    } else {
      destination.zone = first_map_zone();
    }
  }

  if (export_state.target == ExportTarget::undecided) {
    if (destination == s.FidoAddr) {
      export_state.target = ExportTarget::gateway;
    } else {
      for (const RouteEntry& r : s.Route) {
        if (r.address == destination) {
          select_route(r);
          break;
        }
      }
      if (export_state.target == ExportTarget::undecided) return 0;
    }
  }

  log_print("Exporting Type 2%s packet", plus ? "+" : "");
  print_address(" from ", origin);
  print_address(" to ", destination);
  log_print("\n");

  ExportMessage& m = *export_state.message;
  for (;;) {
    unsigned char mh[kPackedMessageHeaderSize];
    if (packet.read(mh, sizeof mh) < sizeof mh) return 1;
    m.file_attached = (get_le16(mh + packed_field::kAttribute) & kAttributeFileAttached) != 0;
    m.origin = FtnAddress{origin.zone, get_le16(mh + packed_field::kOrigNet),
                          get_le16(mh + packed_field::kOrigNode), origin.point};
    char text[128];
    read_zstring(packet, text, 20);
    m.date_time = text;
    read_zstring(packet, text, 127);
    m.to_name = text;
    read_zstring(packet, text, 127);
    m.from_name = text;
    read_zstring(packet, text, 127);
    m.subject = text;
    convert_message(packet, allow_attachments);
  }
}

void write_quick_scan_stamp(QuickScanStamp stamp) {
  PathText path;
  if (!path.assign(settings->NetmailDir) || !path.append("QUILLMAR.DAT")) return;
  unsigned char bytes[4];
  put_le16(bytes, stamp.date);
  put_le16(bytes + 2, stamp.time);
  platform::File f;
  bool ok = f.open(path, platform::OpenMode::write, platform::Share::deny_write) &&
            f.write(bytes, sizeof bytes) && f.sync();
  if (!f.close() || !ok) {
    log_print("! error writing %s: %s\n", path.c_str(), platform::last_error());
    note_run_failure();
  }
}

std::optional<QuickScanStamp> scan_netmail() {
  const Settings& s = *settings;
  PathText stamp_path;
  const bool stamp_named = stamp_path.assign(s.NetmailDir) && stamp_path.append("QUILLMAR.DAT");
  // The new stamp is the time the scan begins: a message written during
  // the scan is looked at again by the next one.
  platform::LocalTime start = platform::local_time(platform::now());
  const QuickScanStamp new_stamp{platform::dos_date(start), platform::dos_time(start)};
  QuickScanStamp stamp;
  if (s.QuickScan && stamp_named) stamp = read_quick_scan_stamp(stamp_path);

  bool any_failed = false;
  PathText pattern;
  if (!pattern.assign(s.NetmailDir) || !pattern.append("*.MSG")) return std::nullopt;
  for (const platform::DirEntry& entry : platform::list_directory(pattern)) {
    if (entry.dos_date < stamp.date ||
        (entry.dos_date == stamp.date && entry.dos_time < stamp.time)) {
      continue;
    }
    PathText path;
    if (!path.assign(s.NetmailDir) || !path.append(entry.name)) continue;
    if (export_stored_message(path) == NetmailOutcome::kept) any_failed = true;
  }
  // Messages that could not be written must be found by the next scan; a
  // test run leaves the stamp alone, as its messages stay unsent.
  if (any_failed || !s.QuickScan || !stamp_named || run_options.test_mode) return std::nullopt;
  return new_stamp;
}

}  // namespace quillmar
