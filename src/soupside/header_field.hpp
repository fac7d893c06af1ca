// Header fields of a message as quillmar-soup reads them.
#pragma once

#include <string>
#include <string_view>

namespace quillmar {

// The value of the first header field `name` (without regard to case) of
// the message's header block, blanks around it removed.
std::string header_value(std::string_view message, std::string_view name);

// True when `id` looks like a Message-ID that a history can keep: "<...>",
// no blank or control character, at most 250 characters.
bool is_message_id(std::string_view id);

}  // namespace quillmar
