// 8-bit header text for Internet mail: RFC 2047 encoded words.
#pragma once

#include <string>
#include <string_view>

namespace quillmar {

// `text` as header text: unchanged when it is printable ASCII, else as
// "=?UTF-8?B?...?=" words (of whole characters), or words of `charset`
// (of whole bytes: a single-byte charset), one per line, folded with a
// line feed and a blank so that no line grows past 76 characters; `used`
// is the number of characters already on the first line. The first word
// goes on a folded line of its own when it would not fit.
std::string encode_header_words(std::string_view text, std::size_t used,
                                std::string_view charset = "UTF-8");

}  // namespace quillmar
