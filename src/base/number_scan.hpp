// Reading numbers out of text: the one set of number scanners, each
// reading the way a scanf conversion does and never past the text.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/char_class.hpp"

namespace quillmar {

// The digits at the start of `text` (no white space, no sign), taken off
// it; the value wraps around modulo the range of `Number`. Nothing when the
// text does not start with a digit.
template <class Number>
std::optional<Number> take_digits(std::string_view& text) {
  if (text.empty() || !is_digit(text.front())) return std::nullopt;
  Number value = 0;
  while (!text.empty() && is_digit(text.front())) {
    value = static_cast<Number>(value * 10u + static_cast<unsigned>(text.front() - '0'));
    text.remove_prefix(1);
  }
  return value;
}

// Reads an unsigned number the way "%u" does: leading white space, an
// optional sign, digits (a minus wraps around). False when no digit follows.
bool scan_unsigned(std::string_view& text, uint32_t& out);
// Reads a signed number the way "%d" does.
bool scan_signed(std::string_view& text, long& out);
// Reads a 16-bit number the way "%hu" does: leading white space, digits
// taken modulo 65536. False when no digit follows.
bool scan_u16(std::string_view& text, uint16_t& out);

}  // namespace quillmar
