// EXPORT of a stored netmail message (*.MSG of NetmailDir): the 190-byte
// header, the text and its kludges, and the conversion into the SOUP reply
// packet. The input up to the first "\x00\x00\x00\x00QSCN" (if any) is the
// message file 1.MSG, the rest the quick-scan stamp file QUILLMAR.DAT,
// which is read when it is there (QuickScan Yes).
#include <cstddef>
#include <cstdint>
#include <string>

#include "harness.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

QUILLMAR_FUZZ_TARGET(stored_message) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  constexpr std::string_view kSeparator("\0\0\0\0QSCN", 8);
  auto [message, stamp] = split_input(input, kSeparator);
  bool quick_scan = input.find(kSeparator) != std::string_view::npos;
  reset_box(Mailer::arcmail, quick_scan ? "QuickScan Yes\n" : "");
  write_file("netmail/1.MSG", message);
  if (quick_scan) write_file("netmail/QUILLMAR.DAT", stamp);
  write_file("netmail/FILE.TXT", "A file to be sent.\n");
  export_and_check();
  return 0;
}
