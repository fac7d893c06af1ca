// Character classes of the ASCII text every format is written in, the same
// whatever the locale: the one set of them for the whole program.
#pragma once

namespace quillmar {

inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
inline bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
inline bool is_alnum(char c) {
  return is_digit(c) || is_letter(c);
}
inline bool is_hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
// The value of a hexadecimal digit, or -1 for any other character.
inline int hex_digit_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
// White space as the C library takes it: blank, tab, LF, VT, FF, CR.
inline bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
// White space within and between header lines: blank, tab, CR, LF.
inline bool is_line_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
inline bool is_blank_or_tab(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace quillmar
