#include "export/packet_reader.hpp"

#include <cstring>
#include <string_view>

#include "config/settings.hpp"
#include "export/convert.hpp"
#include "export/export_driver.hpp"
#include "export/export_state.hpp"
#include "export/journal.hpp"
#include "fido/packet_writer.hpp"
#include "frame/file_helpers.hpp"
#include "frame/run.hpp"
#include "frame/run_status.hpp"
#include "frame/text_helpers.hpp"
#include "platform/clock.hpp"

namespace quillmar {

namespace {

uint16_t le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint16_t first_map_zone() {
  return settings->AddrMap.empty() ? 0 : settings->AddrMap[0].ftn_address.zone;
}

// "%hu" of the text: blanks, then digits taken modulo 65536.
bool read_u16(std::string_view& s, uint16_t& out) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  if (s.empty() || s.front() < '0' || s.front() > '9') return false;
  uint16_t v = 0;
  while (!s.empty() && s.front() >= '0' && s.front() <= '9') {
    v = static_cast<uint16_t>(v * 10u + static_cast<unsigned>(s.front() - '0'));
    s.remove_prefix(1);
  }
  out = v;
  return true;
}

bool read_char(std::string_view& s, char c) {
  if (s.empty() || s.front() != c) return false;
  s.remove_prefix(1);
  return true;
}

void print_address(const char* lead, const FtnAddress& a) {
  log_print("%s%u:%u/%u", lead, unsigned{a.zone}, unsigned{a.net}, unsigned{a.node});
  if (a.point != 0) log_print(".%u", unsigned{a.point});
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
      read_u16(s, destination.point);
    } else if (starts_with_nocase(k, "FMPT ")) {
      std::string_view s = k.substr(5);
      read_u16(s, origin.point);
    } else if (starts_with_nocase(k, "INTL ")) {
      std::string_view s = k.substr(5);
      uint16_t v[6] = {};
      if (read_u16(s, v[0]) && read_char(s, ':') && read_u16(s, v[1]) && read_char(s, '/') &&
          read_u16(s, v[2]) && read_u16(s, v[3]) && read_char(s, ':') && read_u16(s, v[4]) &&
          read_char(s, '/') && read_u16(s, v[5])) {
        destination = FtnAddress{v[0], v[1], v[2], destination.point};
        origin = FtnAddress{v[3], v[4], v[5], origin.point};
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
    export_listed_packet(e, false);
    if (e.state == kAttachKept) all_written = false;
  }
  attachment_list.clear();
  return all_written;
}

}  // namespace

int export_packet(platform::File& packet, bool allow_attachments) {
  const Settings& s = *settings;
  unsigned char h[kPacketHeaderSize];
  if (packet.read(h, sizeof h) < sizeof h || le16(h + 18) < 2) return 0;

  FtnAddress origin{0, le16(h + 20), le16(h + 0), 0};
  FtnAddress destination{0, le16(h + 22), le16(h + 2), 0};
  const bool plus = le16(h + 44) == kCapabilityWord && le16(h + 40) == kCapabilitySwapped;
  if (plus) {
    origin.zone = le16(h + 46);
    destination.zone = le16(h + 48);
    origin.point = le16(h + 50);
    destination.point = le16(h + 52);
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
    m.file_attached = (le16(mh + 10) & kAttributeFileAttached) != 0;
    m.origin = FtnAddress{origin.zone, le16(mh + 6), le16(mh + 2), origin.point};
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
  QuickScanStamp stamp;
  // The new stamp is the time the scan begins: a message written during
  // the scan is looked at again by the next one.
  platform::LocalTime start = platform::local_time(platform::now());
  const QuickScanStamp new_stamp{platform::dos_date(start), platform::dos_time(start)};
  if (s.QuickScan && stamp_named) {
    platform::File f;
    unsigned char bytes[4];
    if (f.open(stamp_path, platform::OpenMode::read) && f.read(bytes, 4) == 4) {
      stamp.date = le16(bytes);
      stamp.time = le16(bytes + 2);
    }
    f.close();
  }

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
    // Sent by an earlier run whose mark could not be set yet.
    if (journal_consumes(path)) continue;
    platform::FileStamp as_read = platform::file_stamp(path);
    platform::File file;
    if (!file.open(path, platform::OpenMode::update)) {
      // Perhaps only for now: the next quick scan must look at it again.
      // A message that can be read but never marked Sent is not sent.
      any_failed = true;
      if (platform::file_exists(path)) {
        log_print("! can't open %s: %s\n", path.c_str(), platform::last_error_text());
        note_run_failure();
      }
      continue;
    }
    unsigned char h[kStoredHeaderSize];
    if (file.read(h, sizeof h) < sizeof h) continue;
    uint16_t attribute = le16(h + 186);
    if ((attribute & kMsgSent) != 0 || ((attribute & kMsgHold) != 0 && !s.ExportAllMail)) continue;

    FtnAddress origin{first_map_zone(), le16(h + 172), le16(h + 168), 0};
    FtnAddress destination{0, le16(h + 174), le16(h + 166), 0};
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
    if (!matched) continue;

    ExportMessage& m = *export_message;
    m.file_attached = (attribute & kMsgFileAttached) != 0;
    take_field(h, 144, 20, m.date_time);
    take_field(h, 36, 36, m.to_name);
    take_field(h, 0, 36, m.from_name);
    take_field(h, 72, 72, m.subject);
    m.origin = origin;
    attachment_list.clear();
    if (m.file_attached) {
      std::string_view subject = m.subject;
      while (!subject.empty() && !attachment_list.full()) {
        std::size_t space = subject.find(' ');
        std::string_view word = subject.substr(0, space);
        if (!word.empty()) add_attachment(word);
        if (space == std::string_view::npos) break;
        subject.remove_prefix(space + 1);
      }
    }

    log_print("Exporting netmail message");
    print_address(" from ", origin);
    print_address(" to ", destination);
    log_print("\n");

    file.seek(static_cast<long>(kStoredHeaderSize));
    ExportMark mark = export_mark();
    export_write_failed = false;
    export_attachment_missing = false;
    convert_message(file, true);
    file.close();
    bool written = !export_write_failed && !export_attachment_missing;
    if (written && !export_listed_packets()) written = false;
    attachment_list.clear();
    if (!written) {
      // Nothing of it goes: its reply is taken out again, it stays unsent.
      export_rollback(mark);
      any_failed = true;
      note_run_failure();
      log_print("! %s kept unsent: %s\n", path.c_str(),
                export_attachment_missing ? "an attached file is missing"
                                          : "the message could not be written");
      continue;
    }
    // Marked (and deleted) at the run's commit, once its reply is listed.
    journal_mark_sent(path, as_read);
    if ((attribute & kMsgKillSent) != 0) journal_kill(path);
  }
  // Messages that could not be written must be found by the next scan; a
  // test run leaves the stamp alone, as its messages stay unsent.
  if (any_failed || !s.QuickScan || !stamp_named || run_options.test_mode) return std::nullopt;
  return new_stamp;
}

}  // namespace quillmar
