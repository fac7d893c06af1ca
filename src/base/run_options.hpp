// The options of the run, read from the command line by the run driver.
#pragma once

#include "base/path_text.hpp"

namespace quillmar {

enum class Command { none, import_mail, export_mail, pack, check };

struct RunOptions {
  Command command = Command::none;
  bool test_mode = false;
  bool verbose = false;
  bool global_stats = false;
  PathText config_file_name{"QUILLMAR.CFG"};
  PathText packet_dir;
};

extern RunOptions run_options;

}  // namespace quillmar
