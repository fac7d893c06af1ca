// Reading text in the flowed format of RFC 3676 (Content-Type text/plain;
// format=flowed): paragraphs sent as lines that end in a space, which
// the reader joins and wraps to its own width. (The export writes it as it
// wraps its lines.)
#pragma once

#include <string>
#include <string_view>

namespace quillmar {

// Flowed text (lines ended by "\n", a "\r" before it ignored) as one line
// per paragraph: a line that ends in a space is joined with the next one
// of the same quote depth (without that space when `delsp`); the quote
// marks (">" at the start) are written once per line as ">" times the
// depth and a blank; space-stuffing is removed. A line ending without a
// space, a line before one of another quote depth and the line before a
// signature separator ("-- ", a line of its own) end their paragraph.
std::string unflow_text(std::string_view text, bool delsp);

}  // namespace quillmar
