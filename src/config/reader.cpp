#include "config/reader.hpp"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "base/log.hpp"
#include "base/text_reader.hpp"
#include "platform/fs.hpp"
#include "platform/permissions.hpp"

namespace quillmar {

namespace {

// Each read of a configuration line takes at most this many characters.
constexpr std::size_t kLinePiece = 254;

std::string program_path_of_run;
// Real paths of the files being read, outermost first, to refuse cycles.
std::vector<std::string> open_files;

std::string real_path_of(std::string_view name) {
  std::string os = platform::resolve_existing(name);
  char* r = ::realpath(os.c_str(), nullptr);
  if (r == nullptr) return os;
  std::string out(r);
  std::free(r);
  return out;
}

bool read_config_file(std::string_view name, const ConfigLine* include = nullptr);

// Keywords added by higher layers.
std::vector<KeywordEntry>& registered_keywords() {
  static std::vector<KeywordEntry> entries;
  return entries;
}

bool is_keyword(const char* entry, std::string_view keyword) {
  std::string_view k(entry);
  return k.size() == keyword.size() && ::strncasecmp(k.data(), keyword.data(), keyword.size()) == 0;
}

const KeywordEntry* find_keyword(std::string_view keyword) {
  for (std::size_t i = 0; i < kKeywordCount; ++i) {
    if (is_keyword(kKeywords[i].keyword, keyword)) return &kKeywords[i];
  }
  for (const KeywordEntry& e : registered_keywords()) {
    if (is_keyword(e.keyword, keyword)) return &e;
  }
  return nullptr;
}

void handle_line(std::string_view line, long number, std::string_view path) {
  if (line.empty() || line[0] == ';') return;
  auto [keyword, value] = split_keyword(line);
  ConfigLine at{value, number, path, keyword};
  if (const KeywordEntry* k = find_keyword(keyword)) {
    k->handler(at);
  } else if (keyword.size() == 7 && ::strncasecmp(keyword.data(), "Include", 7) == 0) {
    PathText resolved;
    if (!resolve_beside_program(value, program_path_of_run, resolved)) {
      at.warn("path too long");
      return;
    }
    std::string real = real_path_of(resolved);
    for (const std::string& open : open_files) {
      if (open == real) {
        at.warn("Include of a file that is already being read");
        return;
      }
    }
    read_config_file(value, &at);
  } else {
    at.warn("unknown keyword");
  }
}

}  // namespace

void register_keyword(const char* keyword, KeywordHandler handler) {
  if (find_keyword(keyword) != nullptr) return;
  registered_keywords().push_back(KeywordEntry{keyword, handler});
}

namespace {

// The characters of `text` for a "%.*s", never a null pointer.
const char* chars_of(std::string_view text) {
  return text.empty() ? "" : text.data();
}

}  // namespace

void config_warning(const char* message, long line, std::string_view path) {
  start_up_print("Warning: %s in line %ld of %.*s\n\n", message, line,
                 static_cast<int>(path.size()), chars_of(path));
}

void ConfigLine::warn(const char* message) const {
  if (keyword.empty()) return config_warning(message, line, path);
  // Below the warning, the line as written, for the user to find it.
  start_up_print("Warning: %s in line %ld of %.*s\n%.*s%s%.*s: %s\n\n", message, line,
                 static_cast<int>(path.size()), chars_of(path), static_cast<int>(keyword.size()),
                 chars_of(keyword), value.empty() ? "" : " ", static_cast<int>(value.size()),
                 chars_of(value), message);
}

void note_secret_line(std::string_view keyword, long line, std::string_view path) {
  try {
    settings->secret_lines.push_back(
        SettingLine{std::string(keyword), std::string(), std::string(path), line});
  } catch (const std::bad_alloc&) {
    // Only a warning of CHECK is lost.
  }
}

int report_readable_secrets() {
  int problems = 0;
  for (const SettingLine& at : settings->secret_lines) {
    if (!platform::readable_by_others(at.file)) continue;
    // The line is shown without its value: the warning reaches the log.
    ConfigLine{{}, at.line, at.file, at.keyword}.warn(
        "every user of the system can read this password (chmod o-r the file)");
    ++problems;
  }
  return problems;
}

std::string_view config_program_path() {
  return program_path_of_run;
}

bool resolve_beside_program(std::string_view name, std::string_view program_path, PathText& out) {
  if (name.find_first_of("\\/") != std::string_view::npos) return out.assign(name);
  std::size_t sep = program_path.rfind('\\');
  if (sep == std::string_view::npos) sep = program_path.rfind('/');
  if (sep == std::string_view::npos) return out.assign(name);
  return out.assign(program_path.substr(0, sep + 1)) && out.append(name);
}

bool read_config(std::string_view name, std::string_view program_path) {
  program_path_of_run = std::string(program_path);
  return read_config_file(name);
}

namespace {

bool read_config_file(std::string_view name, const ConfigLine* include) {
  PathText path;
  // Each nesting level holds its own reader, kept off the stack so that
  // deep nesting stays cheap.
  auto reader = std::make_unique<TextReader>();
  bool resolved = resolve_beside_program(name, program_path_of_run, path);
  if (!resolved || !reader->open(path)) {
    start_up_print("Error: can't read %s\n", path.c_str());
    // A second line gives the reason, and for an included file the line
    // that names it.
    const char* reason = resolved ? platform::last_error_text() : "name too long";
    if (include != nullptr) {
      start_up_print("Include in line %ld of %.*s: %s: %s\n", include->line,
                     static_cast<int>(include->path.size()), include->path.data(), path.c_str(),
                     reason);
    } else {
      start_up_print("configuration file %s: %s\n", path.c_str(), reason);
    }
    return false;
  }
  open_files.push_back(real_path_of(path));
  long number = 0;
  for (std::string_view piece; reader->read_piece(kLinePiece, piece);) {
    handle_line(line_text(piece), ++number, path);
  }
  open_files.pop_back();
  return true;
}

}  // namespace

KeywordLine split_keyword(std::string_view line) {
  std::size_t blank = line.find(' ');
  KeywordLine out{line.substr(0, blank), {}};
  if (blank != std::string_view::npos) {
    out.value = line.substr(blank);
    while (!out.value.empty() && out.value[0] == ' ') out.value.remove_prefix(1);
  }
  return out;
}

std::string_view next_parameter(std::string_view& rest) {
  std::size_t blank = rest.find(' ');
  std::string_view param = rest.substr(0, blank);
  rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank);
  while (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
  return param;
}

void parse_ftn_address(const ConfigLine& at, std::string_view text, FtnAddress& out) {
  out = FtnAddress{};
  // The address is the first word of the value, read whole: a domain
  // ("2:345/6@fidonet") belongs to it, and after a blank a comment may
  // follow; anything else left in the word makes it no address.
  std::string_view rest = text.substr(0, text.find(' '));
  const int fields = read_ftn_address(rest, out);
  if (!rest.empty() && rest.front() == '@') rest = {};
  if (fields < 3 || !rest.empty()) {
    out = FtnAddress{};
    at.warn("invalid FTN address");
  }
}

void parse_email_address(const ConfigLine& at, std::string_view text, Text<128>& out) {
  out.assign(text);
  if (out.view().find('@') == std::string_view::npos) at.warn("invalid email address");
}

void parse_yes_no(const ConfigLine& at, std::string_view text, bool& out) {
  if (text.size() == 3 && ::strncasecmp(text.data(), "Yes", 3) == 0) {
    out = true;
  } else if (text.size() == 2 && ::strncasecmp(text.data(), "No", 2) == 0) {
    out = false;
  } else {
    out = false;
    at.warn("invalid Yes/No parameter");
  }
}

void parse_number16(const ConfigLine& at, std::string_view text, uint16_t& out) {
  uint32_t v = 0;
  out = 0;
  if (!scan_unsigned(text, v)) {
    at.warn("invalid number");
    return;
  }
  out = static_cast<uint16_t>(v);
}

void parse_number32(const ConfigLine& at, std::string_view text, uint32_t& out) {
  out = 0;
  if (!scan_unsigned(text, out)) at.warn("invalid number");
}

void parse_directory(const ConfigLine& at, std::string_view text, PathText& out) {
  if (text.empty()) {
    out.clear();
    return;
  }
  bool has_separator = platform::is_separator(text.back());
  if (text.size() + (has_separator ? 0 : 1) > PathText::capacity) {
    at.warn("path too long");
    return;
  }
  out.assign(text);
  if (!has_separator) out.push_back(platform::separator_of(text));
}

}  // namespace quillmar
