// The Internet header of a reply message: addressees, sender, subject,
// identifiers and the MIME fields.
#include "export/conversion.hpp"
#include "export/convert.hpp"

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
#include "fido/address_mapping.hpp"
#include "fido/message_record.hpp"
#include "lists/distribution.hpp"
#include "lists/list_files.hpp"
#include "platform/clock.hpp"
#include "rfc/header_words.hpp"
#include "rfc/header_writer.hpp"
#include "soup/reply.hpp"

namespace quillmar::conversion {

namespace {

// The charset that names the bytes of a header text in the default mode:
// the message's own, or CP437, FidoNet's usual one, where that is only
// "us-ascii" (the text is 8-bit, so it is not).
std::string_view default_header_charset() {
  if (equals_nocase(state.out_charset, "us-ascii")) return "IBM437";
  return state.out_charset;
}

// A header text of the FidoNet message as Internet header text: printable
// ASCII as it stands, anything else as encoded words (news servers refuse
// raw 8-bit header fields): recoded to UTF-8 with ModernMime, else in the
// message's charset. `used` is what the line holds before it.
std::string header_text(std::string_view text, std::size_t used) {
  std::string value = header_value(text);
  if (!settings->ModernMime) return encode_header_words(value, used, default_header_charset());
  return encode_header_words(fido_text_as_utf8(value), used);
}

// Writes a header text of the FidoNet message through the header writer.
void write_text_value(HeaderWriter& out, std::string_view text, std::size_t used) {
  out.folded(header_text(text, used));
}

bool is_plain_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// One recipient as the FidoNet message names it. Printable ASCII stands as
// it is; with 8-bit characters the name ("Name <address>" or "address
// (Name)") goes out as encoded words and the address as it is, and a text
// without an address as encoded words, never as raw 8-bit bytes. `column`
// is where the line stands, and moves on.
void write_recipient(HeaderWriter& out, std::string_view text, std::size_t& column) {
  if (is_plain_ascii(text)) {
    out.value(text);
    column += text.size();
    return;
  }
  std::size_t open = text.find('<');
  std::size_t close = open == std::string_view::npos ? open : text.find('>', open);
  if (close != std::string_view::npos && is_plain_ascii(text.substr(open, close + 1 - open))) {
    std::string_view name = trimmed(text.substr(0, open));
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
      name = name.substr(1, name.size() - 2);
    }
    std::string words = header_text(name, column);
    out.folded(words);
    std::string_view address = text.substr(open, close + 1 - open);
    out.raw(" ");
    out.value(address);
    std::size_t fold = words.rfind('\n');
    column = (fold == std::string::npos ? column + words.size() : words.size() - fold - 1) + 1 +
             address.size();
    return;
  }
  std::size_t paren = text.find('(');
  if (paren != std::string_view::npos && text.back() == ')' &&
      is_plain_ascii(text.substr(0, paren))) {
    std::string_view address = trimmed(text.substr(0, paren));
    out.value(address);
    out.raw(" (");
    std::string words =
        header_text(text.substr(paren + 1, text.size() - paren - 2), column + address.size() + 2);
    out.folded(words);
    out.raw(")");
    column = 76;  // the next entry goes on a line of its own
    return;
  }
  std::string words = header_text(text, column);
  out.folded(words);
  column = 76;
}

// The entries of one kind, with a line break before every third entry
// that follows earlier text.
void write_recipients(HeaderWriter& out, uint8_t kind, bool first_follows_text,
                      std::size_t column) {
  long written = 0;
  for (const Recipient& r : message_work.recipients) {
    if (r.kind != kind) continue;
    if (written != 0 || first_follows_text) {
      bool fold = written % 3 == 0;
      out.raw(fold ? ",\n    " : ", ");
      column = fold ? 4 : column + 2;
    }
    write_recipient(out, r.address.view(), column);
    ++written;
  }
}

bool has_kind(uint8_t kind) {
  for (const Recipient& r : message_work.recipients) {
    if (r.kind == kind) return true;
  }
  return false;
}

bool subject_names_bundle(std::string_view subject) {
  while (!subject.empty()) {
    std::size_t space = subject.find(' ');
    if (is_mail_bundle_name(subject.substr(0, space))) return true;
    if (space == std::string_view::npos) break;
    subject.remove_prefix(space + 1);
  }
  return false;
}

// A line break inside a header value becomes a blank, so that no field or
// text line of a FidoNet message can add header lines of its own.
template <std::size_t N>
void make_one_line(Text<N>& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') text.set(i, ' ');
  }
}

// Every value of the message that goes into its header, on one line.
void make_header_values_one_line() {
  ExportMessage& message = *export_state.message;
  for (Text<128>* value :
       {&state.recipient, &state.from_address, &state.reply_address, &state.newsgroup,
        &message.to_name, &message.from_name, &message.subject, &message.route_subject,
        &state.msgid_ref.id_text, &state.reply_ref.id_text}) {
    make_one_line(*value);
  }
  for (Recipient& r : message_work.recipients) make_one_line(r.address);
  for (Text<128>& group : message_work.cross_posts) make_one_line(group);
}

// The addressees: the list's members, the recipients of mail, or the
// newsgroups.
void write_addressees(HeaderWriter& out) {
  const ExportMessage& m = *export_state.message;
  if (state.list != nullptr) {
    write_member_bcc(out, *state.list);
  } else if (!state.is_news) {
    out.start("To");
    std::size_t column = 4;
    if (!state.is_uucp) {
      write_recipient(out, state.recipient, column);
      if (export_state.target == ExportTarget::route && !m.to_name.empty()) {
        out.raw(" (");
        write_text_value(out, m.to_name, 6 + state.recipient.size());
        out.raw(")");
      }
    }
    write_recipients(out, kAddressTo, !state.is_uucp, column);
    out.end();
    if (has_kind(kAddressCc)) {
      out.start("Cc");
      write_recipients(out, kAddressCc, false, 4);
      out.end();
    }
    if (has_kind(kAddressBcc)) {
      out.start("Bcc");
      write_recipients(out, kAddressBcc, false, 5);
      out.end();
    }
  } else {
    out.start("Newsgroups");
    out.value(state.newsgroup);
    for (const Text<128>& group : message_work.cross_posts) {
      out.raw(",");
      out.value(group);
    }
    out.end();
  }
}

// Sender, reply address and subject.
void write_origin_lines(HeaderWriter& out) {
  const Settings& s = *settings;
  const ExportMessage& m = *export_state.message;
  out.start("From");
  if (state.is_news) out.value(s.NoSpamText);
  out.value(state.from_address);
  out.raw(" (");
  std::size_t from_used = 8 + (state.is_news ? s.NoSpamText.size() : 0) + state.from_address.size();
  write_text_value(out, m.from_name, from_used);
  out.raw(")");
  out.end();
  if (state.list == nullptr) {
    out.start("Reply-to");
    out.value(state.reply_address);
    out.raw(" (");
    write_text_value(out, m.from_name, 12 + state.reply_address.size());
    out.raw(")");
    out.end();
  } else {
    std::string_view list_address =
        state.list->ListAddress ? state.list->ListAddress->view() : std::string_view();
    out.field("Reply-to", list_address);
    out.field("Sender", list_address);
  }
  std::string_view subject = m.subject;
  if (m.file_attached && export_state.target == ExportTarget::route && !m.route_subject.empty() &&
      subject_names_bundle(m.subject)) {
    subject = m.route_subject;
  }
  out.start("Subject");
  write_text_value(out, subject, 9);
  out.end();
}

// Date, identifiers, organisation and the gateway's own fields.
void write_message_lines(HeaderWriter& out) {
  const Settings& s = *settings;
  const ExportMessage& m = *export_state.message;
  out.date(parse_fido_date(m.date_time), s.TimeZone);

  // The identifiers are put together in a buffer kept for the run.
  static std::string id;
  auto identifier = [](const MessageRef& ref) -> std::string_view {
    id.clear();
    append_message_id(id, ref.id_text, ref.serial, ref.address);
    id.pop_back();  // its line end
    return id;
  };
  out.field("Message-ID", identifier(state.msgid_ref));
  if (state.reply_ref.serial != 0 || !state.reply_ref.id_text.empty()) {
    out.field(state.is_news ? "References" : "In-Reply-To", identifier(state.reply_ref));
  }
  if (!s.Organization.empty()) out.field("Organization", s.Organization);
  if (!m.to_name.empty() && (state.is_news || state.list != nullptr || state.is_mailing_list)) {
    out.start("X-Comment-To");
    write_text_value(out, m.to_name, 14);
    out.end();
  }
  if (!state.is_news && export_state.target == ExportTarget::route && !m.route_password.empty()) {
    out.field("X-MailPassword", m.route_password);
  }
  out.program(state.list != nullptr ? "X-MailServer" : "X-MailConverter");
}

// The MIME fields, and the start of the text part of a message with files.
void write_content_lines(HeaderWriter& out) {
  const Settings& s = *settings;
  out.field("Mime-version", "1.0");
  if (export_state.message->file_attached) {
    out.start("Content-Type");
    out.raw("multipart/mixed; boundary=\"");
    out.raw(kMimeBoundary);
    out.raw("\"");
    out.end();
    out.raw("\n--");
    out.raw(kMimeBoundary);
    out.raw("\n");
  }
  out.start("Content-Type");
  out.raw("text/plain; charset=");
  out.value(state.out_charset);
  // Paragraphs go out as flowed text, so that every reader wraps them.
  if (s.ModernMime) out.raw("; format=flowed; delsp=yes");
  out.end();
  if (!state.has_8bit) {
    out.field("Content-Transfer-Encoding", "7bit");
  } else {
    out.field("Content-Transfer-Encoding", s.UseQP ? "quoted-printable" : "8bit");
  }
  out.finish();
}

}  // namespace

// FidoNet text as UTF-8: in the charset of its CHRS kludge (or of the
// area), and as IBMPC when text said to be UTF-8 is not.
std::string fido_text_as_utf8(std::string_view text) {
  return to_utf8(text, state.source_charset, "CP437");
}

void write_header(platform::File& file) {
  make_header_values_one_line();
  HeaderWriter out(file);
  write_addressees(out);
  write_origin_lines(out);
  write_message_lines(out);
  write_content_lines(out);
}

}  // namespace quillmar::conversion
