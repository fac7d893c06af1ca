// The stored-message reader (*.MSG of NetmailDir: the 190-byte header, the
// kludges that complete its addresses) with the conversion into the reply
// packet, in memory: the message lies in the box's RAM directory and what
// it added to the reply files is checked and cut back again. The input up
// to the first "\x00\x00\x00\x00QSCN" (if any) is the message file 1.MSG,
// the rest the quick-scan stamp file QUILLMAR.DAT.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "export/export_state.hpp"
#include "export/packet_reader.hpp"
#include "harness.hpp"
#include "structure.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

QUILLMAR_FUZZ_TARGET(stored_read) {
  static int seen = -1;
  if (setup_needed(seen)) {
    start_fast_export(Mailer::arcmail, "QuickScan Yes\n");
    write_file("netmail/FILE.TXT", "A file to be sent.\n");
  }
  std::string_view input(reinterpret_cast<const char*>(data), size);
  auto [message, stamp] = split_input(input, kQuickScanSeparator);
  write_file("netmail/1.MSG", message);
  if (input.find(kQuickScanSeparator) != std::string_view::npos) {
    write_file("netmail/QUILLMAR.DAT", stamp);
  } else {
    std::remove(in_box("netmail/QUILLMAR.DAT").c_str());
  }
  ExportMark mark = export_mark();
  export_state.write_failed = false;
  as_run([] { scan_netmail(); });
  if (!settle_reply_streams()) fail("the reply files could not be written");
  check_replies_since(mark.reply);
  export_rollback(mark);
  return 0;
}

#if !defined(QUILLMAR_FUZZ_REPLAY)
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned int seed) {
  return mutate_stored_message(data, size, max_size, seed, LLVMFuzzerMutate);
}
#endif
