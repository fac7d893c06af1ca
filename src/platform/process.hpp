// Running another program with data on its standard input.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::platform {

struct CommandResult {
  bool started = false;     // false when the command could not be run at all
                            // (not found, not executable: `error` says so)
  int exit_code = -1;       // the exit status when it ended normally, else -1
  int signal = 0;           // the signal that ended it, else 0
  bool timed_out = false;   // it took longer than it was given and was killed
  bool input_left = false;  // it ended without reading all of its input
  std::string error;        // why it could not be run

  // It ran, read all of its input and ended with 0.
  bool succeeded() const {
    return started && signal == 0 && !timed_out && exit_code == 0 && !input_left;
  }
};

// The words of a command line: split at blanks, double quotes keeping a
// word together.
std::vector<std::string> split_command(std::string_view command);

// Runs the command `words` (the program, looked up in PATH, and its
// arguments; no shell) with `input` as its standard input and waits for it
// to end, at most `timeout_seconds` (0: without a limit), after which it is
// killed. Its output goes where the caller's goes. When the caller is
// killed, the command is killed too, so that a message it has not handed
// on yet is not handed on later.
CommandResult run_with_input(const std::vector<std::string>& words, std::string_view input,
                             int timeout_seconds);

// The same through a helper process that calls `finish` with the outcome
// before the caller hears of it. The helper lives on when the caller is
// killed, so that what the command accepted is noted all the same; it holds
// the caller's open files and locks until it ends.
CommandResult run_with_input(const std::vector<std::string>& words, std::string_view input,
                             int timeout_seconds,
                             const std::function<void(const CommandResult&)>& finish);

}  // namespace quillmar::platform
