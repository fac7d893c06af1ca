#include "base/text_helpers.hpp"
#include "base/char_class.hpp"

#include <array>
#include <bit>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmar {

namespace {

// CRC-32 (polynomial 0xEDB88320) eight bytes at a time: table k gives
// the remainder of a byte followed by k zero bytes.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables make_crc_tables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (std::size_t k = 1; k < 8; ++k) t[k][i] = t[0][t[k - 1][i] & 0xFF] ^ (t[k - 1][i] >> 8);
  }
  return t;
}
constexpr CrcTables kCrc = make_crc_tables();

constexpr int kMonthOffset[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};

bool is_word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.';
}

bool part_match(std::string_view pattern, std::string_view part) {
  if (!pattern.empty() && pattern[0] == '*') {
    std::string_view rest = pattern.substr(1);
    return rest.size() <= part.size() &&
           equals_nocase(part.substr(part.size() - rest.size()), rest);
  }
  if (!pattern.empty() && pattern.back() == '*') {
    return starts_with_nocase(part, pattern.substr(0, pattern.size() - 1));
  }
  return equals_nocase(pattern, part);
}

std::string_view file_name_of(std::string_view path) {
  std::size_t sep = path.rfind('\\');
  if (sep == std::string_view::npos) sep = path.rfind('/');
  return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

}  // namespace

std::size_t find_first_of3(const char* text, std::size_t size, char a, char b, char c) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(a);
  const __m128i vb = _mm_set1_epi8(b);
  const __m128i vc = _mm_set1_epi8(c);
  for (; i + 16 <= size; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const __m128i m = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)),
                                   _mm_cmpeq_epi8(v, vc));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(m));
    if (mask != 0) return i + static_cast<std::size_t>(std::countr_zero(mask));
  }
#endif
  for (; i < size; ++i) {
    if (text[i] == a || text[i] == b || text[i] == c) return i;
  }
  return size;
}

uint32_t crc32(const void* data, std::size_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t reg = 0xFFFFFFFFu;
  std::size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint32_t low = reg ^ (uint32_t{p[i]} | uint32_t{p[i + 1]} << 8 | uint32_t{p[i + 2]} << 16 |
                          uint32_t{p[i + 3]} << 24);
    reg = kCrc[7][low & 0xFF] ^ kCrc[6][(low >> 8) & 0xFF] ^ kCrc[5][(low >> 16) & 0xFF] ^
          kCrc[4][low >> 24] ^ kCrc[3][p[i + 4]] ^ kCrc[2][p[i + 5]] ^ kCrc[1][p[i + 6]] ^
          kCrc[0][p[i + 7]];
  }
  for (; i < length; ++i) reg = kCrc[0][(reg ^ p[i]) & 0xFF] ^ (reg >> 8);
  return reg ^ 0xFFFFFFFFu;
}

int day_of_week(int year, int month, int day) {
  if (month < 1 || month > 12) return 0;
  if (month < 3) year -= 1;
  int r = (year + year / 4 - year / 100 + year / 400 + kMonthOffset[month - 1] + day) % 7;
  return r < 0 ? r + 7 : r;
}

char uu_char(int value) {
  return value == 0 ? '`' : static_cast<char>((value & 63) + 32);
}

int letter_number(std::string_view text) {
  if (text.empty()) return 0;
  char c = ascii_lower(text[0]);
  return (c >= 'a' && c <= 'z') ? c - 'a' + 1 : 0;
}

char hex_digit_char(int value) {
  value &= 15;
  return static_cast<char>(value < 10 ? '0' + value : 'A' + value - 10);
}

int hex_value(char c) {
  int value = hex_digit_value(c);
  return value < 0 ? 0 : value;
}

int hex_pair_value(std::string_view text) {
  int hi = text.size() > 0 ? hex_value(text[0]) : 0;
  int lo = text.size() > 1 ? hex_value(text[1]) : 0;
  return 16 * hi + lo;
}

bool contains_nocase(std::string_view needle, std::string_view text) {
  if (needle.empty() || needle.size() > text.size()) return false;
  for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
    if (equals_nocase(text.substr(i, needle.size()), needle)) return true;
  }
  return false;
}

std::optional<std::size_t> find_word_nocase(std::string_view word, std::string_view text) {
  if (word.empty() || word.size() > text.size()) return std::nullopt;
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (!equals_nocase(text.substr(i, word.size()), word)) continue;
    if (i > 0 && is_word_char(text[i - 1])) continue;
    std::size_t after = i + word.size();
    if (after < text.size() && is_word_char(text[after])) continue;
    return i;
  }
  return std::nullopt;
}

bool address_match(std::string_view pattern, std::string_view address) {
  std::size_t pat_at = pattern.find('@');
  std::size_t addr_at = address.find('@');
  if ((pat_at == std::string_view::npos) != (addr_at == std::string_view::npos)) return false;
  if (pat_at == std::string_view::npos) return part_match(pattern, address);
  return part_match(pattern.substr(0, pat_at), address.substr(0, addr_at)) &&
         part_match(pattern.substr(pat_at + 1), address.substr(addr_at + 1));
}

bool is_mail_bundle_name(std::string_view name) {
  std::size_t n = name.size();
  if (n <= 4 || name[n - 4] != '.') return false;
  if (equals_nocase(name.substr(n - 3), "PKT")) return true;
  if (!is_hex_digit(name[n - 1])) return false;
  if (name.find('*') == std::string_view::npos) {
    if (n < 12) return false;
    for (std::size_t i = n - 12; i < n - 4; ++i) {
      if (!is_hex_digit(name[i])) return false;
    }
  }
  std::string_view ext = name.substr(n - 3, 2);
  for (const char* day : kDayNames) {
    if (equals_nocase(ext, std::string_view(day, 2))) return true;
  }
  return false;
}

std::string_view base_name(std::string_view path) {
  std::size_t sep = path.find_last_of("\\/");
  return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

int file_name_compare(std::string_view a, std::string_view b) {
  std::string_view na = file_name_of(a);
  std::string_view nb = file_name_of(b);
  std::size_t n = na.size() < nb.size() ? na.size() : nb.size();
  for (std::size_t i = 0; i < n; ++i) {
    int ca = static_cast<unsigned char>(ascii_lower(na[i]));
    int cb = static_cast<unsigned char>(ascii_lower(nb[i]));
    if (ca != cb) return ca - cb;
  }
  return na.size() == nb.size() ? 0 : (na.size() < nb.size() ? -1 : 1);
}

void replace_placeholder(char* buffer, std::size_t size, std::string_view placeholder,
                         const char* value) {
  if (buffer == nullptr || size == 0 || placeholder.empty()) return;
  std::string_view val = value != nullptr ? std::string_view(value) : "[unknown]";
  buffer[size - 1] = '\0';
  std::size_t pos = 0;
  for (;;) {
    std::size_t len = std::strlen(buffer);
    if (len + val.size() >= size + placeholder.size()) return;
    std::string_view text(buffer, len);
    std::size_t at = text.find(placeholder, pos);
    if (at == std::string_view::npos) return;
    std::size_t tail = len - at - placeholder.size();
    std::memmove(buffer + at + val.size(), buffer + at + placeholder.size(), tail + 1);
    std::memcpy(buffer + at, val.data(), val.size());
    pos = at + val.size();
  }
}

}  // namespace quillmar
