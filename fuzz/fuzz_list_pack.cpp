// The list member file reader and PACK: the input is the list file. PACK
// keeps the settings part as it was, keeps every member the loader found,
// and a second PACK finds nothing more to do.
#include <cstddef>
#include <cstdint>
#include <string>

#include "harness.hpp"
#include "lists/list_files.hpp"
#include "lists/pack.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

namespace {

// The bytes of the list file up to and including its ListUsers line (all
// of it without one): for PACK the first line that is "ListUsers", for the
// loader (`prefix`) the first that begins with it.
std::string_view settings_part(std::string_view file, bool prefix = false) {
  std::size_t at = 0;
  while (at < file.size()) {
    std::size_t end = file.find('\n', at);
    std::size_t next = end == std::string_view::npos ? file.size() : end + 1;
    std::string_view line = file.substr(at, next - at);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    bool marker = prefix ? line.size() >= 9 : line.size() == 9 && end != std::string_view::npos;
    if (marker && strncasecmp(line.data(), "ListUsers", 9) == 0) return file.substr(0, next);
    at = next;
  }
  return file;
}

}  // namespace

QUILLMAR_FUZZ_TARGET(list_pack) {
  std::string input(reinterpret_cast<const char*>(data), size);
  reset_box(Mailer::binkley, {}, &input);
  bool loaded = false;
  long before = 0;
  guarded([&] { loaded = start_run(); });
  before = check_list_index();
  as_run([] { pack_lists(); });
  if (!loaded) fail("the fixed configuration could not be read");
  if (lists().empty()) return 0;  // not a list: nothing was packed
  std::string packed = read_file("lists/DEV.CFG");
  if (packed.substr(0, settings_part(input).size()) != settings_part(input) &&
      settings_part(input).size() <= packed.size()) {
    fail("PACK changed the settings part of the list");
  }
  long after = 0;
  guarded([] {
    if (!start_run()) fail("the fixed configuration could not be read again");
  });
  after = check_list_index();
  as_run([] { pack_lists(); });
  // A line that only begins with "ListUsers" ends the settings for the
  // loader but not for PACK, which keeps it and what follows it up to a
  // line that is "ListUsers" as settings; the members are then counted
  // differently before and after, by design.
  bool same_view = settings_part(input, true).size() == settings_part(input).size();
  if (same_view && after != before) fail("%ld members before PACK, %ld after", before, after);
  std::string again = read_file("lists/DEV.CFG");
  if (again != packed) fail("a second PACK changed the list again");
  check_box_top();
  if (list_dir("lists").size() != 1) fail("PACK left a file beside the list");
  return 0;
}
