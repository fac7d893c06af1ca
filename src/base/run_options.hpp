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

// The configuration file a run reads without /CONFIG=: QUILLMAR.CFG beside
// the program, or, in a build for a system installation (the CMake option
// QUILLMAR_SYSTEM_CONFIG, set by the Debian build), the file QUILLMAR_CONFIG
// names in the environment, else that option's path.
void set_default_config_name();

}  // namespace quillmar
