#include "export/export_driver.hpp"

#include <cstdio>

#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "base/text_reader.hpp"
#include "export/export_state.hpp"
#include "export/packet_reader.hpp"
#include "fido/attach_packet.hpp"
#include "lists/list_files.hpp"
#include "soup/reply.hpp"

namespace quillmar {

namespace {

// The name a covering packet's subject carries for a listed file: the name
// as written, or, when that is longer than a subject holds, its file name
// part, by which the conversion finds the listed entry again.
std::string_view listed_name(std::string_view name) {
  constexpr std::size_t kSubjectMax = 71;
  return name.size() <= kSubjectMax ? name : base_name(name);
}

struct Flavour {
  const char* packet;
  const char* flow;
  bool hold;
};
constexpr Flavour kFlavours[] = {
    {".OUT", ".FLO", false},
    {".CUT", ".CLO", false},
    {".DUT", ".DLO", false},
    {".HUT", ".HLO", true},
};

TextReader flow_reader;

// Reads the lines of a flow file into the attachment list; false when there
// is no flow file.
bool read_flow_file(std::string_view path) {
  if (!flow_reader.open(path)) return false;
  std::string_view piece;
  while (!attachment_list.full() && flow_reader.read_piece(PathText::capacity + 1, piece)) {
    bool whole = !piece.empty() && piece.back() == '\n';
    std::string_view line = line_text(piece);
    if (!whole && piece.size() > PathText::capacity) {
      // A name no path can hold: the rest of the line goes with it.
      log_print("! line too long in %.*s: passed over\n", static_cast<int>(path.size()),
                path.data());
      while (flow_reader.read_piece(PathText::capacity + 1, piece) && piece.back() != '\n') {
      }
      continue;
    }
    if (!line.empty()) add_attachment(line);
  }
  flow_reader.close();
  return true;
}

// Exports one packet file; false when one of its messages could not be
// written (the file must then be kept). `result` gets export_packet's.
bool export_packet_file(platform::File& packet, bool allow_attachments, int* result = nullptr) {
  export_write_failed = false;
  int r = export_packet(packet, allow_attachments);
  if (result != nullptr) *result = r;
  return !export_write_failed;
}

void report_kept(std::string_view path) {
  note_run_failure();
  log_print("! %.*s kept: not all of its messages could be written\n",
            static_cast<int>(path.size()), path.data());
}

// Exports an open packet file and deletes it; false when it must be kept.
bool export_and_remove(platform::File& packet, std::string_view path) {
  bool written = export_packet_file(packet, true);
  packet.close();
  if (!written) {
    report_kept(path);
    return false;
  }
  if (!run_options.test_mode) platform::remove_file(path);
  return true;
}

// The packets listed in the flow file; false when one must be kept.
bool export_flow_packets() {
  bool all_written = true;
  for (AttachmentEntry& e : attachment_list) {
    if (e.state != kAttachPacket) continue;
    e.state = kAttachDone;
    std::string_view path = without_send_mark(e.name);
    platform::File listed;
    if (!listed.open(path, platform::OpenMode::read)) continue;
    if (!export_and_remove(listed, path)) all_written = false;
  }
  return all_written;
}

// The files of the flow file that no message took, each with a covering
// message to `address`; false when one of them could not go.
bool export_unclaimed_files(const FtnAddress& address, std::string_view to_name) {
  const Settings& s = *settings;
  bool all_written = true;
  for (AttachmentEntry& e : attachment_list) {
    if (e.state != kAttachFile) continue;
    e.state = kAttachDone;
    {
      platform::File probe;
      if (!probe.open(without_send_mark(e.name), platform::OpenMode::read)) continue;
    }
    PathText temp_name;
    platform::File cover;
    if (!unique_hex_name(s.TempDir, "PKT", temp_name) ||
        !make_attach_packet(address, to_name, temp_name, listed_name(e.name), cover)) {
      note_run_failure();
      log_print("! can't create a covering packet in %s\n", s.TempDir.c_str());
      all_written = false;
      continue;
    }
    // The covering message takes this entry again by its name.
    e.state = kAttachFile;
    bool written = cover.seek(0) && export_packet_file(cover, true);
    e.state = kAttachDone;
    cover.close();
    platform::remove_file(temp_name);
    if (!written) all_written = false;
  }
  return all_written;
}

// One flavour of an address's outbound: its packet, then what its flow
// file lists.
void scan_flavour(const FtnAddress& address, std::string_view to_name, const PathText& packet_name,
                  const PathText& flow_name) {
  platform::File packet;
  const bool have_packet = packet.open(packet_name, platform::OpenMode::read);
  attachment_list.clear();
  const bool have_flow = read_flow_file(flow_name);
  bool all_written = !have_packet || export_and_remove(packet, packet_name);
  if (!export_flow_packets()) all_written = false;
  if (!export_unclaimed_files(address, to_name)) all_written = false;
  attachment_list.clear();

  // The flow file goes once everything it listed has been dealt with;
  // after a failure it stays, so that the next run tries again.
  if (have_flow && !run_options.test_mode) {
    if (all_written) {
      platform::remove_file(flow_name);
    } else {
      report_kept(flow_name);
    }
  }
}

}  // namespace

bool outbound_base_name(const FtnAddress& address, PathText& out) {
  const Settings& s = *settings;
  char buffer[40];
  if (!out.assign(s.OutboundDir)) return false;
  if (s.BaseZone != 0 && s.BaseZone != address.zone && !out.empty()) {
    out.truncate(out.size() - 1);
    std::snprintf(buffer, sizeof buffer, ".%03X\\", unsigned{address.zone});
    if (!out.append(buffer)) return false;
  }
  std::snprintf(buffer, sizeof buffer, "%04X%04X", unsigned{address.net}, unsigned{address.node});
  if (!out.append(buffer)) return false;
  if (address.point != 0) {
    std::snprintf(buffer, sizeof buffer, ".PNT\\%08X", unsigned{address.point});
    if (!out.append(buffer)) return false;
  }
  return true;
}

void scan_outbound(const FtnAddress& address, std::string_view to_name) {
  const Settings& s = *settings;
  PathText base;
  if (!outbound_base_name(address, base)) {
    note_run_failure();
    log_print("! outbound name of %s too long\n",
              ftn_address_text(address, PointForm::always).c_str());
    return;
  }
  for (const Flavour& flavour : kFlavours) {
    if (flavour.hold && !s.ExportAllMail) continue;
    PathText packet_name;
    PathText flow_name;
    if (!packet_name.assign(base) || !packet_name.append(flavour.packet) ||
        !flow_name.assign(base) || !flow_name.append(flavour.flow)) {
      continue;
    }
    scan_flavour(address, to_name, packet_name, flow_name);
  }
}

void export_pkt_dir() {
  PathText pattern;
  if (!pattern.assign(run_options.packet_dir) || !pattern.append("*.PKT")) return;
  for (const platform::DirEntry& entry : platform::list_directory(pattern)) {
    PathText path;
    if (!path.assign(run_options.packet_dir) || !path.append(entry.name)) continue;
    export_target = ExportTarget::undecided;
    platform::File packet;
    if (!packet.open(path, platform::OpenMode::read)) continue;
    int result = 0;
    bool written = export_packet_file(packet, false, &result);
    packet.close();
    if (!written) {
      report_kept(path);
    } else if (result == 1 && !run_options.test_mode) {
      platform::remove_file(path);
    }
  }
}

void run_export() {
  const Settings& s = *settings;
  allocate_export_work();
  const char* source = "?UT/?LO";
  if (!run_options.packet_dir.empty()) {
    source = "PKT";
  } else if (s.mailer_type == MailerType::arcmail) {
    source = "MSG";
  }
  log_print("Exporting from %s to Soup\n", source);
  flush_reply_file(kReplyMail);
  flush_reply_file(kReplyNews);
  export_stats = ExportStatistics{};

  if (!run_options.packet_dir.empty()) {
    export_pkt_dir();
  } else if (s.mailer_type == MailerType::arcmail) {
    scan_netmail();
  } else {
    export_target = ExportTarget::gateway;
    scan_outbound(s.FidoAddr, "");
    for (const RouteEntry& route : s.Route) {
      select_route(route);
      scan_outbound(route.address, route.email);
    }
  }

  if (!s.SeparateMSG) {
    flush_reply_file(kReplyMail);
    flush_reply_file(kReplyNews);
  }

  const ExportStatistics& st = export_stats;
  if (st.exported != 0) {
    log_print("-> %ld messages exported\nmail: %-5ld     news: %-5ld", st.exported, st.mail,
              st.news);
    if (!lists().empty()) log_print("     lists: %-5ld", st.lists);
    log_print("\n");
  } else if (!run_failed()) {
    log_print("No outbound messages found. Nothing to do.\n");
  }
}

}  // namespace quillmar
