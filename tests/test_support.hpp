// Shared test fixtures: a scratch directory, file access, and running the
// real binary.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include <string>
#include <string_view>
#include <vector>

#include "base/log.hpp"

namespace quillmar::testing {

// A fresh directory under /tmp, removed with everything in it afterwards.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of `name` inside the directory.
  std::string operator/(std::string_view name) const;
  // Writes a file (and the directories above it); returns its path.
  std::string write(std::string_view name, std::string_view content) const;
  std::string mkdir(std::string_view name) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
bool exists(const std::string& path);

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Runs the built quillmar binary in `cwd` with `args` (each quoted for the
// shell); `env` is a prefix of assignments such as "TZ=UTC TEMP=/tmp".
// With `fixed_time` the clock is pinned by faketime.
RunResult run_quillmar(const std::string& cwd, const std::vector<std::string>& args,
                       const std::string& env = "", const std::string& fixed_time = "");

// The same with standard error on a terminal (a pseudo-terminal that passes
// every byte unchanged), as when a person watches the run.
RunResult run_quillmar_on_terminal(const std::string& cwd, const std::vector<std::string>& args,
                                   const std::string& env = "");

bool have_program(const char* name);

// The bytes of `text` as lower-case hexadecimal digits.
std::string hex(const std::string& text);

// What python3 prints (standard output and error) running `script` with
// `input` on its standard input.
std::string run_python(const std::string& script, const std::string& input);

// For in-process tests: the progress display is drawn, as on a terminal,
// for as long as this object lives.
struct WatchedConsole {
  WatchedConsole() { set_progress_display(true); }
  ~WatchedConsole() { set_progress_display(false); }
};
// `s` quoted for the shell.
std::string shell_quote(const std::string& s);

// The messages of a SOUP reply file, split by their 4-byte big-endian
// lengths; `ok` is false when the framing does not end exactly at the end
// of the data.
std::vector<std::string> split_framed(const std::string& data, bool* ok = nullptr);
// The same, failing the test on broken framing.
std::vector<std::string> framed_messages(const std::string& data);
// One message as a binary SOUP message file holds it: its 4-byte
// big-endian length, then the message.
std::string framed_message(const std::string& text);

// Lines of a minimal valid configuration, with directories under `dir`.
std::string minimal_config(const ScratchDir& dir);

// Runs `body` with writes limited to files of `limit` bytes, as on a full
// disk.
template <class Body>
void with_file_size_limit(rlim_t limit, Body body) {
  struct rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit low = old;
  low.rlim_cur = limit;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);
  body();
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);
}

}  // namespace quillmar::testing
