#include "export/export_driver.hpp"

#include <algorithm>
#include <cstdio>

#include <optional>
#include <string>
#include <vector>

#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "base/text_reader.hpp"
#include "export/export_state.hpp"
#include "export/journal.hpp"
#include "export/newsfix.hpp"
#include "export/packet_reader.hpp"
#include "fido/attach_packet.hpp"
#include "lists/list_files.hpp"
#include "platform/clock.hpp"
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

// The flow file as read: its bytes and where each line lies, so that it can
// be written back with only the lines that were not sent.
struct FlowFile {
  std::string data;
  struct Line {
    std::size_t start = 0;
    std::size_t end = 0;  // after its line feed
    std::size_t entry = kNoLine;
  };
  std::vector<Line> lines;
};

// Reads the lines of a flow file into the attachment list; false when there
// is no flow file. A line no path can hold stays in the file.
bool read_flow_file(std::string_view path, FlowFile& flow) {
  flow = FlowFile{};
  if (!platform::file_stamp(path).exists) return false;
  if (!read_whole_file(path, flow.data)) {
    log_print("! error reading %.*s: %s\n", static_cast<int>(path.size()), path.data(),
              platform::last_error());
    note_run_failure();
    return false;
  }
  for (std::size_t pos = 0; pos < flow.data.size();) {
    std::size_t feed = flow.data.find('\n', pos);
    FlowFile::Line line;
    line.start = pos;
    line.end = feed == std::string::npos ? flow.data.size() : feed + 1;
    pos = line.end;
    std::string_view text =
        line_text(std::string_view(flow.data).substr(line.start, line.end - line.start));
    while (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (text.size() > PathText::capacity) {
      log_print("! line too long in %.*s: passed over\n", static_cast<int>(path.size()),
                path.data());
    } else if (!text.empty() && !export_state.attachments.full()) {
      line.entry = export_state.attachments.size();
      add_attachment(text);
      export_state.attachments[line.entry].line = flow.lines.size();
    }
    flow.lines.push_back(line);
  }
  return true;
}

// The flow file without the lines whose files were sent (or are gone).
std::string kept_flow_lines(const FlowFile& flow) {
  std::string kept;
  for (const FlowFile::Line& line : flow.lines) {
    if (line.entry != kNoLine && export_state.attachments[line.entry].state == kAttachDone)
      continue;
    if (line.entry == kNoLine &&
        line_text(std::string_view(flow.data).substr(line.start, line.end - line.start)).empty()) {
      continue;
    }
    kept.append(flow.data, line.start, line.end - line.start);
    if (kept.back() != '\n') kept.push_back('\n');
  }
  return kept;
}

// Where a packet began: its messages, and the files they took.
struct PacketMark {
  ExportMark mark = export_mark();
  std::vector<uint8_t> states;
  PacketMark() {
    for (const AttachmentEntry& e : export_state.attachments) states.push_back(e.state);
  }
  // Takes the packet out again; the files its messages took stay where
  // they are, for the next run.
  void take_back() const {
    export_rollback(mark);
    for (std::size_t i = 0; i < states.size(); ++i) {
      if (export_state.attachments[i].state != states[i])
        export_state.attachments[i].state = kAttachKept;
    }
  }
};

// Exports one packet file; false when one of its messages could not be
// written: the messages written from it are taken out again and the file
// must be kept. `result` gets export_packet's.
bool export_packet_file(platform::File& packet, bool allow_attachments, int* result = nullptr) {
  PacketMark mark;
  export_state.write_failed = false;
  int r = export_packet(packet, allow_attachments);
  if (result != nullptr) *result = r;
  // Its messages reach their reply files before the packet counts as written.
  if (!settle_reply_streams()) export_state.write_failed = true;
  if (!export_state.write_failed) return true;
  mark.take_back();
  return false;
}

void report_kept(std::string_view path) {
  note_run_failure();
  log_print("! %s kept: not all of its messages could be written\n",
            platform::shown_path(path).c_str());
}

// A file under a packet's name that is no packet: removed (from the
// outbound) or left (in a /PKT= directory), and said either way.
void report_no_packet(std::string_view path, bool removed) {
  platform::File f;
  unsigned char h[kPacketHeaderSize];
  if (!f.open(path, platform::OpenMode::read) || read_packet_header(f, h)) return;
  log_print("! %s is no FidoNet packet (too short, or not of type 2): %s\n",
            platform::shown_path(path).c_str(),
            removed && !run_options.test_mode ? "removed" : "left as it is");
}

enum class PacketOutcome { not_opened, kept, exported };

// Exports the packet file `path` and notes its removal for the commit:
// always when `remove_rejected`, else only when it was read to its end. A
// packet that changed while it was read (another program wrote to it) is
// taken out of the reply files again and left for a later run.
PacketOutcome export_packet_named(std::string_view path, bool allow_attachments,
                                  bool remove_rejected) {
  platform::FileStamp as_read = platform::file_stamp(path);
  platform::File packet;
  if (!packet.open(path, platform::OpenMode::read)) return PacketOutcome::not_opened;
  PacketMark mark;
  int result = 0;
  bool written = export_packet_file(packet, allow_attachments, &result);
  packet.close();
  if (!written) {
    report_kept(path);
    return PacketOutcome::kept;
  }
  if (platform::file_stamp(path) != as_read) {
    mark.take_back();
    log_print("! %s changed while it was read: left for a later run\n",
              platform::shown_path(path).c_str());
    note_run_failure();
    return PacketOutcome::kept;
  }
  if (result == 0) report_no_packet(path, remove_rejected);
  if (result == 1 || remove_rejected) journal_remove(path, as_read);
  return PacketOutcome::exported;
}

void report_not_found(std::string_view name) {
  log_print("! attached file %.*s not found\n", static_cast<int>(name.size()), name.data());
}

// The busy flags this run holds, removed once the run has committed.
std::vector<std::string> held_flags;
// A node's files were left alone because another program held it.
bool node_left_busy = false;

// Is a busy flag left behind: older than BusyFlagAge, or made by a run of
// this program that has ended?
bool flag_is_stale(const std::string& path) {
  platform::FileStamp st = platform::file_stamp(path);
  if (!st.exists) return false;
  long long age = static_cast<long long>(platform::now()) - st.mtime_ns / 1000000000;
  if (settings->BusyFlagAge != 0 && age >= static_cast<long long>(settings->BusyFlagAge) * 60) {
    return true;
  }
  platform::File f;
  char text[64] = {};
  if (!f.open(path, platform::OpenMode::read)) return false;
  std::size_t n = f.read(text, sizeof text - 1);
  f.close();
  long pid = 0;
  char word[16] = {};
  text[n] = '\0';
  return std::sscanf(text, "%ld %15s", &pid, word) == 2 && std::string_view(word) == "Quillmar" &&
         pid != platform::process_id() &&
         !platform::process_running(pid, platform::process_name(platform::process_id()));
}

// Removes a busy flag left behind; false when that failed (reported).
bool remove_left_flag(const std::string& flag) {
  const std::string shown = platform::shown_path(flag);
  log_print("* %s is left behind: removed\n", shown.c_str());
  if (platform::remove_file(flag)) return true;
  log_print("! can't remove %s: %s\n", shown.c_str(), platform::last_error());
  note_run_failure();
  return false;
}

// Removes the node's busy flags that were left behind (by a run that was
// interrupted, for one).
void remove_stale_flags(const PathText& base) {
  for (const char* ext : {".BSY", ".CSY"}) {
    std::string flag = std::string(base.view()) + ext;
    if (platform::file_exists(flag) && flag_is_stale(flag)) remove_left_flag(flag);
  }
}

// The name of the node's busy flag as the mailer looks for it: in lower
// case when the node's files are (binkd and crashmail write lower case).
std::string busy_flag_name(const PathText& base, std::string_view found_file) {
  std::string flag = platform::resolve_for_create(std::string(base.view()) + ".BSY");
  std::string_view found_name = found_file.substr(found_file.find_last_of('/') + 1);
  const bool lower = std::none_of(found_name.begin(), found_name.end(),
                                  [](char c) { return c >= 'A' && c <= 'Z'; });
  if (lower && !found_name.empty()) {
    for (std::size_t i = flag.find_last_of('/') + 1; i < flag.size(); ++i) {
      flag[i] = ascii_lower(flag[i]);
    }
  }
  return flag;
}

void report_busy(const std::string& flag) {
  node_left_busy = true;
  log_print("! %s exists: the node is busy, its mail is left for a later run\n",
            platform::shown_path(flag).c_str());
}

// Takes the node's busy flag; false when the node is busy (another program
// works on its files) or the flag cannot be made. Reported. `found_file`
// is a file of the node as the outbound holds it.
bool take_busy_flag(const PathText& base, std::string_view found_file) {
  std::string bsy = std::string(base.view()) + ".BSY";
  std::string csy = std::string(base.view()) + ".CSY";
  for (const std::string& flag : {bsy, csy}) {
    if (!platform::file_exists(flag)) continue;
    if (!flag_is_stale(flag)) {
      report_busy(flag);
      return false;
    }
    if (!remove_left_flag(flag)) return false;
  }
  char content[48];
  std::snprintf(content, sizeof content, "%ld Quillmar\n", platform::process_id());
  const std::string made = busy_flag_name(base, found_file);
  switch (platform::create_flag_file(made, content)) {
    case platform::FlagResult::made:
      held_flags.push_back(made);
      return true;
    case platform::FlagResult::exists:
      report_busy(made);
      return false;
    case platform::FlagResult::failed:
      log_print("! can't create %s: %s\n", made.c_str(), platform::last_error());
      note_run_failure();
      return false;
  }
  return false;
}

void release_busy_flags() {
  for (const std::string& flag : held_flags) {
    if (!platform::remove_file(flag)) {
      log_print("! can't remove %s: %s\n", flag.c_str(), platform::last_error());
      note_run_failure();
    }
  }
  held_flags.clear();
}

// A file of a flavour that is scanned, as the outbound holds it; empty
// when the address has none.
std::string find_outbound_file(const PathText& base) {
  for (const Flavour& flavour : kFlavours) {
    if (flavour.hold && !settings->ExportAllMail) continue;
    for (const char* ext : {flavour.packet, flavour.flow}) {
      std::string name = std::string(base.view()) + ext;
      if (platform::file_exists(name)) return platform::resolve_existing(name);
    }
  }
  return std::string();
}

}  // namespace

void export_listed_packet(AttachmentEntry& e, bool allow_attachments) {
  std::string_view name = without_send_mark(e.name);
  PathText path;
  if (!find_attached_file(name, path)) {
    report_not_found(name);
    export_state.attachment_missing = true;
    e.state = kAttachDone;
    return;
  }
  if (journal_consumes(path) || packet_still_written(path)) {
    e.state = journal_consumes(path) ? kAttachDone : kAttachKept;
    return;
  }
  std::size_t index = static_cast<std::size_t>(&e - &export_state.attachments[0]);
  e.state = kAttachDone;
  PacketOutcome outcome = export_packet_named(path, allow_attachments, true);
  if (outcome == PacketOutcome::not_opened) {
    const char* reason = platform::last_error();
    log_print("! can't open %s: %s\n", platform::shown_path(path).c_str(), reason);
    note_run_failure();
  }
  if (outcome != PacketOutcome::exported) export_state.attachments[index].state = kAttachKept;
}

bool outbound_base_name(const FtnAddress& address, PathText& out) {
  const Settings& s = *settings;
  char buffer[40];
  if (!out.assign(s.OutboundDir)) return false;
  const char separator = platform::separator_of(s.OutboundDir.view());
  if (s.BaseZone != 0 && s.BaseZone != address.zone && !out.empty()) {
    out.truncate(out.size() - 1);
    std::snprintf(buffer, sizeof buffer, ".%03X%c", unsigned{address.zone}, separator);
    if (!out.append(buffer)) return false;
  }
  std::snprintf(buffer, sizeof buffer, "%04X%04X", unsigned{address.net}, unsigned{address.node});
  if (!out.append(buffer)) return false;
  if (address.point != 0) {
    std::snprintf(buffer, sizeof buffer, ".PNT%c%08X", separator, unsigned{address.point});
    if (!out.append(buffer)) return false;
  }
  return true;
}

namespace {

// The files of the flow file that no message took, each with a covering
// message to `address` (when the outbound has a recipient for it).
void send_unclaimed_files(const FtnAddress& address, std::string_view to_name,
                          const PathText& flow_name, bool has_recipient) {
  const Settings& s = *settings;
  for (AttachmentEntry& e : export_state.attachments) {
    if (e.state != kAttachFile) continue;
    PathText found;
    if (!find_attached_file(without_send_mark(e.name), found)) {
      report_not_found(without_send_mark(e.name));
      e.state = kAttachDone;
      continue;
    }
    if (!has_recipient) {
      log_print("! %s: no message carries it and it has no recipient: kept in %s\n",
                platform::shown_path(found).c_str(), platform::shown_path(flow_name).c_str());
      e.state = kAttachKept;
      note_run_failure();
      continue;
    }
    PathText temp_name;
    platform::File cover;
    if (!unique_hex_name(s.TempDir, "PKT", temp_name) ||
        !make_attach_packet(address, to_name, temp_name, listed_name(e.name), cover)) {
      note_run_failure();
      log_print("! can't create a covering packet in %s\n", s.TempDir.c_str());
      e.state = kAttachKept;
      note_run_failure();
      continue;
    }
    // The covering message takes this entry again by its name.
    bool written = cover.seek(0) && export_packet_file(cover, true);
    if (written && e.state == kAttachFile) e.state = kAttachDone;
    if (!written) e.state = kAttachKept;
    cover.close();
    if (!platform::remove_file(temp_name)) {
      log_print("! can't remove %s: %s\n", temp_name.c_str(), platform::last_error());
      note_run_failure();
    }
  }
}

// One flavour of an address's outbound: its packet, the packets its flow
// file lists, the files no message took; the flow file keeps what was not
// sent.
void scan_flavour(const FtnAddress& address, std::string_view to_name, const PathText& packet_name,
                  const PathText& flow_name, bool has_recipient) {
  // A packet still being written may have files in the flow file for
  // messages not yet in it: the flavour waits as a whole.
  if (packet_still_written(packet_name)) return;
  export_state.attachments.clear();
  FlowFile flow;
  bool have_flow = false;
  if (journal_consumes(flow_name)) {
    log_print("! %s was sent by an earlier run but not yet rewritten: left alone\n",
              platform::shown_path(flow_name).c_str());
  } else {
    have_flow = read_flow_file(flow_name, flow);
  }

  // Read to its end or rejected, the packet goes (a rejected one is no
  // mail).
  if (!journal_consumes(packet_name)) export_packet_named(packet_name, true, true);

  // Packets listed in the flow file.
  for (AttachmentEntry& e : export_state.attachments) {
    if (e.state == kAttachPacket) export_listed_packet(e, true);
  }
  send_unclaimed_files(address, to_name, flow_name, has_recipient);

  // The flow file keeps the lines that were not sent; it goes when none is
  // left. Done at the commit, after the reply packet is on disk.
  if (have_flow) {
    std::string kept = kept_flow_lines(flow);
    if (kept != flow.data) {
      journal_rewrite_flow(flow_name, flow.data.size(), crc32(flow.data.data(), flow.data.size()),
                           kept);
    }
  }
  export_state.attachments.clear();
}

}  // namespace

void scan_outbound(const FtnAddress& address, std::string_view to_name) {
  const Settings& s = *settings;
  PathText base;
  if (!outbound_base_name(address, base)) {
    note_run_failure();
    log_print("! outbound name of %s too long\n",
              ftn_address_text(address, PointForm::always).c_str());
    return;
  }
  // The node's files are taken under its busy flag, so that a mailer or a
  // tosser that honours it leaves them alone meanwhile.
  const std::string found_file = find_outbound_file(base);
  if (found_file.empty()) {
    remove_stale_flags(base);
    return;
  }
  if (!take_busy_flag(base, found_file)) return;
  // The covering message of a file that no message takes needs a recipient:
  // the gateway's own outbound has none.
  const bool has_recipient = export_state.target == ExportTarget::route;
  for (const Flavour& flavour : kFlavours) {
    if (flavour.hold && !s.ExportAllMail) continue;
    PathText packet_name;
    PathText flow_name;
    if (!packet_name.assign(base) || !packet_name.append(flavour.packet) ||
        !flow_name.assign(base) || !flow_name.append(flavour.flow)) {
      continue;
    }
    scan_flavour(address, to_name, packet_name, flow_name, has_recipient);
  }
}

void export_pkt_dir() {
  PathText pattern;
  if (!pattern.assign(run_options.packet_dir) || !pattern.append("*.PKT")) return;
  for (const platform::DirEntry& entry : platform::list_directory(pattern)) {
    PathText path;
    if (!path.assign(run_options.packet_dir) || !path.append(entry.name)) continue;
    if (journal_consumes(path) || packet_still_written(path)) continue;
    export_state.target = ExportTarget::undecided;
    export_packet_named(path, false, false);
  }
}

void run_export() {
  node_left_busy = false;
  const Settings& s = *settings;
  allocate_export_work();
  const char* source = "?UT/?LO";
  if (!run_options.packet_dir.empty()) {
    source = "PKT";
  } else if (s.mailer_type == MailerType::arcmail) {
    source = "MSG";
  }
  log_print("Exporting from %s to Soup\n", source);
  // The run's reply files are listed at its commit, after every message
  // has been written; inputs are consumed only after that.
  hold_reply_listing(true, export_reply_journal());
  if (!journal_start()) {
    hold_reply_listing(false);
    return;
  }
  newsfix_start();
  flush_reply_file(kReplyMail);
  flush_reply_file(kReplyNews);
  export_state.stats = ExportStatistics{};

  std::optional<QuickScanStamp> stamp;
  if (!run_options.packet_dir.empty()) {
    export_pkt_dir();
  } else if (s.mailer_type == MailerType::arcmail) {
    stamp = scan_netmail();
  } else {
    export_state.target = ExportTarget::gateway;
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
  // The robot's answers and subscriptions commit with the run.
  bool committed = newsfix_prepare_commit() && journal_commit();
  release_busy_flags();
  hold_reply_listing(false);
  if (committed && stamp) write_quick_scan_stamp(*stamp);

  const ExportStatistics& st = export_state.stats;
  if (st.exported != 0) {
    log_print("-> %ld messages exported\nmail: %-5ld     news: %-5ld", st.exported, st.mail,
              st.news);
    if (!lists().empty()) log_print("     lists: %-5ld", st.lists);
    log_print("\n");
  } else if (!run_failed() && !node_left_busy && newsfix_answer_count() == 0) {
    log_print("No outbound messages found. Nothing to do.\n");
  }
}

}  // namespace quillmar
