#include "base/ftn_address.hpp"

#include <charconv>

#include "base/number_scan.hpp"

namespace quillmar {

int read_ftn_address(std::string_view& text, FtnAddress& out, int fields) {
  uint16_t* parts[4] = {&out.zone, &out.net, &out.node, &out.point};
  const char separators[3] = {':', '/', '.'};
  int read = 0;
  std::string_view rest = text;
  for (int i = 0; i < fields && i < 4; ++i) {
    if (i > 0) {
      if (rest.empty() || rest.front() != separators[i - 1]) break;
      rest.remove_prefix(1);
    }
    uint32_t v = 0;
    if (!scan_unsigned(rest, v)) break;
    *parts[i] = static_cast<uint16_t>(v);
    ++read;
    text = rest;
  }
  return read;
}

std::size_t format_ftn_address(char* out, const FtnAddress& a, PointForm form) {
  char* end = out + kFtnAddressTextMax;
  char* p = std::to_chars(out, end, a.zone).ptr;
  *p++ = ':';
  p = std::to_chars(p, end, a.net).ptr;
  *p++ = '/';
  p = std::to_chars(p, end, a.node).ptr;
  if (form == PointForm::always || (form == PointForm::when_set && a.point != 0)) {
    *p++ = '.';
    p = std::to_chars(p, end, a.point).ptr;
  }
  return static_cast<std::size_t>(p - out);
}

void append_ftn_address(std::string& out, const FtnAddress& a, PointForm form) {
  char text[kFtnAddressTextMax];
  out.append(text, format_ftn_address(text, a, form));
}

Text<32> ftn_address_text(const FtnAddress& a, PointForm form) {
  std::string out;
  append_ftn_address(out, a, form);
  return Text<32>(out);
}

}  // namespace quillmar
