#include "import/import_driver.hpp"

#include <cstdio>
#include <vector>

#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"
#include "fido/address_mapping.hpp"
#include "fido/message_record.hpp"
#include "fido/packet_writer.hpp"
#include "import/classify.hpp"
#include "import/import_state.hpp"
#include "import/message_pass.hpp"
#include "import/statistics.hpp"
#include "lists/distribution.hpp"
#include "lists/list_commands.hpp"
#include "lists/list_files.hpp"
#include "soup/reply.hpp"
#include "soup/soup_reader.hpp"

namespace quillmar {

ImportState import_state;

namespace {

void add_counters(ImportCounters& to, const ImportCounters& from) {
  to.imported += from.imported;
  to.mail += from.mail;
  to.news += from.news;
  to.lists += from.lists;
  to.junk += from.junk;
  to.personal += from.personal;
  to.own_org += from.own_org;
  to.files += from.files;
  to.ignored_text += from.ignored_text;
  to.list_messages += from.list_messages;
  to.list_commands += from.list_commands;
  to.replies += from.replies;
}

void print_counters(const ImportCounters& c) {
  log_print(
      "-> %ld message(s) imported\nmail: %-5ld     news: %-5ld     lists: %-5ld    junk: %-5ld\n"
      "personal: %-5ld own org: %-5ld  files: %-5ld    ign/txt: %-5ld\n",
      c.imported, c.mail, c.news, c.lists, c.junk, c.personal, c.own_org, c.files, c.ignored_text);
  if (!lists().empty()) {
    log_print("listmsg: %-5ld  listcmd: %-5ld  reply: %-5ld\n", c.list_messages, c.list_commands,
              c.replies);
  }
}

// Closes the open packet; one that holds no message is removed again.
// False when the packet could not be written completely.
bool finish_packet(OutPacket& packet) {
  if (!packet.file.is_open()) return true;
  bool ok = close_packet(packet);
  if (!ok) {
    note_run_failure();
    log_print("! Error writing packet %s\n", packet.name.c_str());
  } else if (packet.message_count == 0) {
    platform::remove_file(packet.name);
  }
  return ok;
}

// A packet that is open and has room for the next message.
bool ready_packet(OutPacket& packet) {
  const uint32_t limit = settings->MaxPKTSize;
  if (packet.file.is_open()) {
    long size = packet.file.tell();
    if (limit == 0 || static_cast<uint64_t>(size / 1024) + 2 < limit) return true;
    if (!finish_packet(packet)) return false;
  }
  // A new name, created new: a packet of the same name written meanwhile
  // by another program is never overwritten.
  for (int attempt = 0; attempt < 16; ++attempt) {
    if (!unique_hex_name(settings->InboundDir.view(), "PKT", packet.name)) break;
    if (packet.file.open(packet.name, platform::OpenMode::create_new,
                         platform::Share::deny_write)) {
      import_state.file_packets.push_back(packet.name);
      write_packet_header(packet);
      return true;
    }
    if (!file_exists(packet.name)) break;
  }
  note_run_failure();
  log_print("Error writing packet %s\n", packet.name.c_str());
  return false;
}

void report_verbose(const MessageHeader& h) {
  progress_return();
  log_print("- from %s", h.from_address.c_str());
  if (!equals_nocase(h.from_name.view(), h.from_address.view())) {
    log_print(" (%s)", h.from_name.c_str());
  }
  log_print(" to %s", h.to_address.c_str());
  if (!equals_nocase(h.to_name.view(), h.to_address.view())) log_print(" (%s)", h.to_name.c_str());
  if (!recipient_table.empty()) log_print(" et al.");
  log_print("\n");
}

// Whether the write pass may split the message or will not decode the
// attachments the parse pass counted: then the parts are counted again.
bool needs_recount(const MessageHeader& h, const MessageExtent& extent) {
  if (h.has_attachments && h.junk_reason != kJunkNone) return true;
  const uint32_t limit = settings->ImportLimit;
  if (limit == 0) return false;
  // No line grows to more than twice its size in the FidoNet text; the
  // header information block adds what the tables hold.
  uint64_t bound = 2 * static_cast<uint64_t>(extent.end - extent.start) + 1024;
  for (const Text<128>& group : cross_post_table) bound += group.size() + 9;
  for (const Recipient& r : recipient_table) bound += r.address.size() + r.name.size() + 12;
  return bound + 256 >= limit;
}

// One message of the file; false when no packet could be made ready (the
// message is then left for a later run).
bool import_message(const SoupArea& area, const MessageExtent& extent, OutPacket& packet) {
  MessageFile& file = *import_state.message_file;
  if (!ready_packet(packet)) return false;
  parse_message(file, extent, area);
  MessageHeader& h = *message_header;
  select_chrs();
  complete_header(area);

  bool finished = false;
  if (area.kind == MessageKind::mail) {
    ListTraffic traffic = classify_list_traffic(area);
    if (traffic.kind == ListTrafficKind::command) {
      list_command(
          lists()[static_cast<std::size_t>(traffic.list_index)], traffic.command,
          ListRequest{h,
                      import_state.file_counters.replies});
      ++import_state.file_counters.list_commands;
      finished = true;
    }
  }
  if (!finished) {
    choose_area(area);
    apply_recipient_name_rule();
    if (map_import_addresses(h.mailing_list))
      ++import_state.file_counters.personal;
    if (test_own_organisation()) {
      finished = true;
    } else {
      FilterOutcome junk = test_junk(area);
      if (junk.junk) ++import_state.file_counters.junk;
      finished = junk.finished;
    }
  }
  if (!finished && h.list_index >= 0) {
    ++import_state.file_counters.list_messages;
    ListRecord& list = lists()[static_cast<std::size_t>(h.list_index)];
    if (!distribute_posting(
            list, file, h.body_offset, extent.end,
            ListRequest{
                h, import_state.file_counters.replies}) ||
        h.area_tag.empty()) {
      finished = true;
    }
  }
  if (!finished) {
    if (h.mailing_list) ++import_state.file_counters.lists;
    if (h.own_org) ++import_state.file_counters.own_org;
    if (h.ignore_text)
      ++import_state.file_counters.ignored_text;
    if (h.junk_reason == kJunkNone && !h.mailing_list && !h.own_org && !h.ignore_text &&
        h.list_index < 0) {
      if (h.category == kKindNews) {
        ++import_state.file_counters.news;
      } else {
        ++import_state.file_counters.mail;
        if (run_options.verbose) report_verbose(h);
      }
    }
    if (needs_recount(h, extent)) recount_message(file, extent, area);
    write_imported_message(h.ignore_text, h.category, h.own_org, h.junk_reason, h.cut_marker, file,
                           packet, extent, area);
  }
  ++import_state.file_counters.imported;
  ++packet.message_count;
  return true;
}

// The name a message file with a format error is renamed to.
void bad_name(std::string_view path, PathText& out) {
  std::size_t dot = path.rfind('.');
  std::size_t sep = path.find_last_of("\\/");
  if (dot == std::string_view::npos || (sep != std::string_view::npos && dot < sep)) {
    dot = path.size();
  }
  out.assign(path.substr(0, dot));
  out.append(".BAD");
}

// One message file of the packet; false when it must be kept because its
// output could not be written.
bool import_message_file(const SoupArea& area) {
  MessageFile& file = *import_state.message_file;
  import_state.file_counters = ImportCounters{};
  import_state.file_packets.clear();
  forget_decoded_files();
  OutPacket packet;
  bool format_error = false;
  bool write_failed = false;
  for (;;) {
    show_progress(file);
    MessageExtent extent;
    ExtentResult r = next_message_extent(file, area.format, extent);
    if (r == ExtentResult::end_of_file) break;
    if (r == ExtentResult::format_error) {
      format_error = true;
      break;
    }
    long failures_before = reply_write_failures() + decoded_write_failures();
    if (!import_message(area, extent, packet) ||
        reply_write_failures() + decoded_write_failures() != failures_before) {
      write_failed = true;
      break;
    }
    file.seek(extent.end);
  }
  if (!finish_packet(packet)) write_failed = true;
  progress_return();
  int64_t size = file.size();
  file.close();

  PathText path;
  path.assign(settings->SoupDir.view());
  path.append(area.prefix.view());
  path.append(".MSG");
  if (write_failed) {
    // Nothing of the file is lost: it stays for the next run, and no part of
    // it is left behind in the inbound.
    if (packet.file.is_open()) packet.file.close();
    for (const PathText& name : import_state.file_packets)
      platform::remove_file(name);
    for (const PathText& name : decoded_files()) platform::remove_file(name);
    note_run_failure();
    log_print("! Message file %s kept: its output could not be written\n", path.c_str());
    return false;
  }
  if (format_error) {
    PathText bad;
    bad_name(path.view(), bad);
    if (run_options.test_mode || platform::rename_file(path, bad)) {
      log_print("! Error in message file %s, renamed to %s\n", path.c_str(), bad.c_str());
      return true;
    }
    // The file stays under its name, and AREAS with it.
    note_run_failure();
    log_print("! Error in message file %s, which could not be renamed to %s\n", path.c_str(),
              bad.c_str());
    return false;
  }
  if (!run_options.test_mode &&
      (import_state.file_counters.imported > 0 ||
       size == 0)) {
    platform::remove_file(path);
  }
  if (!run_options.global_stats)
    print_counters(import_state.file_counters);
  add_counters(import_state.run_totals,
               import_state.file_counters);
  return true;
}

}  // namespace

void import_soup() {
  log_print("Importing from Soup to PKT\n");
  PathText areas_path;
  areas_path.assign(settings->SoupDir.view());
  areas_path.append("AREAS");
  TextReader areas;
  if (!areas.open(areas_path)) {
    if (platform::file_exists(areas_path)) {
      note_run_failure();
      log_print("! Error reading %s: %s\n", areas_path.c_str(), platform::last_error_text());
      return;
    }
    log_print("No AREAS found. Nothing to do.\n");
    return;
  }
  if (settings->ImportLimit != 0) settings->ImportLimit -= 512;
  flush_reply_file(kReplyMail);
  flush_reply_file(kReplyNews);
  import_state.run_totals = ImportCounters{};
  if (import_state.message_file == nullptr)
    import_state.message_file =
        new (alloc_or_exit(sizeof(MessageFile))) MessageFile;

  bool unknown_format = false;
  bool kept = false;
  long line = 0;
  SoupArea area;
  for (;;) {
    AreaLine r = read_area_line(areas, line, area);
    if (r == AreaLine::end_of_file) break;
    if (r == AreaLine::rejected) {
      // A line of an unknown format may name a file a later version reads.
      if (area.unknown_format) unknown_format = true;
      continue;
    }
    if (!open_message_file(area, line,
                           *import_state.message_file))
      continue;
    if (!import_message_file(area)) kept = true;
  }
  areas.close();
  if (!run_options.test_mode && !unknown_format && !kept) platform::remove_file(areas_path);
  if (!settings->SeparateMSG) {
    flush_reply_file(kReplyMail);
    flush_reply_file(kReplyNews);
  }
  if (import_state.run_totals.imported == 0 &&
      !run_failed()) {
    log_print("No inbound messages found. Nothing to do.\n");
  } else if (run_options.global_stats) {
    print_counters(import_state.run_totals);
  }
}

}  // namespace quillmar
