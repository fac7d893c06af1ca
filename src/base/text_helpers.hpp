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
// 0 = Sunday ... 6 = Saturday.
int day_of_week(int year, int month, int day);
// 0-63, or -1 for a character outside the base64 alphabet.
int base64_value(unsigned char c);
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
bool equals_nocase(std::string_view a, std::string_view b);
bool starts_with_nocase(std::string_view text, std::string_view prefix);

bool contains_nocase(std::string_view needle, std::string_view text);
// Position of the first whole-word occurrence of `word` in `text`.
std::optional<std::size_t> find_word_nocase(std::string_view word, std::string_view text);
bool address_match(std::string_view pattern, std::string_view address);
bool is_mail_bundle_name(std::string_view name);
int file_name_compare(std::string_view a, std::string_view b);
// The file name of a path: the text after its last backslash or slash.
std::string_view base_name(std::string_view path);

// Replaces every `placeholder` in the NUL-terminated text of `buffer` (of
// `size` bytes) by `value` ("[unknown]" when absent) while the result fits.
void replace_placeholder(char* buffer, std::size_t size, std::string_view placeholder,
                         const char* value);

}  // namespace quillmar
