// The configuration reader with its keyword handlers: the input up to its
// first NUL byte is QUILLMAR.CFG, the rest SECOND.CFG, which the first file
// includes at its end (and may name itself, also as a list file). The box
// is made once: reading a configuration writes nothing.
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/settings.hpp"
#include "harness.hpp"
#include "lists/list_files.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

namespace {

template <std::size_t N>
void check_directory(const Text<N>& dir, const char* name) {
  if (!dir.empty() && !platform::is_separator(dir.view().back())) {
    fail("%s \"%s\" does not end in a separator", name, dir.c_str());
  }
}

}  // namespace

QUILLMAR_FUZZ_TARGET(config) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  auto [first, second] = split_input(input, std::string_view("\0", 1));
  static int seen = -1;
  if (setup_needed(seen)) reset_box();
  std::string config(first);
  config += "\nInclude SECOND.CFG\n";
  write_file("QUILLMAR.CFG", config);
  write_file("SECOND.CFG", second);
  bool read = false;
  guarded([&] { read = load_settings(); });
  if (!read) fail("the configuration file could not be read");
  const Settings& s = *settings;
  check_directory(s.InboundDir, "InboundDir");
  check_directory(s.OutboundDir, "OutboundDir");
  check_directory(s.NetmailDir, "NetmailDir");
  check_directory(s.DecodeDir, "DecodeDir");
  check_directory(s.SoupDir, "SoupDir");
  check_directory(s.TempDir, "TempDir");
  if (lists().size() > kMaxListConfig) fail("%zu lists loaded", lists().size());
  for (const ListRecord& list : lists()) {
    if (!list.ListName || !list.ListAddress) fail("a list without its name or address was kept");
  }
  check_list_index();
  check_box_top({"SECOND.CFG"});
  return 0;
}
