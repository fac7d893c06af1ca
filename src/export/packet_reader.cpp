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
#include "export/export_state.hpp"
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
  for (AttachmentEntry& e : attachment_list) {
    if (e.state != kAttachPacket) continue;
    e.state = kAttachDone;
    std::string_view path = without_send_mark(e.name);
    platform::File packet;
    if (!packet.open(path, platform::OpenMode::read)) continue;
    export_write_failed = false;
    export_packet(packet, false);
    packet.close();
    if (export_write_failed) {
      all_written = false;
      note_run_failure();
      log_print("! %s kept: not all of its messages could be written\n", e.name.c_str());
    } else if (!run_options.test_mode) {
      platform::remove_file(path);
    }
  }
  attachment_list.clear();
  return all_written;
}

// The quick-scan stamp: the DOS date and time of the previous scan.
struct Stamp {
  uint16_t date = 0;
  uint16_t time = 0;
};

bool write_stamp(std::string_view path, Stamp stamp) {
  unsigned char bytes[4];
  put_le16(bytes, stamp.date);
  put_le16(bytes + 2, stamp.time);
  platform::File f;
  if (!f.open(path, platform::OpenMode::write, platform::Share::deny_write)) return false;
  bool ok = f.write(bytes, sizeof bytes);
  return f.close() && ok;
}

// The stamp of the previous quick scan; the stamp file gets the time of
// this one.
Stamp renew_stamp(std::string_view stamp_path) {
  Stamp stamp;
  platform::File f;
  unsigned char bytes[4];
  if (f.open(stamp_path, platform::OpenMode::read) && f.read(bytes, 4) == 4) {
    stamp.date = get_le16(bytes);
    stamp.time = get_le16(bytes + 2);
  }
  f.close();
  // A test run leaves the stamp alone: the messages it keeps unsent must
  // still be found by the next run.
  if (!run_options.test_mode) {
    platform::LocalTime now = platform::local_time(platform::now());
    write_stamp(stamp_path, Stamp{platform::dos_date(now), platform::dos_time(now)});
  }
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
      export_target = ExportTarget::gateway;
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
  ExportMessage& m = *export_message;
  m.file_attached = (attribute & kMsgFileAttached) != 0;
  take_field(h, stored_field::kDateTime, stored_field::kDateTimeSize, m.date_time);
  take_field(h, stored_field::kToName, stored_field::kToNameSize, m.to_name);
  take_field(h, stored_field::kFromName, stored_field::kFromNameSize, m.from_name);
  take_field(h, stored_field::kSubject, stored_field::kSubjectSize, m.subject);
  m.origin = origin;
  attachment_list.clear();
  if (!m.file_attached) return;
  std::string_view subject = m.subject;
  while (!subject.empty() && !attachment_list.full()) {
    std::size_t space = subject.find(' ');
    std::string_view word = subject.substr(0, space);
    if (!word.empty()) add_attachment(word);
    if (space == std::string_view::npos) break;
    subject.remove_prefix(space + 1);
  }
}

// Marks an exported stored message as sent (and deletes it when it asks
// for that).
void mark_sent(platform::File& file, unsigned char* h, uint16_t attribute, std::string_view path) {
  attribute = static_cast<uint16_t>(attribute | kMsgSent);
  put_le16(h + stored_field::kAttribute, attribute);
  bool marked = file.seek(0) && file.write(h, kStoredHeaderSize);
  if (!file.close() || !marked) {
    note_run_failure();
    log_print("! error marking %.*s as sent\n", static_cast<int>(path.size()), path.data());
    return;
  }
  if ((attribute & kMsgKillSent) != 0) platform::remove_file(path);
}

// What became of one stored message: passed over, exported, or kept for
// the next run.
enum class NetmailOutcome { passed, done, kept };

NetmailOutcome export_stored_message(const PathText& path) {
  const Settings& s = *settings;
  platform::File file;
  // Perhaps only for now: the next quick scan must look at it again.
  if (!file.open(path, platform::OpenMode::update)) return NetmailOutcome::kept;
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

  file.seek(static_cast<long>(kStoredHeaderSize));
  export_write_failed = false;
  convert_message(file, true);
  bool written = !export_write_failed;
  if (!export_listed_packets()) written = false;
  if (!written) {
    note_run_failure();
    log_print("! %s kept unsent: the message could not be written\n", path.c_str());
    return NetmailOutcome::kept;
  }
  if (!run_options.test_mode) mark_sent(file, h, attribute, path);
  return NetmailOutcome::done;
}

}  // namespace

int export_packet(platform::File& packet, bool allow_attachments) {
  const Settings& s = *settings;
  unsigned char h[kPacketHeaderSize];
  if (packet.read(h, sizeof h) < sizeof h || get_le16(h + packet_field::kPacketType) < 2) return 0;

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
    if (export_target == ExportTarget::gateway) {
      destination.zone = s.FidoAddr.zone;
      destination.point = s.FidoAddr.point;
    } else {
      destination.zone = first_map_zone();
    }
  }

  if (export_target == ExportTarget::undecided) {
    if (destination == s.FidoAddr) {
      export_target = ExportTarget::gateway;
    } else {
      for (const RouteEntry& r : s.Route) {
        if (r.address == destination) {
          select_route(r);
          break;
        }
      }
      if (export_target == ExportTarget::undecided) return 0;
    }
  }

  log_print("Exporting Type 2%s packet", plus ? "+" : "");
  print_address(" from ", origin);
  print_address(" to ", destination);
  log_print("\n");

  ExportMessage& m = *export_message;
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

void scan_netmail() {
  const Settings& s = *settings;
  PathText stamp_path;
  const bool stamp_named = stamp_path.assign(s.NetmailDir) && stamp_path.append("QUILLMAR.DAT");
  Stamp stamp;
  if (s.QuickScan && stamp_named) stamp = renew_stamp(stamp_path);

  bool any_failed = false;
  PathText pattern;
  if (!pattern.assign(s.NetmailDir) || !pattern.append("*.MSG")) return;
  for (const platform::DirEntry& entry : platform::list_directory(pattern)) {
    if (entry.dos_date < stamp.date ||
        (entry.dos_date == stamp.date && entry.dos_time < stamp.time)) {
      continue;
    }
    PathText path;
    if (!path.assign(s.NetmailDir) || !path.append(entry.name)) continue;
    if (export_stored_message(path) == NetmailOutcome::kept) any_failed = true;
  }
  // Messages that could not be written must be found by the next scan.
  if (any_failed && s.QuickScan && stamp_named && !run_options.test_mode) {
    write_stamp(stamp_path, stamp);
  }
}

}  // namespace quillmar
