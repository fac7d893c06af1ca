#include "rfc/header_values.hpp"

#include <cstring>

#include "base/number_scan.hpp"
#include "base/text_helpers.hpp"

namespace quillmar {

namespace {

// The digits at the start of the text as a number, 0 when there are none;
// larger values wrap around.
uint16_t decimal_value_of(std::string_view text) {
  return take_digits<uint16_t>(text).value_or(0);
}

constexpr std::size_t kMaxText = 127;

// The characters that end an address.
bool is_address_delimiter(char c) {
  return c == '\0' || c == ' ' || c == '\t' || c == '<' || c == '>' || c == '(' || c == ')';
}

// Stores at most 127 characters of `text` in `out` after the given clean-up.
void store_cleaned(std::string_view text, Text<128>& out, bool strip) {
  std::size_t n = text.size() < kMaxText ? text.size() : kMaxText;
  // The text ends at a NUL byte.
  const void* nul = n != 0 ? std::memchr(text.data(), '\0', n) : nullptr;
  if (nul != nullptr) n = static_cast<std::size_t>(static_cast<const char*>(nul) - text.data());
  text = text.substr(0, n);
  if (strip) text = without_quotes(text);
  out.assign(text);
  if (!text.empty() && std::memchr(text.data(), kProtectedSpace, text.size()) != nullptr) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (out[i] == kProtectedSpace) out.set(i, ' ');
    }
  }
}

std::string_view trim_view(std::string_view text, bool (*is_trimmed)(char)) {
  while (!text.empty() && is_trimmed(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_trimmed(text.back())) text.remove_suffix(1);
  return text;
}

bool is_name_trimmed(char c) {
  return is_space(c) || is_address_delimiter(c);
}

// One element of an address list, [begin, end) with *end == '\0'.
void parse_address_element(char* begin, char* end, Text<128>* address_out, Text<128>* name_out,
                           int kind, RecipientTable& recipients) {
  char* at = static_cast<char*>(std::memchr(begin, '@', static_cast<std::size_t>(end - begin)));
  Text<128> address;
  char* address_end = begin;
  if (at != nullptr) {
    char* start = at;
    while (start > begin && !is_address_delimiter(start[-1])) --start;
    char* stop = at + 1;
    while (!is_address_delimiter(*stop)) ++stop;
    store_cleaned(std::string_view(start, static_cast<std::size_t>(stop - start)), address, true);
    if (start > begin) start[-1] = ' ';
    std::memset(start, ' ', static_cast<std::size_t>(stop - start));
    if (stop < end) *stop = ' ';
    address_end = stop;
  }

  std::string_view after(address_end, static_cast<std::size_t>(end - address_end));
  std::string_view name_text;
  if (at != nullptr && !trim_view(after, is_space).empty()) {
    name_text = after;
  } else {
    char* name_end = at != nullptr ? address_end : end;
    name_text = std::string_view(begin, static_cast<std::size_t>(name_end - begin));
  }
  Text<128> name;
  store_cleaned(trim_view(name_text, is_name_trimmed), name, true);

  if (at != nullptr && address_out != nullptr) *address_out = address;
  if (!name.empty() && name_out != nullptr) *name_out = name;
  // The first To address is the message's own recipient, given in the
  // outputs; the recipient table holds the further ones.
  bool own_recipient = kind == kAddressTo && address_out != nullptr;
  if (at != nullptr && !own_recipient &&
      (kind == kAddressTo || kind == kAddressCc || kind == kAddressBcc)) {
    if (Recipient* entry = recipients.add()) {
      entry->kind = static_cast<uint8_t>(kind);
      entry->address = address;
      entry->name = name;
    }
  }
}

// Reads "h:m:s" into the three fields as far as it goes.
void read_time(std::string_view text, ParsedDate& date) {
  uint16_t* fields[3] = {&date.hour, &date.minute, &date.second};
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (text.empty() || text.front() != ':') return;
      text.remove_prefix(1);
    }
    if (text.empty() || text.front() < '0' || text.front() > '9') return;
    *fields[i] = decimal_value_of(text);
    while (!text.empty() && text.front() >= '0' && text.front() <= '9') text.remove_prefix(1);
  }
}

uint16_t month_index(std::string_view token) {
  if (token.size() < 3) return 0;
  for (uint16_t m = 0; m < 12; ++m) {
    if (equals_nocase(token.substr(0, 3), kMonthNames[m])) return m;
  }
  return 0;
}

char* skip_blanks(char* p) {
  while (is_blank_or_tab(*p)) ++p;
  return p;
}

}  // namespace

void unescape_text(char* text) {
  // The text before the first backslash stays as it is.
  char* out = std::strchr(text, '\\');
  if (out == nullptr) return;
  for (const char* in = out; *in != '\0';) {
    if (*in == '\\') {
      ++in;  // the backslash goes; the character after it is taken as it is
      if (*in == '\0') break;
      *out++ = *in == ' ' ? kProtectedSpace : *in;
      ++in;
    } else {
      *out++ = *in++;
    }
  }
  *out = '\0';
}

void restore_spaces(char* text) {
  for (char* p = text; *p != '\0'; ++p) {
    if (*p == kProtectedSpace) *p = ' ';
  }
}

std::string_view without_quotes(std::string_view text) {
  const std::size_t n = text.size();
  std::size_t pairs = 0;
  while (n - 2 * pairs >= 2 && text[pairs] == text[n - 1 - pairs] &&
         (text[pairs] == '"' || text[pairs] == '\'')) {
    ++pairs;
  }
  return text.substr(pairs, n - 2 * pairs);
}

void strip_quotes(char* text) {
  std::string_view inner = without_quotes(text);
  if (inner.size() == std::strlen(text)) return;
  std::memmove(text, inner.data(), inner.size());
  text[inner.size()] = '\0';
}

void trim_space(char* text) {
  std::size_t start = 0;
  while (is_space(text[start])) ++start;
  std::size_t n = std::strlen(text + start);
  std::memmove(text, text + start, n + 1);
  while (n > 0 && is_space(text[n - 1])) text[--n] = '\0';
}

void copy_trimmed(std::string_view value, Text<128>& out) {
  value = trim_view(value, is_blank_or_tab);
  if (value.empty()) return;
  store_cleaned(value, out, false);
}

void parse_address_list(char* value, Text<128>* address, Text<128>* name, int kind,
                        RecipientTable& recipients) {
  unescape_text(value);
  char* element = value;
  bool first = true;
  for (;;) {
    bool in_quotes = false;
    int depth = 0;
    char* end = element;
    for (; *end != '\0'; ++end) {
      char c = *end;
      if (c == '"' || c == '\'') {
        in_quotes = !in_quotes;
      } else if (c == '(' || c == '<') {
        ++depth;
      } else if (c == ')' || c == '>') {
        --depth;
      } else if (c == ',' && depth == 0 && !in_quotes) {
        break;
      }
    }
    bool more = *end == ',';
    if (more) *end = '\0';
    parse_address_element(element, end, first ? address : nullptr, first ? name : nullptr, kind,
                          recipients);
    if (!more) break;
    element = end + 1;
    first = false;
  }
}

void extract_identifier(char* value, Text<128>& out, bool last) {
  unescape_text(value);
  char* at = last ? std::strrchr(value, '@') : std::strchr(value, '@');
  if (at == nullptr) return;
  char* start = at;
  while (start > value) {
    char c = start[-1];
    if (c == ' ' || c == '\t' || c == '<' || c == '(' || c == '"') break;
    --start;
  }
  char* stop = at;
  while (*stop != '\0' && *stop != ' ' && *stop != '\t' && *stop != '>' && *stop != ')' &&
         *stop != '"') {
    ++stop;
  }
  store_cleaned(std::string_view(start, static_cast<std::size_t>(stop - start)), out, false);
}

void split_newsgroups(std::string_view value, std::string_view current_area,
                      CrossPostTable& groups) {
  while (true) {
    std::size_t comma = value.find(',');
    std::string_view group = trim_view(value.substr(0, comma), is_blank_or_tab);
    if (!group.empty() && !equals_nocase(group, current_area) && !groups.full()) {
      Text<128> copy;
      copy_trimmed(group, copy);
      copy.fill_raw([](char* buffer, std::size_t) { trim_space(buffer); });
      *groups.add() = copy;
    }
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
}

void parse_date(char* value, ParsedDate& date, Text<128>* zone) {
  unescape_text(value);
  date = ParsedDate{};
  char* p = value;
  char* comma = std::strchr(value, ',');
  if (comma != nullptr && comma - value >= 3 && comma - value <= 12) p = comma + 1;
  p = skip_blanks(p);

  // The next blank-separated token, when more text follows it.
  auto next_token = [&p](std::string_view& token) {
    char* end = p;
    while (*end != '\0' && !is_blank_or_tab(*end)) ++end;
    if (*end == '\0') return false;
    token = std::string_view(p, static_cast<std::size_t>(end - p));
    p = skip_blanks(end);
    return true;
  };

  std::string_view token;
  if (!next_token(token)) return;
  date.day = decimal_value_of(token);
  if (!next_token(token)) return;
  date.month = month_index(token);
  if (!next_token(token)) return;
  uint16_t year = decimal_value_of(token);
  if (year < 70) {
    year = static_cast<uint16_t>(year + 2000);
  } else if (year < 100) {
    year = static_cast<uint16_t>(year + 1900);
  }
  date.year = year;

  char* end = p;
  while (*end != '\0' && !is_blank_or_tab(*end)) ++end;
  read_time(std::string_view(p, static_cast<std::size_t>(end - p)), date);
  if (zone != nullptr) store_cleaned(skip_blanks(end), *zone, false);
}

}  // namespace quillmar
