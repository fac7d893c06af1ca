#include "lists/distribution.hpp"

#include <algorithm>

#include "export/header_words.hpp"
#include "export/reply.hpp"
#include "fido/address_mapping.hpp"
#include "frame/run.hpp"
#include "frame/text_helpers.hpp"
#include "frame/work.hpp"
#include "lists/list_commands.hpp"

namespace quillmar {

namespace {

// The Bcc line: every member who may receive list mail, two addresses on
// each continuation line.
void write_bcc_line(ListRecord& list, platform::File& out) {
  out.write("Bcc: ");
  long written = 0;
  for (MemberNode* head : list.chains) {
    for (MemberNode* node = head; node != nullptr; node = node->next) {
      UserRecord member;
      if (!read_user_record(list, *node, member) || member.status == kStatusBarred) continue;
      ++written;
      if (written > 1) out.write(written % 2 == 0 ? ", " : ",\n   ");
      out.write("<");
      write_header_text(out, member.address);
      out.write(">");
    }
  }
  out.write("\n");
  close_user_file(list);
}

}  // namespace

bool distribute_posting(ListRecord& list, MessageFile& file, int64_t body_start,
                        int64_t message_end) {
  const MessageHeader& header = *message_header;
  UserRecord sender;
  FoundUser found;
  refresh_list(list);
  if (!find_user(list, header.from_address, sender, found)) {
    UserRecord user = new_user_record(list, header.from_address, header.from_name);
    send_admin_reply(list, user, list.SubscribeInfo);
    return false;
  }
  if (sender.status == kStatusBarred) {
    send_admin_reply(list, sender, list.BlackList);
    return false;
  }
  if (sender.status == kStatusReadOnly) {
    send_admin_reply(list, sender, list.ReadOnly);
    return false;
  }

  platform::File out;
  if (!open_reply_message(kReplyMail, out)) return true;
  std::string_view list_address = list.ListAddress ? list.ListAddress->view() : "";

  write_bcc_line(list, out);
  out.write("From: ");
  write_header_text(out, header.from_address);
  if (!header.from_name.empty()) {
    out.write(" (");
    // With ModernMime the names and the subject were decoded to UTF-8.
    if (settings->ModernMime) {
      // Folded by the encoder, which writes no other line ends.
      out.write(encode_header_words(header.from_name.view(), 8 + header.from_address.size()));
    } else {
      write_header_text(out, header.from_name);
    }
    out.write(")");
  }
  out.write("\nReply-to: ");
  write_header_text(out, list_address);
  out.write("\nSender: ");
  write_header_text(out, list_address);
  out.write("\nSubject: ");
  if (settings->ModernMime) {
    out.write(encode_header_words(header.subject.view(), 9));
  } else {
    write_header_text(out, header.subject);
  }
  out.write("\n");

  const ParsedDate& d = header.date;
  int month = d.month % 12;
  out.printf("Date: %s, %02d %-3s %04d %02d:%02d:%02d",
             kDayNames[day_of_week(d.year, month + 1, d.day)], d.day, kMonthNames[month], d.year,
             d.hour, d.minute, d.second);
  if (!header.date_zone.empty()) {
    out.write(" ");
    write_header_text(out, header.date_zone);
  }
  out.write("\nMessage-ID: <");
  write_header_text(out, header.msgid_ref.id_text);
  out.write("-");
  write_header_text(out, list_address);
  out.write(">\n");
  const MessageRef& reply = header.reply_ref;
  if (reply.serial != 0 || !reply.id_text.empty()) {
    out.write("In-Reply-To: ");
    write_message_id_line(out, reply);
  }
  if (!settings->Organization.empty()) {
    out.write("Organization: ");
    write_header_value(out, settings->Organization);
    out.write("\n");
  }
  out.printf("X-MailServer: Quillmar/%s v%d.%02d\n", kPlatformTag, kVersionMajor, kVersionMinor);
  out.write("Mime-version: 1.0\n");
  if (!header.content_type.empty()) {
    out.write("Content-Type: ");
    write_header_text(out, header.content_type);
    out.write("\n");
  } else {
    out.write("Content-Type: text/plain; charset=");
    write_header_text(
        out, header.charset.empty() ? std::string_view("us-ascii") : header.charset.view());
    out.write("\n");
  }
  out.write("Content-Transfer-Encoding: ");
  write_header_text(out, header.transfer_encoding.empty() ? std::string_view("7bit")
                                                          : header.transfer_encoding.view());
  out.write("\n\n");

  // The body as it stands, up to the end of the message and not a byte
  // further: the next message may follow without a line end between.
  file.seek(body_start);
  for (int64_t position = file.tell(); position < message_end; position = file.tell()) {
    std::size_t room = static_cast<std::size_t>(std::min<int64_t>(message_end - position, 255));
    std::string_view line = file.read_line(room);
    if (line.empty()) break;
    out.write(line);
  }

  // Listed in REPLIES by the import once the message is committed.
  close_reply_message(kReplyMail, out);
  return true;
}

}  // namespace quillmar
