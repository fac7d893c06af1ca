// Conversion of one FidoNet message into one Internet message of the SOUP
// reply packet: mail, news, mail to a MailingList address, or the
// distribution of a list's area to its members.
#pragma once

#include <string_view>

#include "platform/fs.hpp"
#include "rfc/header_writer.hpp"

namespace quillmar {

// A FidoNet date and time ("09 Mar 99  14:05:07") as the Date header
// writes it.
using FidoDate = HeaderDate;

// Reads "%d %s %d %d:%d:%d"; fields that cannot be read keep the current
// local time's values.
FidoDate parse_fido_date(std::string_view text);

// Converts the message of `export_state.message` whose text starts at the
// current position of `in`. On return `in` stands after the NUL that ends
// the text, whether the message was exported or skipped.
void convert_message(platform::File& in, bool allow_attachments);

}  // namespace quillmar
