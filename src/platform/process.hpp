// Running another program with data on its standard input.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quillmar::platform {

struct CommandResult {
  bool started = false;  // false when the command could not be run at all
  int exit_code = -1;    // the exit status when it ended normally, else -1
  int signal = 0;        // the signal that ended it, else 0
  std::string error;     // why it could not be run
};

// Runs `command` with `input` as its standard input and waits for it to end.
// The command is split into words at blanks (double quotes keep a word
// together) and started without a shell, looked up in PATH. Its output goes
// where the caller's goes. When the caller is killed, the command is killed
// too, so that a message it has not handed on yet is not handed on later.
CommandResult run_with_input(std::string_view command, std::string_view input);

// The same through a helper process that calls `finish` with the outcome
// before the caller hears of it. The helper lives on when the caller is
// killed, so that what the command accepted is noted all the same; it holds
// the caller's open files and locks until it ends.
CommandResult run_with_input(std::string_view command, std::string_view input,
                             const std::function<void(const CommandResult&)>& finish);

}  // namespace quillmar::platform
