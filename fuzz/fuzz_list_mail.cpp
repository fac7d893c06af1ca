// The list commands and postings of an incoming mail: the input is a mail
// (header and body) sent to the address of the configured list, imported
// from a binary SOUP message file. Afterwards the list file still loads
// with the members it says it has, and everything written is whole.
#include <cstddef>
#include <cstdint>
#include <string>

#include "harness.hpp"
#include "import/import_driver.hpp"
#include "lists/list_files.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

QUILLMAR_FUZZ_TARGET(list_mail) {
  reset_box();
  std::string message = "To: quillmar-dev@example.org\n";
  message.append(reinterpret_cast<const char*>(data), size);
  std::string framed;
  uint32_t length = static_cast<uint32_t>(message.size());
  for (int shift = 24; shift >= 0; shift -= 8) framed.push_back(static_cast<char>(length >> shift));
  framed += message;
  write_file("soup/AREAS", "MSG00001\tEmail\tbn\n");
  write_file("soup/MSG00001.MSG", framed);
  guarded([] {
    if (!start_run()) fail("the fixed configuration could not be read");
  });
  as_run([] { import_soup(); });
  check_list_index();
  // The list file as the next run finds it.
  guarded([] {
    if (!start_run()) fail("the fixed configuration could not be read again");
  });
  check_list_index();
  if (lists().size() != 1) fail("the list file no longer loads");
  check_packets_in("inbound");
  check_replies();
  check_box_top();
  return 0;
}
