// Composition of the FidoNet messages that the import writes into a
// packet: everything of a message except its body. The fields come from
// the message record (`message_work.header`) and the settings.
#pragma once

#include <string_view>

#include "platform/fs.hpp"

namespace quillmar {

// The JUNKMAIL word of a junk reason (1 to 6), or nullptr.
const char* junk_reason_word(int junk_reason);

// Writes the packed message header, the date, names and subject and the
// lines at the top of the text (AREA and the kludges) of one part of the
// message: for part 1 before the first body line, for every further part
// right after the previous part was ended. `kind` is kKindMail, kKindNews
// or kKindList.
void write_message_start(int kind, platform::File& packet, std::string_view attach_list,
                         int junk_reason, bool own_org);

// Writes the tear line and origin line (as KillOrigin allows), the Via
// line of mail or the SEEN-BY and PATH lines of news and list messages,
// and the zero byte that ends the text of one part.
void write_message_end(int kind, platform::File& packet);

}  // namespace quillmar
