// Character sets: the FidoNet names of the CHRS kludge, their names for
// the system's iconv, and recoding between any two of them.
#pragma once

#include <string>
#include <string_view>

namespace quillmar {

struct FidoCharsetInfo {
  const char* chrs;   // the CHRS kludge name, "CP866"
  int level;          // the CHRS level, 2 for 8-bit sets, 4 for UTF-8
  const char* iconv;  // the name iconv knows it by
};

// The FidoNet charset named `name`: its CHRS name ("LATIN-1"), its iconv
// name ("ISO-8859-1") or a common other name ("LATIN1", "KOI8R"), compared
// without regard to case; nullptr when the name is none of them.
const FidoCharsetInfo* find_fido_charset(std::string_view name);

// The iconv name for a CHRS kludge value ("CP866 2", "IBMPC 2") or an
// Internet charset name; the name itself when it is none of the known ones.
std::string iconv_name_of(std::string_view name);

// Whether iconv can convert from `name` to UTF-8.
bool charset_known(std::string_view name);

// Whether `text` is valid UTF-8 (plain ASCII is).
bool is_utf8(std::string_view text);
bool is_ascii(std::string_view text);

// `text` converted from charset `from` to charset `to` (iconv names).
// Characters `to` cannot hold become a readable transliteration or "?",
// bytes that are not valid in `from` become "?"; nothing else is lost.
// An unknown `from` is read as `fallback` (and as ISO-8859-1 when that is
// unknown too); an unknown `to` is UTF-8.
std::string recode(std::string_view text, std::string_view from, std::string_view to,
                   std::string_view fallback = "ISO-8859-1");

// Text of a message in an unknown or undeclared charset as UTF-8: valid
// UTF-8 stays, anything else is read as `declared` when iconv knows it and
// 8-bit text may be in it, else as `fallback`.
std::string to_utf8(std::string_view text, std::string_view declared, std::string_view fallback);

// The longest start of `text` of at most `max` bytes that does not end
// inside a UTF-8 character (for `utf8` text; other text is cut at `max`).
std::string_view cut_text(std::string_view text, std::size_t max, bool utf8);

// Number of characters of UTF-8 text.
std::size_t utf8_length(std::string_view text);

}  // namespace quillmar
