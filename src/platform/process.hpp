// Running another program with data on its standard input.
#pragma once

#include <string>
#include <string_view>

namespace quillmar::platform {

struct CommandResult {
  bool started = false;  // false when the command could not be run at all
  int exit_code = -1;    // the exit status when it ended normally, else -1
  int signal = 0;        // the signal that ended it, else 0
  std::string error;     // why it could not be run
};

// Runs `command` through /bin/sh -c with `input` as its standard input and
// waits for it to end. Its output goes where the caller's goes.
CommandResult run_with_input(std::string_view command, std::string_view input);

}  // namespace quillmar::platform
