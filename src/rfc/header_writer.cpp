#include "rfc/header_writer.hpp"

#include <cstdio>

#include "base/text_helpers.hpp"
#include "base/version.hpp"

namespace quillmar {

namespace {

bool breaks_header(char c) {
  return c == '\r' || c == '\n' || c == '\0';
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
  char buffer[96];
  int n = std::snprintf(buffer, sizeof buffer, "%s, %02d %-3s %04d %02d:%02d:%02d",
                        kDayNames[d.weekday % 7], d.day, kMonthNames[d.month % 12], d.year, d.hour,
                        d.minute, d.second);
  start("Date");
  if (n > 0) raw(std::string_view(buffer, static_cast<std::size_t>(n) < sizeof buffer ? n : 0));
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
