// Netmail to a name that is no Internet address (BounceUnaddressed): it is
// not written as a mail that could only go astray, but returned to its
// writer as a netmail that says how Internet mail is addressed.
#include "export/conversion.hpp"
#include "export/convert.hpp"

#include <cstdio>
#include <string>
#include <vector>

#include "base/file_helpers.hpp"
#include "base/ftn_address.hpp"
#include "base/log.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"
#include "export/export_state.hpp"
#include "export/journal.hpp"
#include "fido/notice_packet.hpp"
#include "platform/clock.hpp"
#include "rfc/internet_address.hpp"

namespace quillmar::conversion {

namespace {

// Whether every address a recipient text names is an Internet address
// (and it names one).
bool names_only_addresses(std::string_view text) {
  std::vector<std::string> addresses = recipient_addresses(text);
  if (addresses.empty()) return false;
  for (const std::string& a : addresses) {
    if (!is_internet_address(a)) return false;
  }
  return true;
}

std::string message_text(std::string_view to, std::string_view reason) {
  const Settings& s = *settings;
  std::string gateway(ftn_address_text(s.FidoAddr, PointForm::when_set).view());
  std::string text =
      "Your netmail to \"" + std::string(to) + "\" was not sent: " + std::string(reason) + ".\r\r";
  text += "Internet mail is netmail to UUCP at " + gateway +
          " whose text begins with a line\r"
          "that names the Internet address, followed by an empty line:\r\r"
          "  To: name@example.com\r\r"
          "or, with the name beside it:\r\r"
          "  To: Name <name@example.com>\r\r"
          "Further To:, Copy: and BCopy: lines may follow the first.\r\r";
  std::string_view subject = export_state.message->subject;
  text += "The subject of your netmail was: " + std::string(subject) + "\r";
  return text;
}

}  // namespace

std::string unaddressed_recipient(bool& none) {
  none = false;
  if (state.is_news || state.list != nullptr || state.is_mailing_list ||
      export_state.target != ExportTarget::gateway) {
    return std::string();
  }
  bool entries = false;
  for (const Recipient& r : message_work.recipients) {
    entries = true;
    if (!names_only_addresses(r.address)) return std::string(r.address.view());
  }
  if (state.is_uucp) {
    none = !entries;
    return std::string();
  }
  if (names_only_addresses(state.recipient)) return std::string();
  // A name with gateway lines that give the addresses: those are the
  // recipients, as for UUCP.
  if (entries) {
    state.is_uucp = true;
    return std::string();
  }
  return std::string(state.recipient.view());
}

void return_to_writer(platform::File& in, std::string_view recipient) {
  const ExportMessage& m = *export_state.message;
  const Settings& s = *settings;
  skip_to_text_end(in);
  std::string reason;
  if (recipient.empty()) {
    reason = "it names no Internet address";
  } else {
    reason.append(1, '"').append(recipient).append("\" is not an Internet address");
  }
  std::string to = recipient.empty() ? std::string(m.to_name.view()) : std::string(recipient);
  std::string text = message_text(to, reason);
  std::string reply;
  if (state.msgid_read) {
    const MessageRef& id = state.msgid_ref;
    char serial[16];
    std::snprintf(serial, sizeof serial, " %08lx", static_cast<unsigned long>(id.serial));
    reply = id.id_text.empty() ? std::string(ftn_address_text(id.address, PointForm::always).view())
                               : std::string(id.id_text.view());
    reply += serial;
  }
  std::string subject = "Returned: " + std::string(m.subject.view());
  Notice n;
  n.from = s.FidoAddr;
  n.to = m.origin;
  n.from_name = "Quillmar";
  n.to_name = m.from_name;
  n.subject = subject;
  n.text = text;
  n.reply_to = reply;
  n.serial = static_cast<uint32_t>(platform::now()) ^ crc32(text.data(), text.size());

  PathText path;
  std::string shown_origin(ftn_address_text(m.origin, PointForm::always).view());
  if (!unique_hex_name(s.InboundDir.view(), "BNC", path) || !journal_note_notice(path.view()) ||
      !write_notice_packet(path.view(), n) || !journal_post_notice(path.view())) {
    log_print("! netmail from %s (%s) to \"%s\" cannot be returned: %s\n", shown_origin.c_str(),
              m.from_name.c_str(), to.c_str(), platform::last_error());
    export_state.write_failed = true;
    return;
  }
  log_print("* netmail from %s (%s) returned to its writer: %s\n", shown_origin.c_str(),
            m.from_name.c_str(), reason.c_str());
}

}  // namespace quillmar::conversion
