// The configuration reader: lines, keywords, includes, warnings, and the
// value parsers that the keyword handlers share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/bounded_text.hpp"
#include "base/number_scan.hpp"
#include "config/settings.hpp"

namespace quillmar {

// Where a value comes from, for the warnings about it.
struct ConfigLine {
  std::string_view value;
  long line = 0;
  std::string_view path;
  std::string_view keyword;  // as written; empty where the line has none

  // Writes the warning, then a line with the keyword and value it is about.
  void warn(const char* message) const;
};

// Writes "Warning: %s in line %ld of %s\n\n" to standard error.
void config_warning(const char* message, long line, std::string_view path);

// Reads a configuration file and everything it includes; false only when
// this file itself cannot be read.
bool read_config(std::string_view name, std::string_view program_path);

// The path under which a configuration or log file named `name` is found:
// a name without a separator lies in the program's directory. False when
// the result would be longer than a path can be.
bool resolve_beside_program(std::string_view name, std::string_view program_path, PathText& out);

// A configuration line's keyword (the text before its first blank) and its
// value (the rest after the run of blanks).
struct KeywordLine {
  std::string_view keyword;
  std::string_view value;
};
KeywordLine split_keyword(std::string_view line);

// Splits off the next blank-separated parameter of `rest` and skips the
// blanks after it; `rest` keeps what is left.
std::string_view next_parameter(std::string_view& rest);

// Value parsers; each warns about a bad value in the usual form.
void parse_ftn_address(const ConfigLine& at, std::string_view text, FtnAddress& out);
void parse_email_address(const ConfigLine& at, std::string_view text, Text<128>& out);
void parse_yes_no(const ConfigLine& at, std::string_view text, bool& out);
void parse_number16(const ConfigLine& at, std::string_view text, uint16_t& out);
void parse_number32(const ConfigLine& at, std::string_view text, uint32_t& out);
template <std::size_t N>
void copy_text(std::string_view text, Text<N>& out) {
  out.assign(text);
}
// Stores a directory name ending in a separator; refuses (with a warning) a
// name too long for a path. An empty value leaves the directory empty.
void parse_directory(const ConfigLine& at, std::string_view text, PathText& out);

// Keyword handlers (one per keyword); each gets its line.
using KeywordHandler = void (*)(const ConfigLine&);
struct KeywordEntry {
  const char* keyword;
  KeywordHandler handler;
};
// The keyword table of the settings.
extern const KeywordEntry kKeywords[];
extern const std::size_t kKeywordCount;

// Adds a keyword that a higher layer reads (the mailing lists add
// ListConfig); the configuration reader knows it like the table's own. A
// keyword added twice keeps its first handler.
void register_keyword(const char* keyword, KeywordHandler handler);

// Notes that a line of `path` holds a password (settings->secret_lines).
void note_secret_line(std::string_view keyword, long line, std::string_view path);

// CHECK's look at the files that hold passwords: a warning for each
// secret line whose file every user of the system may read. The number
// of warnings is returned.
int report_readable_secrets();

// The program path of the configuration being read.
std::string_view config_program_path();

}  // namespace quillmar
