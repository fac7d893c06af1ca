#include "export/convert.hpp"

#include "export/conversion.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/char_class.hpp"
#include "base/charset.hpp"
#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/number_scan.hpp"
#include "base/run_options.hpp"
#include "base/text_helpers.hpp"
#include "base/version.hpp"
#include "config/settings.hpp"
#include "export/export_state.hpp"
#include "export/journal.hpp"
#include "export/newsfix.hpp"
#include "fido/address_mapping.hpp"
#include "fido/message_record.hpp"
#include "lists/distribution.hpp"
#include "lists/list_files.hpp"
#include "platform/clock.hpp"
#include "rfc/header_words.hpp"
#include "rfc/header_writer.hpp"
#include "soup/reply.hpp"

namespace quillmar::conversion {

ConvertState state;

}  // namespace quillmar::conversion

namespace quillmar {

using namespace conversion;

namespace {

// Will a file of the attachment list go with the message?
bool has_attachment_to_send() {
  for (const AttachmentEntry& e : export_state.attachments) {
    if (export_state.target == ExportTarget::route || e.state != kAttachPacket) return true;
  }
  return false;
}

// The FidoNet charset's Internet name.
void choose_charset() {
  if (settings->ModernMime) {
    // The text is recoded: from the charset its CHRS kludge names (or the
    // area's) to the configured Internet one.
    std::string fido = settings->FidoCharset;
    for (const AreaCharsetEntry& e : settings->AreaCharset) {
      if (equals_nocase(e.area.view(), state.area.view())) {
        fido = e.charset;
        break;
      }
    }
    state.source_charset = iconv_name_of(
        state.charset_kludge.empty() ? std::string_view(fido) : state.charset_kludge.view());
    state.source_utf8 = equals_nocase(state.source_charset, "UTF-8");
    state.out_charset = settings->ExportCharset;
    return;
  }
  state.out_charset = settings->DefCharSet.view();
  if (state.charset_kludge.empty()) return;
  for (const CharSetMapEntry& e : settings->CharSetMap) {
    if (e.direction == Direction::import_only) continue;
    if (starts_with_nocase(e.fido_name, state.charset_kludge)) {
      state.out_charset = e.internet_name;
      return;
    }
  }
}

// Mail, news or list; false when the message is not exported.
bool choose_kind() {
  const Settings& s = *settings;
  std::string_view area = state.area;
  if (equals_nocase(area, "NETMAIL") || equals_nocase(area, s.EmailArea)) return true;
  state.is_news = true;
  state.newsgroup.clear();
  if (!equals_nocase(area, s.OwnOrgArea) && !equals_nocase(area, s.JunkArea)) {
    for (char c : area) state.newsgroup.push_back(ascii_lower(c));
  }
  for (const AreaMapEntry& e : s.AreaMap) {
    if (e.area.view() != area) continue;
    if (e.direction == Direction::import_only) return false;
    state.newsgroup = e.newsgroup;
    break;
  }
  for (const MailingListEntry& e : s.MailingList) {
    if (!equals_nocase(e.area, area)) continue;
    state.is_news = false;
    state.recipient = e.list_address;
    if (!e.sender_address.empty()) state.from_address = e.sender_address;
    message_work.recipients.clear();
    state.is_mailing_list = true;
    break;
  }
  for (ListRecord& list : lists()) {
    if (list.ListArea && equals_nocase(*list.ListArea, area)) {
      state.is_news = false;
      state.list = &list;
      break;
    }
  }
  return !(state.is_news && state.newsgroup.empty());
}

// The files of a file-attach message, as MIME parts.
void write_attachments(platform::File& out, bool allow_attachments) {
  std::string_view subject = export_state.message->subject;
  std::vector<std::string> encoded;
  while (!subject.empty()) {
    std::size_t space = subject.find(' ');
    std::string_view word = subject.substr(0, space);
    subject = space == std::string_view::npos ? std::string_view() : subject.substr(space + 1);
    if (word.empty()) continue;

    std::string_view name = word;
    bool pass_over = false;
    if (allow_attachments) {
      // Of two listed files with the same name, the one not yet sent is meant.
      std::string_view wanted = base_name(without_send_mark(word));
      AttachmentEntry* found = nullptr;
      for (AttachmentEntry& e : export_state.attachments) {
        if (!equals_nocase(base_name(without_send_mark(e.name)), wanted)) continue;
        if (found == nullptr) found = &e;
        if (e.state != kAttachDone) {
          found = &e;
          break;
        }
      }
      if (found != nullptr) {
        if (found->state == kAttachPacket && export_state.target == ExportTarget::gateway) {
          pass_over = true;
        } else {
          name = found->name;
          found->state = kAttachDone;
        }
      }
    }
    if (pass_over) continue;

    AfterSend mode = AfterSend::keep;
    if (state.kill_file_sent) {
      mode = AfterSend::erase;
    } else if (state.truncate_file_sent) {
      mode = AfterSend::truncate;
    }
    if (!name.empty() && name.front() == '#') mode = AfterSend::truncate;
    if (!name.empty() && name.front() == '^') mode = AfterSend::erase;
    std::string_view wanted = without_send_mark(name);
    if (wanted.empty()) continue;
    // A bare name is also looked for where the tosser leaves files; a file
    // that is nowhere is reported, never silently left out.
    PathText found;
    if (!find_attached_file(wanted, found)) {
      log_print("! attached file %.*s not found\n", static_cast<int>(wanted.size()), wanted.data());
      export_state.attachment_missing = true;
      continue;
    }
    std::string_view path = found;
    // A file named twice goes once; one already sent by this run is gone.
    if (std::find(encoded.begin(), encoded.end(), path) != encoded.end()) continue;
    if (journal_consumes(path)) continue;
    platform::File input;
    if (!input.open(path, platform::OpenMode::read)) {
      log_print("! can't open attached file %s: %s\n", found.c_str(), platform::last_error());
      export_state.attachment_missing = true;
      continue;
    }
    encoded.emplace_back(path);
    encode_attachment(out, input, path, mode);
  }
  out.printf("\n--%s--\n", kMimeBoundary);
}

void print_verbose(long entries) {
  const ExportMessage& m = *export_state.message;
  progress_return();
  log_print("- from %s (%s) to ", ftn_address_text(m.origin, PointForm::always).c_str(),
            m.from_name.c_str());
  if (state.list != nullptr) {
    log_print("%s\n", state.list->ListName ? state.list->ListName->c_str() : "");
  } else if (!state.is_news) {
    log_print("%s%s\n", state.recipient.c_str(),
              entries > (state.is_uucp ? 1 : 0) ? " et al." : "");
  } else {
    log_print("%s newsgroup%s\n", state.newsgroup.c_str(),
              message_work.cross_posts.empty() ? "" : " et al.");
  }
}

// Empties the conversion's state and takes the recipient the target gives.
void start_conversion() {
  const ExportMessage& m = *export_state.message;
  state = ConvertState{};
  message_work.recipients.clear();
  message_work.cross_posts.clear();
  prepare_message_refs(state.msgid_ref, state.reply_ref, m.origin);
  state.area = "NETMAIL";
  if (export_state.target == ExportTarget::gateway) {
    state.is_uucp = equals_nocase(m.to_name, "UUCP");
    state.recipient = m.to_name;
  } else if (export_state.target == ExportTarget::route) {
    state.recipient = m.route_recipient;
  }
  state.scan_serial = static_cast<uint32_t>(platform::now());
}

// An FTN address in the MSGID names the sender more exactly than the
// packet does.
void take_msgid_origin() {
  ExportMessage& m = *export_state.message;
  MessageRef& id = state.msgid_ref;
  if (state.msgid_read && id.id_text.empty() && id.address.zone != 0) {
    m.origin = id.address;
  } else if (!state.msgid_read) {
    id.address = m.origin;
  }
  if (state.msgid_read && id.address.net == m.origin.net && id.address.node == m.origin.node) {
    if (m.origin.point == 0) m.origin.point = id.address.point;
    if (m.origin.zone == 0) m.origin.zone = id.address.zone;
  }
  if (id.serial == 0) id.serial = state.scan_serial;
}

// The MSGID of a command message, for the REPLY kludge of its answer.
std::string command_msgid() {
  const MessageRef& id = state.msgid_ref;
  if (!state.msgid_read) return std::string();
  if (!id.id_text.empty()) return std::string(id.id_text.view());
  char serial[16];
  std::snprintf(serial, sizeof serial, " %08x", id.serial);
  return std::string(ftn_address_text(id.address, PointForm::when_set).view()) + serial;
}

// Recipients named by an Alias get its Internet address.
void apply_aliases() {
  for (const AliasEntry& a : settings->Alias) {
    if (!state.is_uucp && equals_nocase(state.recipient, a.alias)) state.recipient = a.email;
    for (Recipient& r : message_work.recipients) {
      if (equals_nocase(r.address, a.alias)) r.address = a.email;
    }
  }
}

// The sender's Internet address and reply address, unless a gateway line
// or the list named them.
void choose_sender() {
  const ExportMessage& m = *export_state.message;
  if (state.from_address.empty()) {
    map_sender_to_internet(m.origin, m.from_name, state.from_address, state.reply_address);
  }
  if (state.reply_address.empty()) state.reply_address = state.from_address;
}

// The warnings about recipients and cross-posts left out.
void report_limits() {
  const ExportMessage& m = *export_state.message;
  const Text<32> origin_text = ftn_address_text(m.origin, PointForm::always);
  if (state.to_limit) {
    log_print("! To/Copy-limit exceeded in msg from %s (%s)\n", origin_text.c_str(),
              m.from_name.c_str());
  }
  if (state.xpost_limit) {
    log_print("! XPost-limit exceeded in msg from %s (%s)\n", origin_text.c_str(),
              m.from_name.c_str());
  }
  if (state.is_uucp && message_work.recipients.empty()) {
    log_print("! No To-address specified in msg from %s (%s)\n", origin_text.c_str(),
              m.from_name.c_str());
  }
}

// Counts an exported message.
void count_exported() {
  ++export_state.stats.exported;
  ++(state.is_news ? export_state.stats.news : export_state.stats.mail);
  if (state.list != nullptr) ++export_state.stats.lists;
}

// Writes the message into the reply packet: header, body and files. A
// message that cannot be written whole marks its source to be kept.
void write_reply(platform::File& in, bool allow_attachments) {
  const int kind = state.is_news ? kReplyNews : kReplyMail;
  platform::File out;
  if (!open_reply_message(kind, out)) {
    // The message cannot be written: its source must be kept.
    export_state.write_failed = true;
    skip_to_text_end(in);
    return;
  }
  const long entries = static_cast<long>(message_work.recipients.size());
  if (state.is_uucp && !message_work.recipients.empty())
    state.recipient = message_work.recipients[0].address;

  write_header(out);
  message_work.recipients.clear();
  write_body(in, out);
  if (export_state.message->file_attached) write_attachments(out, allow_attachments);

  if (!close_reply_message(kind, out)) {
    export_state.write_failed = true;
    message_work.cross_posts.clear();
    return;
  }
  count_exported();
  if (settings->SeparateMSG) flush_reply_file(kind);

  if (run_options.verbose) print_verbose(entries);
  message_work.cross_posts.clear();
}

}  // namespace

FidoDate parse_fido_date(std::string_view text) {
  platform::LocalTime now = platform::local_time(platform::now());
  FidoDate d;
  d.day = now.day;
  d.month = now.month - 1;
  d.year = now.year;
  d.hour = now.hour;
  d.minute = now.minute;
  d.second = now.second;

  std::string_view s = text;
  int value = 0;
  if (take_int(s, value)) {
    d.day = value;
    skip_spaces(s);
    std::size_t end = 0;
    while (end < s.size() && !is_space(s[end])) ++end;
    if (end != 0) {
      std::string_view month = s.substr(0, end);
      s.remove_prefix(end);
      d.month = 0;
      for (int i = 0; i < 12; ++i) {
        if (month.size() >= 3 && equals_nocase(month.substr(0, 3), kMonthNames[i])) {
          d.month = i;
          break;
        }
      }
      if (take_int(s, value)) {
        // Two-digit years; a year written in full stays as written.
        d.year = value < 80 ? value + 2000 : value < 100 ? value + 1900 : value;
        if (take_int(s, value)) {
          d.hour = value;
          if (take_char(s, ':') && take_int(s, value)) {
            d.minute = value;
            if (take_char(s, ':') && take_int(s, value)) d.second = value;
          }
        }
      }
    }
  }
  d.weekday = day_of_week(d.year, d.month + 1, d.day);
  return d;
}

void convert_message(platform::File& in, bool allow_attachments) {
  const ExportMessage& m = *export_state.message;
  start_conversion();
  scan_header(in);
  take_msgid_origin();
  if (newsfix_is_command(state.area)) {
    newsfix_take_command(in, command_msgid());
    return;
  }
  apply_aliases();
  choose_charset();
  if (!choose_kind()) {
    skip_to_text_end(in);
    return;
  }
  choose_sender();
  if (!check_body(in) && !(m.file_attached && allow_attachments && has_attachment_to_send())) {
    skip_to_text_end(in);
    return;
  }
  if (settings->BounceUnaddressed) {
    bool none = false;
    std::string unaddressed = unaddressed_recipient(none);
    if (none || !unaddressed.empty()) {
      return_to_writer(in, unaddressed);
      return;
    }
  }
  report_limits();
  write_reply(in, allow_attachments);
}

}  // namespace quillmar
