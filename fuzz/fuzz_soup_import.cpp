// IMPORT of one SOUP message file: the header parser, both passes over
// every message and the body conversion, writing FidoNet packets (and
// decoded files, list answers). The first byte chooses the encoding and
// the area of the AREAS line; the rest is the message file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "harness.hpp"
#include "import/import_driver.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

namespace {

struct AreaChoice {
  const char* name;
  const char* encoding;
};
// Mail in each encoding, news in each encoding that can hold it, and a
// newsgroup of an AreaMap entry.
constexpr AreaChoice kAreas[] = {
    {"Email", "bn"},    {"Email", "mn"},    {"Email", "Mn"},     {"Email", "un"},
    {"alt.test", "Bn"}, {"alt.test", "un"}, {"fido.misc", "un"}, {"alt.out", "mn"},
};

}  // namespace

QUILLMAR_FUZZ_TARGET(soup_import) {
  if (size < 1) return 0;
  const AreaChoice& area = kAreas[data[0] % (sizeof kAreas / sizeof kAreas[0])];
  reset_box();
  std::string areas = std::string("MSG00001\t") + area.name + "\t" + area.encoding + "\n";
  write_file("soup/AREAS", areas);
  write_file("soup/MSG00001.MSG",
             std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  guarded([] {
    if (!start_run()) fail("the fixed configuration could not be read");
  });
  as_run([] { import_soup(); });
  check_packets_in("inbound");
  check_replies();
  check_box_top();
  return 0;
}
