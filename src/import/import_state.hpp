// The import's run state: what IMPORT keeps while it runs, gathered in one
// record so that a reader sees what the import's code shares.
#pragma once

#include <vector>

#include "base/path_list.hpp"
#include "base/path_text.hpp"
#include "import/import_journal.hpp"
#include "import/statistics.hpp"
#include "soup/soup_reader.hpp"

namespace quillmar {

struct ImportState {
  ImportCounters file_counters;         // of the message file being imported
  ImportCounters run_totals;            // of the whole run
  MessageFile* message_file = nullptr;  // allocated once for the run
  // The files decoded from the current message file, and how many decoded
  // files could not be written whole in the run.
  PathList decoded_files;
  long decoding_failures = 0;
  // The committed state of the message file being imported (see the
  // import's journal).
  JournalState journal;
  // A commit could not be finished: nothing more is imported in this run,
  // and the journal stays for the next one.
  bool stopped = false;
};

extern ImportState import_state;

}  // namespace quillmar
