// Text in the flowed format of RFC 3676 (Content-Type text/plain;
// format=flowed): paragraphs sent as lines that end in a space, which
// the reader joins and wraps to its own width.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillmar {

// Flowed text (lines ended by "\n", a "\r" before it ignored) as one line
// per paragraph: a line that ends in a space is joined with the next one
// of the same quote depth (without that space when `delsp`); the quote
// marks (">" at the start) are written once per line as ">" times the
// depth and a blank; space-stuffing is removed. A line ending without a
// space, a signature separator ("-- ") and a line before one of another
// quote depth end their paragraph.
std::string unflow_text(std::string_view text, bool delsp);

// Text of paragraphs (one line each, or lines wrapped at any width) as
// flowed lines of at most `width` characters where words allow: long
// lines are broken after a blank, which stays at the end of the line
// (DelSp=no); lines that start with a blank, ">" or "From " are
// space-stuffed; trailing blanks of a line that ends a paragraph are
// removed, so that it does not flow. A signature separator ("-- ") is
// kept as it is. Lines are ended by "\n".
std::string flow_text(std::string_view text, std::size_t width);

}  // namespace quillmar
