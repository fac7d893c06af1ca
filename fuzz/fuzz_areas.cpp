// The AREAS line reader: the input is the AREAS file of the SOUP packet.
#include <cstddef>
#include <cstdint>
#include <string>

#include "harness.hpp"
#include "soup/soup_reader.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

QUILLMAR_FUZZ_TARGET(areas) {
  static int seen = -1;
  if (setup_needed(seen)) {
    reset_box();
    if (!load_settings()) fail("the fixed configuration could not be read");
  }
  write_file("soup/AREAS", std::string_view(reinterpret_cast<const char*>(data), size));
  TextReader areas;
  if (!areas.open(in_box("soup/AREAS"))) fail("AREAS could not be opened");
  long line = 0;
  SoupArea area;
  for (;;) {
    long before = line;
    AreaLine r = read_area_line(areas, line, area);
    if (r == AreaLine::end_of_file) {
      if (line != before) fail("the end of the file counted a line");
      break;
    }
    if (line != before + 1) fail("line %ld followed line %ld", line, before);
    if (static_cast<std::size_t>(line) > size) fail("%ld lines in %zu bytes", line, size);
    if (r == AreaLine::rejected) continue;
    std::string_view prefix = area.prefix.view();
    if (prefix.empty() || prefix == "." || prefix == ".." ||
        prefix.find_first_of("\\/") != std::string_view::npos ||
        prefix.find('\0') != std::string_view::npos ||
        prefix.find('\t') != std::string_view::npos) {
      fail("line %ld: prefix \"%s\" names no file of the SOUP directory", line,
           area.prefix.c_str());
    }
    if (area.area_name.view().find_first_of("\t\n") != std::string_view::npos) {
      fail("line %ld: area name with a tab or line feed", line);
    }
    if (area.unknown_format) fail("line %ld: accepted with an unknown format", line);
  }
  areas.close();
  return 0;
}
