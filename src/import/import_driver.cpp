#include "import/import_driver.hpp"

#include <cstdio>
#include <string_view>
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
#include "import/import_journal.hpp"
#include "import/import_state.hpp"
#include "import/message_pass.hpp"
#include "lists/distribution.hpp"
#include "lists/list_commands.hpp"
#include "lists/list_files.hpp"
#include "platform/background_change.hpp"
#include "soup/reply.hpp"
#include "soup/soup_reader.hpp"

namespace quillmar {

ImportState import_state;

namespace {

// Counted failures before the current message; a change means its output
// is incomplete.
long failures_so_far() {
  return reply_write_failures() + decoded_write_failures() + journal_failures() + list_failures();
}

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
  to.killed += from.killed;
}

void print_counters(const ImportCounters& c) {
  if (c.killed > 0) log_print("-> %ld message(s) killed\n", c.killed);
  log_print(
      "-> %ld message(s) imported\nmail: %-5ld     news: %-5ld     lists: %-5ld    junk: %-5ld\n"
      "personal: %-5ld own org: %-5ld  files: %-5ld    ign/txt: %-5ld\n",
      c.imported, c.mail, c.news, c.lists, c.junk, c.personal, c.own_org, c.files, c.ignored_text);
  if (!lists().empty()) {
    log_print("listmsg: %-5ld  listcmd: %-5ld  reply: %-5ld\n", c.list_messages, c.list_commands,
              c.replies);
  }
}

void report_failure(const char* what, std::string_view name) {
  log_print("! %s %.*s: %s\n", what, static_cast<int>(name.size()), name.data(),
            platform::last_error());
  note_run_failure();
}

// Removals in the SOUP directory (a finished file and its journal) wait
// for one sync of the directory, at the latest when the run ends.
bool soup_directory_owed = false;

void put_soup_directory_on_disk() {
  if (!soup_directory_owed) return;
  soup_directory_owed = false;
  if (!platform::sync_directory_of(settings->SoupDir.view())) {
    report_failure("cannot put on disk the directory of", settings->SoupDir.view());
  }
}

// Closes the open packet, on disk; one that holds no message is removed
// again, the others wait in the journal for their final name. False when
// the packet could not be written completely.
bool finish_packet(OutPacket& packet) {
  if (!packet.file.is_open()) return true;
  bool ok = close_packet(packet);
  if (!ok) {
    note_run_failure();
    log_print("! Error writing packet %s\n", packet.name.c_str());
  } else if (packet.message_count == 0) {
    if (!platform::remove_exact(packet.name)) {
      report_failure("cannot remove", packet.name.view());
      return false;
    }
    forget_packet_number(packet.name);
  } else {
    import_state.journal.packets.push_back(CommittedPacket{std::string(packet.name.view()), -1});
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
  if (!create_temp_packet(packet)) return false;
  write_packet_header(packet);
  return true;
}

// Writes the journal unless under /TEST, where no input is consumed.
bool store_journal(const JournalState& state) {
  return run_options.test_mode || write_journal(state);
}

// Commits the messages before `consumed`: their packets (the open one up to
// its current end), list changes, decoded files and replies go on disk, the
// journal says so, and the replies are listed in REPLIES.
bool commit(OutPacket& packet, int64_t consumed) {
  JournalState state = import_state.journal;
  if (packet.file.is_open()) {
    if (!packet.file.sync()) {
      log_print("! Error writing packet %s\n", packet.name.c_str());
      return false;
    }
    state.packets.push_back(CommittedPacket{std::string(packet.name.view()), packet.file.tell()});
  }
  state.consumed = consumed;
  bool replies = reply_message_count(kReplyMail) > 0;
  if (replies) {
    platform::FileIdentity stamp;
    state.reply.assign(reply_file_name(kReplyMail));
    if (!platform::file_identity(state.reply, stamp)) {
      report_failure("cannot examine", state.reply.view());
      return false;
    }
    state.reply_size = stamp.size;
    state.reply_inode = stamp.inode;
    state.open_reply.clear();
  }
  if (!store_journal(state)) return false;
  import_state.journal.consumed = consumed;
  if (!replies) return true;
  flush_reply_file(kReplyMail);
  if (!list_reply_durably(state.reply)) {
    note_run_failure();
    import_state.stopped = true;
    return false;
  }
  state.reply.clear();
  state.open_reply.assign(reply_file_name(kReplyMail));
  import_state.journal.open_reply = state.open_reply;
  return store_journal(state);
}

// Gives every committed packet its final name.
bool publish_packets() {
  for (const CommittedPacket& p : import_state.journal.packets) {
    PathText final_name;
    if (!publish_packet(p.temp, final_name)) return false;
  }
  import_state.journal.packets.clear();
  if (!platform::sync_directory_of(settings->InboundDir.view())) {
    report_failure("cannot put on disk the directory of", settings->InboundDir.view());
    return false;
  }
  return true;
}

void report_verbose(const MessageHeader& h) {
  progress_return();
  log_print("- from %s", h.from_address.c_str());
  if (!equals_nocase(h.from_name.view(), h.from_address.view())) {
    log_print(" (%s)", h.from_name.c_str());
  }
  log_print(" to %s", h.to_address.c_str());
  if (!equals_nocase(h.to_name.view(), h.to_address.view())) log_print(" (%s)", h.to_name.c_str());
  if (!message_work.recipients.empty()) log_print(" et al.");
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
  for (const Text<128>& group : message_work.cross_posts) bound += group.size() + 9;
  for (const Recipient& r : message_work.recipients) bound += r.address.size() + r.name.size() + 12;
  return bound + 256 >= limit;
}

// One message of the file; false when no packet could be made ready (the
// message is then left for a later run).
bool import_message(const SoupArea& area, const MessageExtent& extent, OutPacket& packet) {
  MessageFile& file = *import_state.message_file;
  if (!ready_packet(packet)) return false;
  parse_message(file, extent, area);
  MessageHeader& h = *message_work.header;
  select_chrs();
  complete_header(area);

  bool finished = false;
  bool killed = false;
  if (area.kind == MessageKind::mail) {
    ListTraffic traffic = classify_list_traffic(area);
    if (traffic.kind == ListTrafficKind::command) {
      list_command(lists()[static_cast<std::size_t>(traffic.list_index)], traffic.command,
                   ListRequest{h, import_state.file_counters.replies});
      ++import_state.file_counters.list_commands;
      finished = true;
    }
  }
  if (!finished) {
    choose_area(area);
    apply_recipient_name_rule();
    if (map_import_addresses(h.mailing_list)) ++import_state.file_counters.personal;
    if (test_own_organisation()) {
      finished = killed = true;
    } else {
      FilterOutcome junk = test_junk(area);
      if (junk.junk) ++import_state.file_counters.junk;
      finished = killed = junk.finished;
    }
  }
  if (!finished && h.list_index >= 0) {
    ++import_state.file_counters.list_messages;
    ListRecord& list = lists()[static_cast<std::size_t>(h.list_index)];
    if (!distribute_posting(list, file, h.body_offset, extent.end,
                            ListRequest{h, import_state.file_counters.replies}) ||
        h.area_tag.empty()) {
      finished = true;
    }
  }
  if (!finished) {
    if (h.mailing_list) ++import_state.file_counters.lists;
    if (h.own_org) ++import_state.file_counters.own_org;
    if (h.ignore_text) ++import_state.file_counters.ignored_text;
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
  if (killed && settings->DropKilled) {
    // Consumed, but nothing of it is in the packet: not imported.
    ++import_state.file_counters.killed;
    return true;
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

// Removes an output that was taken back; a failure is reported.
void remove_output(std::string_view name) {
  if (file_exists(name) && !platform::remove_file(name)) report_failure("cannot remove", name);
}

// Gives a claimed file of which nothing is committed its name back and ends
// its journal. When the SOUP program has put a new file under that name,
// the old one stays claimed and its AREAS line finds it first next time.
void unclaim() {
  if (!platform::rename_file(import_state.journal.claimed, import_state.journal.original)) {
    if (file_exists(import_state.journal.original)) {
      log_print("! %s is kept as %s\n", import_state.journal.original.c_str(),
                import_state.journal.claimed.c_str());
    } else {
      report_failure("cannot rename", import_state.journal.claimed.view());
    }
  }
  if (!remove_journal()) import_state.stopped = true;
}

// After a failed message: everything since the last commit is taken back
// (as the next run would after a kill) and the file is kept.
bool take_back(OutPacket& packet) {
  if (packet.file.is_open()) packet.file.close();
  // The reply file is cut back or removed below by its name.
  close_reply_streams();
  log_print("! Message file %s kept: its output could not be written\n",
            import_state.journal.original.c_str());
  note_run_failure();
  if (run_options.test_mode) {
    // Nothing is committed under /TEST: the output of the file simply goes.
    for (const CommittedPacket& p : import_state.journal.packets) remove_output(p.temp);
    if (!packet.name.empty()) remove_output(packet.name);
    for (std::string_view name : decoded_files()) remove_output(name);
    import_state.journal.packets.clear();
    if (reply_message_count(kReplyMail) > 0) remove_output(reply_file_name(kReplyMail));
    drop_reply_file(kReplyMail);
    return false;
  }
  JournalState recovered;
  bool ok = complete_interrupted_import(recovered, true);
  drop_reply_file(kReplyMail);
  if (!ok) {
    import_state.stopped = true;
    return false;
  }
  import_state.journal = recovered;
  if (!import_state.journal.has_claim) return false;
  if (import_state.journal.consumed == 0) {
    unclaim();
    return false;
  }
  // Part of it is committed: the journal keeps the rest for the next run.
  import_state.stopped = true;
  return false;
}

// Imports the file the journal claims, from its committed offset on; false
// when the file is kept for another try (its AREAS line too). A file from
// which nothing was imported stays under its name, and its line goes.
bool import_claimed(long line) {
  MessageFile& file = *import_state.message_file;
  const SoupArea& area = import_state.journal.area;
  if (!open_message_file(area, line, file, import_state.journal.claimed)) {
    note_run_failure();
    if (run_options.test_mode) return false;
    if (import_state.journal.consumed == 0) {
      unclaim();
    } else {
      import_state.stopped = true;
    }
    return false;
  }
  const int64_t start = import_state.journal.consumed;
  const int64_t claimed_size = file.size();
  file.seek(start);
  import_state.file_counters = ImportCounters{};
  forget_decoded_files();
  import_state.journal.packets.clear();
  OutPacket packet;
  bool format_error = false;
  int64_t done = start;
  for (;;) {
    show_progress(file);
    MessageExtent extent;
    ExtentResult r = next_message_extent(file, area.format, extent);
    if (r == ExtentResult::end_of_file) {
      done = claimed_size;
      break;
    }
    if (r == ExtentResult::format_error) {
      format_error = true;
      break;
    }
    long failures_before = failures_so_far();
    if (!import_message(area, extent, packet) || failures_so_far() != failures_before) {
      progress_return();
      file.close();
      return take_back(packet);
    }
    file.seek(extent.end);
    done = extent.end;
    // The files decoded from a file are listed only under /TEST, to be
    // removed when the file fails; otherwise the journal names them.
    if (!run_options.test_mode) forget_decoded_files();
    // One reply per file: the reply is committed with its message.
    if (settings->SeparateMSG && reply_message_count(kReplyMail) > 0 && !commit(packet, done)) {
      progress_return();
      file.close();
      return take_back(packet);
    }
  }
  progress_return();
  file.close();
  if (!finish_packet(packet) || !commit(packet, done)) return take_back(packet);

  // The input goes only now that its packets and replies are committed:
  // its removal and the packets' final names are made at once, as the
  // journal finishes either after a kill.
  const PathText& path = import_state.journal.claimed;
  const bool consumed = !format_error && !run_options.test_mode &&
                        (start > 0 || import_state.file_counters.imported > 0 ||
                         import_state.file_counters.killed > 0 || claimed_size == 0);
  bool grew = false;
  platform::BackgroundChange removal;
  if (consumed) {
    platform::FileIdentity now;
    grew = platform::file_identity(path, now) && now.size > claimed_size;
    if (!grew) removal.start_remove(path);
  }
  if (!publish_packets()) {
    import_state.stopped = true;
    return false;
  }
  bool kept = false;
  if (format_error) {
    PathText bad;
    bad_name(import_state.journal.original.view(), bad);
    if (run_options.test_mode || platform::rename_file(path, bad)) {
      log_print("! Error in message file %s, renamed to %s\n",
                import_state.journal.original.c_str(), bad.c_str());
      if (!run_options.test_mode && !remove_journal()) import_state.stopped = true;
      return true;
    }
    // The file stays, and AREAS with it; the next run finds its format
    // error again. With nothing of it committed it goes back under its
    // name, else the journal keeps it claimed with its committed offset.
    log_print("! Error in message file %s, which could not be renamed to %s: %s\n",
              import_state.journal.original.c_str(), bad.c_str(), platform::last_error());
    note_run_failure();
    if (import_state.journal.consumed == 0 &&
        platform::rename_file(path, import_state.journal.original)) {
      if (!remove_journal()) import_state.stopped = true;
    } else {
      import_state.stopped = true;
    }
    return false;
  }
  if (run_options.test_mode) {
    // Kept as it is.
  } else if (consumed) {
    if (grew) {
      // Written to after the claim: what was added waits for the next run.
      log_print("* %s grew while it was imported; the rest is imported by the next run\n",
                path.c_str());
      import_state.stopped = true;
    } else if (!removal.finish()) {
      report_failure("cannot remove", path.view());
      import_state.stopped = true;
      kept = true;
    } else if (!remove_journal(false)) {
      import_state.stopped = true;
    } else {
      soup_directory_owed = true;
    }
  } else {
    // Nothing imported from it: it goes back under its name.
    unclaim();
  }
  if (!run_options.global_stats) print_counters(import_state.file_counters);
  add_counters(import_state.run_totals, import_state.file_counters);
  return !kept;
}

// The name of an area's message file and its claimed name; false when
// they do not fit.
bool message_file_names(const SoupArea& area, PathText& original, PathText& claimed) {
  return original.assign(settings->SoupDir.view()) && original.append(area.prefix.view()) &&
         claimed.assign(original.view()) && original.append(".MSG") && claimed.append(".") &&
         claimed.append(kClaimedExtension);
}

// Claims every message file a claimed AREAS names, at once: a SOUP program
// that finds no AREAS may unpack its next packet under the same names, and
// must not replace a file this run has still to read. A file that cannot be
// claimed here is tried again (and reported) when its line is imported.
void claim_listed_files(const PathText& areas_path) {
  TextReader areas;
  if (!areas.open(areas_path)) return;  // reported when it is read
  long line = 0;
  SoupArea area;
  for (AreaLine r; (r = read_area_line(areas, line, area, true)) != AreaLine::end_of_file;) {
    PathText original;
    PathText claimed;
    if (r != AreaLine::area || !message_file_names(area, original, claimed)) continue;
    if (!file_exists(original) || platform::exists_exact(claimed)) continue;
    platform::rename_exact(platform::resolve_existing(original), claimed);
  }
  // The claims are put on disk with the journal of the first file, in the
  // same directory: nothing of a claimed file is consumed before a journal
  // is, and a claim lost to a power cut before that only leaves the file
  // under its name for the next run.
}

// Claims the message file of an AREAS line and imports it; false when it
// is kept (AREAS keeps the line). With `claimed_with_areas`, a file found
// claimed is all the line stands for: a file of the line's name that
// appears meanwhile belongs to the SOUP program's next packet.
bool import_area(const SoupArea& area, long line, bool claimed_with_areas) {
  PathText original;
  PathText claimed;
  if (!message_file_names(area, original, claimed)) {
    log_print("Error reading %s%s.MSG (the name is too long)\n", settings->SoupDir.c_str(),
              area.prefix.c_str());
    return true;
  }
  JournalState fresh;
  fresh.has_claim = true;
  fresh.area = area;
  fresh.original = original;
  fresh.open_reply.assign(reply_file_name(kReplyMail));
  if (run_options.test_mode) {
    if (!file_exists(original)) {
      open_message_file(area, line, *import_state.message_file);
      return true;
    }
    fresh.claimed = original;
    import_state.journal = fresh;
    return import_claimed(line);
  }
  // The claimed name is made here, upper case: looked up exactly, so that a
  // SOUP directory of many files is not searched once per file.
  bool kept = false;
  bool any = false;
  if (platform::exists_exact(claimed)) {
    // Claimed by an earlier run and kept: its messages come first.
    any = true;
    import_state.journal = fresh;
    import_state.journal.claimed = claimed;
    if (!write_journal(import_state.journal) || !import_claimed(line)) kept = true;
    if (import_state.stopped) return false;
    if (claimed_with_areas) return !kept;
  }
  if (!file_exists(original)) {
    if (!any) open_message_file(area, line, *import_state.message_file);  // reports it missing
    return !kept;
  }
  if (platform::exists_exact(claimed)) {
    log_print("! %s waits for %s, kept from an earlier run\n", original.c_str(), claimed.c_str());
    return false;
  }
  import_state.journal = fresh;
  import_state.journal.claimed = claimed;
  if (!write_journal(import_state.journal)) {
    log_print("! %s not imported: no journal can be written\n", original.c_str());
    return false;
  }
  if (!platform::rename_exact(platform::resolve_existing(original), claimed)) {
    // A file that cannot be claimed cannot be consumed either: importing it
    // would import it again on every run.
    report_failure("cannot claim", original.view());
    if (!remove_journal()) import_state.stopped = true;
    return false;
  }
  return import_claimed(line) && !kept;
}

// Writes AREAS anew with only `lines`, the lines whose files wait for
// another try; false when that failed (reported).
bool rewrite_areas(const PathText& areas_path, const std::string& lines) {
  PathText temp;
  if (!temp.assign(areas_path.view()) || !temp.append(".TMP")) return false;
  platform::File f;
  bool ok = f.open(temp, platform::OpenMode::write, platform::Share::deny_write) &&
            f.write(lines) && f.sync();
  ok = f.close() && ok;
  if (ok && platform::replace_file(temp, areas_path)) return true;
  platform::name_failed_write(temp.view(), areas_path.view());
  report_failure("cannot rewrite", areas_path.view());
  // What is left of the temporary file goes; that is no change of its own.
  platform::remove_exact(temp);
  return false;
}

// Imports every area of an AREAS file (claimed, or in place under /TEST).
void import_areas(const PathText& areas_path) {
  const bool claimed_with_areas = !run_options.test_mode;
  if (claimed_with_areas) claim_listed_files(areas_path);
  TextReader areas;
  if (!areas.open(areas_path)) {
    report_failure("cannot read", areas_path.view());
    return;
  }
  // The lines that stay: those of files kept for another try, and those of
  // an unknown format, which may name a file a later version reads.
  std::string kept_lines;
  long line = 0;
  SoupArea area;
  while (!import_state.stopped) {
    AreaLine r = read_area_line(areas, line, area);
    if (r == AreaLine::end_of_file) break;
    if (r == AreaLine::rejected) {
      if (area.unknown_format) (kept_lines += area.line.view()) += '\n';
      continue;
    }
    if (!import_area(area, line, claimed_with_areas)) (kept_lines += area.line.view()) += '\n';
  }
  areas.close();
  // Stopped: the claimed AREAS stays for the next run.
  if (run_options.test_mode || import_state.stopped) return;
  PathText original;
  original.assign(settings->SoupDir.view());
  original.append("AREAS");
  if (!kept_lines.empty() && !rewrite_areas(areas_path, kept_lines)) return;
  if (kept_lines.empty()) {
    if (!platform::remove_file(areas_path) || !platform::sync_directory_of(areas_path)) {
      report_failure("cannot remove", areas_path.view());
    } else {
      soup_directory_owed = false;
    }
  } else if (platform::rename_file(areas_path, original)) {
    // The lines that stay are on disk under AREAS before the run ends.
    if (!platform::sync_directory_of(original)) {
      report_failure("cannot put on disk the directory of", original.view());
    } else {
      soup_directory_owed = false;
    }
  } else {
    // The SOUP program has written a new AREAS meanwhile: this one is read
    // first by the next run.
    if (file_exists(original)) {
      log_print("* %s is kept for the next run\n", areas_path.c_str());
    } else {
      report_failure("cannot rename", areas_path.view());
    }
  }
}

// True when `path` is a regular file this run can read.
bool readable_file(std::string_view path) {
  platform::File probe;
  return probe.open(path, platform::OpenMode::read);
}

}  // namespace

void import_soup() {
  log_print("Importing from Soup to PKT\n");
  set_list_journal(import_list_journal());
  import_state.stopped = false;
  reset_packet_names();
  if (!complete_interrupted_import(import_state.journal)) return;
  if (run_options.test_mode) import_state.journal.has_claim = false;
  PathText areas_path;
  PathText claimed_areas;
  areas_path.assign(settings->SoupDir.view());
  areas_path.append("AREAS");
  claimed_areas.assign(settings->SoupDir.view());
  claimed_areas.append(kClaimedAreasName);
  bool leftover = !run_options.test_mode && file_exists(claimed_areas);
  if (!import_state.journal.has_claim && !leftover && !file_exists(areas_path)) {
    log_print("No AREAS found. Nothing to do.\n");
    return;
  }
  if (settings->ImportLimit != 0) settings->ImportLimit -= 512;
  flush_reply_file(kReplyMail);
  flush_reply_file(kReplyNews);
  import_state.run_totals = ImportCounters{};
  if (import_state.message_file == nullptr)
    import_state.message_file = new (alloc_or_exit(sizeof(MessageFile))) MessageFile;

  // What an interrupted run left comes first: its claimed message file,
  // then its claimed AREAS.
  if (import_state.journal.has_claim) {
    import_state.journal.open_reply.assign(reply_file_name(kReplyMail));
    if (write_journal(import_state.journal)) {
      import_claimed(0);
    } else {
      import_state.stopped = true;
    }
  }
  if (!import_state.stopped && leftover) import_areas(claimed_areas);
  if (!import_state.stopped && file_exists(areas_path)) {
    if (run_options.test_mode) {
      import_areas(areas_path);
    } else if (file_exists(claimed_areas)) {
      log_print("* %s waits for %s\n", areas_path.c_str(), claimed_areas.c_str());
    } else if (!readable_file(areas_path)) {
      // Claimed, a file that cannot be read would only stand in the way.
      note_run_failure();
      log_print("! Error reading %s: %s\n", areas_path.c_str(), platform::last_error_text());
    } else if (!platform::rename_file(areas_path, claimed_areas)) {
      // Unclaimed, nothing of it can be consumed: nothing is imported.
      report_failure("cannot claim", areas_path.view());
    } else {
      import_areas(claimed_areas);
    }
  }
  if (!settings->SeparateMSG) {
    flush_reply_file(kReplyMail);
    flush_reply_file(kReplyNews);
  }
  put_soup_directory_on_disk();
  if (import_state.run_totals.imported == 0 && import_state.run_totals.killed == 0 &&
      !run_failed()) {
    log_print("No inbound messages found. Nothing to do.\n");
  } else if (run_options.global_stats) {
    print_counters(import_state.run_totals);
  }
}

}  // namespace quillmar
