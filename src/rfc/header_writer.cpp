#include "rfc/header_writer.hpp"

#include <cstdio>

#include "base/text_helpers.hpp"
#include "base/version.hpp"

namespace quillmar {

namespace {

bool breaks_header(char c) {
  return c == '\r' || c == '\n' || c == '\0';
}

// Appends `value` as printf's "%0<width>d" writes it: the sign, then the
// digits with zeros before them up to `width` characters in all.
char* append_padded(char* out, int value, int width) {
  unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *out++ = '-';
  for (int used = n + (value < 0 ? 1 : 0); used < width; ++used) *out++ = '0';
  while (n > 0) *out++ = digits[--n];
  return out;
}

char* append_text(char* out, const char* text) {
  while (*text != '\0') *out++ = *text++;
  return out;
}

}  // namespace

std::string header_value(std::string_view value) {
  std::string out(value);
  for (char& c : out) {
    if (breaks_header(c)) c = ' ';
  }
  return out;
}

void write_header_value(platform::File& out, std::string_view text) {
  // The value is written in the runs between the characters that become
  // blanks, without a copy.
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!breaks_header(text[i])) continue;
    out.write(text.substr(start, i - start));
    out.write(" ", 1);
    start = i + 1;
  }
  out.write(text.substr(start));
}

void HeaderWriter::field(std::string_view name, std::string_view text) {
  start(name);
  value(text);
  end();
}

void HeaderWriter::start(std::string_view name) {
  out_.write(name);
  out_.write(": ", 2);
}

void HeaderWriter::value(std::string_view text) {
  write_header_value(out_, text);
}

void HeaderWriter::folded(std::string_view text) {
  std::string line(text);
  for (std::size_t i = 0; i < line.size(); ++i) {
    bool fold =
        line[i] == '\n' && i + 1 < line.size() && (line[i + 1] == ' ' || line[i + 1] == '\t');
    if (!fold && breaks_header(line[i])) line[i] = ' ';
  }
  out_.write(line);
}

void HeaderWriter::raw(std::string_view text) {
  out_.write(text);
}

void HeaderWriter::end() {
  out_.write("\n", 1);
}

void HeaderWriter::date(const HeaderDate& d, std::string_view zone) {
  // "Www, DD Mmm YYYY hh:mm:ss", put together by hand (no printf per
  // message): at most 3 + 2 + 5 * 12 + 4 + 4 characters.
  char buffer[96];
  char* out = append_text(buffer, kDayNames[d.weekday % 7]);
  out = append_text(out, ", ");
  out = append_padded(out, d.day, 2);
  *out++ = ' ';
  char* month = out;
  out = append_text(out, kMonthNames[d.month % 12]);
  while (out - month < 3) *out++ = ' ';
  *out++ = ' ';
  out = append_padded(out, d.year, 4);
  *out++ = ' ';
  out = append_padded(out, d.hour, 2);
  *out++ = ':';
  out = append_padded(out, d.minute, 2);
  *out++ = ':';
  out = append_padded(out, d.second, 2);
  start("Date");
  raw(std::string_view(buffer, static_cast<std::size_t>(out - buffer)));
  if (!zone.empty()) {
    raw(" ");
    value(zone);
  }
  end();
}

void HeaderWriter::program(std::string_view name) {
  field(name, program_text());
}

void HeaderWriter::finish() {
  out_.write("\n", 1);
}

}  // namespace quillmar
