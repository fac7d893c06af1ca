#include "platform/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillmar::platform {

CommandResult run_with_input(std::string_view command, std::string_view input) {
  CommandResult result;
  std::string text(command);
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    result.error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return result;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    result.error = std::string("cannot start a process: ") + std::strerror(errno);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return result;
  }
  if (pid == 0) {
    ::dup2(pipe_fds[0], STDIN_FILENO);
    ::signal(SIGPIPE, SIG_DFL);
    ::execl("/bin/sh", "sh", "-c", text.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  result.started = true;
  ::close(pipe_fds[0]);
  // A command that stops reading early must not end this program.
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old);
  while (!input.empty()) {
    ssize_t n = ::write(pipe_fds[1], input.data(), input.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    input.remove_prefix(static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[1]);
  ::sigaction(SIGPIPE, &old, nullptr);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      result.error = std::string("cannot wait for the command: ") + std::strerror(errno);
      return result;
    }
  }
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
    if (result.exit_code == 127) result.error = "the command was not found";
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  // Input the command did not take means it did not get the whole message.
  if (!input.empty() && result.exit_code == 0) {
    result.exit_code = -1;
    result.error = "the command did not read the whole message";
  }
  return result;
}

}  // namespace quillmar::platform
