// Pure text helpers shared by every subsystem: CRC-32, dates, character
// conversions, case-insensitive searches, address patterns, FidoNet file
// name forms and placeholder substitution.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quillmar {

// Day names indexed by the day of the week (Sunday = 0), month names by
// the month (January = 0).
inline constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
inline constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

uint32_t crc32(const void* data, std::size_t length);
// The offset of the first of the `size` characters at `text` that is `a`,
// `b` or `c`; `size` when there is none. Sixteen characters are tested at
// once where the processor can.
std::size_t find_first_of3(const char* text, std::size_t size, char a, char b, char c);
// 0 = Sunday ... 6 = Saturday.
int day_of_week(int year, int month, int day);
// 0-63, or -1 for a character outside the base64 alphabet ("-" counts as
// "/", as in the URL-safe form).
inline constexpr signed char kBase64Values[256] = {
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x00
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x10
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 62, -1, 63, -1, 63,  // 0x20 + - /
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, -1, -1, -1, -1, -1, -1,  // 0x30 0-9
    -1, 0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,  // 0x40 A-O
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, -1, -1, -1, -1, -1,  // 0x50 P-Z
    -1, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,  // 0x60 a-o
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, -1, -1, -1, -1, -1,  // 0x70 p-z
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x80 and above
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
inline int base64_value(unsigned char c) {
  return kBase64Values[c];
}
char uu_char(int value);
int letter_number(std::string_view text);
char hex_digit_char(int value);
int hex_value(char c);
int hex_pair_value(std::string_view text);

inline char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
inline char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}
inline bool equals_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    // Mostly the two are the same byte; else only a letter in its other
    // case differs from it in just the bit 0x20.
    const char x = a[i];
    const char y = b[i];
    if (x == y) continue;
    const char lower = static_cast<char>(x | 0x20);
    if ((x ^ y) != 0x20 || lower < 'a' || lower > 'z') return false;
  }
  return true;
}
// The first characters are compared before the rest is looked at.
inline bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  if (prefix.size() > text.size()) return false;
  if (!prefix.empty() && ascii_lower(text[0]) != ascii_lower(prefix[0])) return false;
  return equals_nocase(text.substr(0, prefix.size()), prefix);
}

bool contains_nocase(std::string_view needle, std::string_view text);
// Position of the first whole-word occurrence of `word` in `text`.
std::optional<std::size_t> find_word_nocase(std::string_view word, std::string_view text);
bool address_match(std::string_view pattern, std::string_view address);
bool is_mail_bundle_name(std::string_view name);
int file_name_compare(std::string_view a, std::string_view b);
// The line of `text` at `pos` without its line end (LF or CR LF); `pos`
// moves to the next line (to the end of `text` after the last one).
inline std::string_view next_line(std::string_view text, std::size_t& pos) {
  std::size_t end = text.find('\n', pos);
  std::string_view line =
      text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
  pos = end == std::string_view::npos ? text.size() : end + 1;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// The file name of a path: the text after its last backslash or slash.
std::string_view base_name(std::string_view path);

// Replaces every `placeholder` in the NUL-terminated text of `buffer` (of
// `size` bytes) by `value` ("[unknown]" when absent) while the result fits.
void replace_placeholder(char* buffer, std::size_t size, std::string_view placeholder,
                         const char* value);

}  // namespace quillmar
