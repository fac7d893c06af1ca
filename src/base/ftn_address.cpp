#include "base/ftn_address.hpp"

#include <charconv>

#include "base/number_scan.hpp"

namespace quillmar {

namespace {

void append_number(std::string& out, unsigned value) {
  char digits[8];
  std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, r.ptr);
}

}  // namespace

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

void append_ftn_address(std::string& out, const FtnAddress& a, PointForm form) {
  append_number(out, a.zone);
  out.push_back(':');
  append_number(out, a.net);
  out.push_back('/');
  append_number(out, a.node);
  if (form == PointForm::always || (form == PointForm::when_set && a.point != 0)) {
    out.push_back('.');
    append_number(out, a.point);
  }
}

Text<32> ftn_address_text(const FtnAddress& a, PointForm form) {
  std::string out;
  append_ftn_address(out, a, form);
  return Text<32>(out);
}

}  // namespace quillmar
