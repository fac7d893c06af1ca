#include "base/number_scan.hpp"

namespace quillmar {

bool scan_unsigned(std::string_view& text, uint32_t& out) {
  std::size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  uint64_t value = 0;
  bool overflow = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > 0xFFFFFFFFu) {
      overflow = true;
      value = 0xFFFFFFFFu;
    }
  }
  uint32_t v = static_cast<uint32_t>(value);
  out = overflow ? 0xFFFFFFFFu : (negative ? static_cast<uint32_t>(0u - v) : v);
  text.remove_prefix(i);
  return true;
}

bool scan_signed(std::string_view& text, long& out) {
  std::size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 0x80000000LL) value = 0x80000000LL;
  }
  if (negative) value = -value;
  if (value > 0x7FFFFFFFLL) value = 0x7FFFFFFFLL;
  out = static_cast<long>(value);
  text.remove_prefix(i);
  return true;
}

bool scan_u16(std::string_view& text, uint16_t& out) {
  std::size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  std::string_view rest = text.substr(i);
  std::optional<uint16_t> value = take_digits<uint16_t>(rest);
  if (!value) return false;
  out = *value;
  text = rest;
  return true;
}

}  // namespace quillmar
