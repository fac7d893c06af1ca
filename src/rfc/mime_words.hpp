// Reading MIME header values: encoded words in header text, and the
// parameters of Content-Type and Content-Disposition (quoted strings,
// continuations and charset-tagged values).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmar {

// Header text as UTF-8: encoded words ("=?charset?B?...?=", "?Q?") are
// decoded (control characters in them as blanks) and the white space
// between two of them dropped; other 8-bit
// text stays when it is UTF-8 and is read as `fallback` otherwise.
std::string decode_header_text(std::string_view text, std::string_view fallback);

// A Content-Type or Content-Disposition value.
struct MimeField {
  std::string value;  // "text/plain", "attachment": lower case, without parameters
  std::vector<std::pair<std::string, std::string>> params;  // names in lower case

  // A parameter's value, as UTF-8; empty when it is missing.
  std::string param(std::string_view name) const;
};

// The quoted string at the start of `text` (its first character is the
// opening double quote) without its quotes: only a backslash before a
// double quote or a backslash is an escape; any other backslash stays, as
// in a DOS path. `length` becomes the number of characters taken, the
// closing quote included (all of `text` when it has none).
std::string unquote_mime_string(std::string_view text, std::size_t& length);

// Parses `text`; parameter values lose their quotes, split values are
// joined, and "name*=charset'lang'%XX" values and encoded words in them
// are decoded to UTF-8 (undeclared 8-bit text is read as `fallback`). A
// parameter's raw charset is kept under its name for "charset".
MimeField parse_mime_field(std::string_view text, std::string_view fallback);

// The bytes of base64 text: characters outside the alphabet are skipped,
// padding ends the data, and a last group of two or three characters gives
// what it can.
std::string decode_base64_text(std::string_view text);

// Whether the body of a text part labelled base64 is plainly not base64
// but text: a character other than those of the alphabet, "=" and white
// space at the line ends (a blank between two words, punctuation), a
// number of characters that no base64 has, lines of different lengths
// that are no multiple of four (as no encoder writes them), or, when the
// decoded bytes are to be judged too (`declared_text`: the part declares
// a text type and names no file), data that decodes to mostly control
// bytes. `complete`: whether `body` is the whole block
// (else it is the start of one, and the tests that need its end are left
// out).
bool plainly_not_base64(std::string_view body, bool complete, bool declared_text);

// The bytes of quoted-printable text ("=XX", soft line breaks, trailing
// blanks of encoded lines dropped).
std::string decode_quoted_printable(std::string_view text);

}  // namespace quillmar
