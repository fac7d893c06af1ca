// Parsers of Internet header values: address lists with display names,
// message identifiers, newsgroup lists, dates, and the character-level
// routines they share. Values are NUL-terminated texts changed in place;
// every text output holds at most 127 characters.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/bounded_text.hpp"
#include "base/char_class.hpp"
#include "rfc/header_fields.hpp"

namespace quillmar {

// A blank that was escaped with a backslash; restored to a blank on output.
inline constexpr char kProtectedSpace = static_cast<char>(0xFF);

// Removes every backslash; a blank after one becomes a protected space, and
// the character after a removed backslash is taken as it is.
void unescape_text(char* text);
// Every protected space becomes a blank.
void restore_spaces(char* text);
// Removes matching outer double or single quotes, as often as they pair.
void strip_quotes(char* text);
// The text inside its pairs of enclosing quotes (the same kind at both ends).
std::string_view without_quotes(std::string_view text);
// Removes white space (tab, LF, VT, FF, CR, blank) at both ends.
void trim_space(char* text);
// The value without blanks and tabs at its ends, with protected spaces
// restored; an empty or blank value leaves `out` unchanged.
void copy_trimmed(std::string_view value, Text<128>& out);

// Parses a comma-separated address list. The first element's address and
// display name go to `address` and `name` (either may be absent; an output
// that receives nothing keeps its content); for the kinds To, Cc and Bcc
// every element with an address is appended to `recipients` while it has
// room. The value is changed while it is parsed.
void parse_address_list(char* value, Text<128>* address, Text<128>* name, int kind,
                        RecipientTable& recipients);

// The identifier around the first (or, with `last`, the last) at sign,
// without angle brackets; a value without an at sign leaves `out` unchanged.
void extract_identifier(char* value, Text<128>& out, bool last);

// Appends every group of the comma-separated value except `current_area`
// (compared without regard to case) to `groups` while it has room.
void split_newsgroups(std::string_view value, std::string_view current_area,
                      CrossPostTable& groups);

// Reads a Date header value; fields that the value does not reach keep the
// start values (1 January 1970, 00:00:00). The text after the time goes to
// `zone` when given.
void parse_date(char* value, ParsedDate& date, Text<128>* zone);

// Character classes of the attribution-line rule.
inline bool is_mask_separator(char c) {
  return c == ',' || c == ';' || c == '=';
}
inline bool is_mask_closer(char c) {
  return c == '>' || c == ')';
}

}  // namespace quillmar
