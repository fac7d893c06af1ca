// The import's run state: what IMPORT keeps while it runs, gathered in one
// record so that a reader sees what the import's code shares.
#pragma once

#include <vector>

#include "base/path_text.hpp"
#include "import/statistics.hpp"
#include "soup/soup_reader.hpp"

namespace quillmar {

struct ImportState {
  ImportCounters file_counters;         // of the message file being imported
  ImportCounters run_totals;            // of the whole run
  MessageFile* message_file = nullptr;  // allocated once for the run
  // The packets written from the current message file: when one of them
  // cannot be written completely, all go again and the file is kept, so
  // that the next run imports it once and whole.
  std::vector<PathText> file_packets;
  // The files decoded from the current message file, and how many decoded
  // files could not be written whole in the run.
  std::vector<PathText> decoded_files;
  long decoding_failures = 0;
};

extern ImportState import_state;

}  // namespace quillmar
