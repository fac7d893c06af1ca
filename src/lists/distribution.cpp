#include "lists/distribution.hpp"

#include <algorithm>

#include "base/text_helpers.hpp"
#include "base/version.hpp"
#include "fido/address_mapping.hpp"
#include "fido/message_record.hpp"
#include "lists/list_commands.hpp"
#include "rfc/header_words.hpp"
#include "rfc/header_writer.hpp"
#include "soup/reply.hpp"

namespace quillmar {

void write_member_bcc(HeaderWriter& out, ListRecord& list) {
  out.start("Bcc");
  long written = 0;
  for (MemberNode* head : list.chains) {
    for (MemberNode* node = head; node != nullptr; node = node->next) {
      UserRecord member;
      if (!read_user_record(list, *node, member) || member.status == kStatusBarred) continue;
      ++written;
      if (written > 1) out.raw(written % 2 == 0 ? ", " : ",\n   ");
      out.raw("<");
      out.value(member.address);
      out.raw(">");
    }
  }
  out.end();
  close_user_file(list);
}

namespace {

// The header of a posting as the members get it.
void write_posting_header(HeaderWriter& out, ListRecord& list, const MessageHeader& header) {
  std::string_view list_address = list.ListAddress ? list.ListAddress->view() : "";
  write_member_bcc(out, list);
  out.start("From");
  out.value(header.from_address);
  if (!header.from_name.empty()) {
    out.raw(" (");
    // With ModernMime the names and the subject were decoded to UTF-8.
    if (settings->ModernMime) {
      out.folded(encode_header_words(header.from_name.view(), 8 + header.from_address.size()));
    } else {
      out.value(header.from_name);
    }
    out.raw(")");
  }
  out.end();
  out.field("Reply-to", list_address);
  out.field("Sender", list_address);
  out.start("Subject");
  if (settings->ModernMime) {
    out.folded(encode_header_words(header.subject.view(), 9));
  } else {
    out.value(header.subject);
  }
  out.end();

  const ParsedDate& d = header.date;
  int month = d.month % 12;
  out.date(HeaderDate{day_of_week(d.year, month + 1, d.day), d.day, month, d.year, d.hour, d.minute,
                      d.second},
           header.date_zone);
  out.start("Message-ID");
  out.raw("<");
  out.value(header.msgid_ref.id_text);
  out.raw("-");
  out.value(list_address);
  out.raw(">");
  out.end();
  const MessageRef& reply = header.reply_ref;
  if (reply.serial != 0 || !reply.id_text.empty()) {
    out.field("In-Reply-To", message_id_text(reply.id_text, reply.serial, reply.address));
  }
  if (!settings->Organization.empty()) out.field("Organization", settings->Organization);
  out.program("X-MailServer");
  out.field("Mime-version", "1.0");
  if (!header.content_type.empty()) {
    out.field("Content-Type", header.content_type);
  } else {
    out.start("Content-Type");
    out.raw("text/plain; charset=");
    out.value(header.charset.empty() ? std::string_view("us-ascii") : header.charset.view());
    out.end();
  }
  out.field("Content-Transfer-Encoding", header.transfer_encoding.empty()
                                             ? std::string_view("7bit")
                                             : header.transfer_encoding.view());
  out.finish();
}

}  // namespace

bool distribute_posting(ListRecord& list, MessageFile& file, int64_t body_start,
                        int64_t message_end, const ListRequest& request) {
  const MessageHeader& header = request.message;
  UserRecord sender;
  FoundUser found;
  if (!find_user(list, header.from_address, sender, found)) {
    UserRecord user = new_user_record(list, header.from_address, header.from_name);
    send_admin_reply(list, user, list.SubscribeInfo, request);
    return false;
  }
  if (sender.status == kStatusBarred) {
    send_admin_reply(list, sender, list.BlackList, request);
    return false;
  }
  if (sender.status == kStatusReadOnly) {
    send_admin_reply(list, sender, list.ReadOnly, request);
    return false;
  }

  platform::File out;
  if (!open_reply_message(kReplyMail, out)) return true;
  HeaderWriter writer(out);
  write_posting_header(writer, list, header);

  // The body as it stands, up to the end of the message and not a byte
  // further: the next message may follow without a line end between.
  file.seek(body_start);
  for (int64_t position = file.tell(); position < message_end; position = file.tell()) {
    std::size_t room = static_cast<std::size_t>(std::min<int64_t>(message_end - position, 255));
    std::string_view line = file.read_line(room);
    if (line.empty()) break;
    out.write(line);
  }

  close_reply_message(kReplyMail, out);
  if (settings->SeparateMSG) flush_reply_file(kReplyMail);
  return true;
}

}  // namespace quillmar
