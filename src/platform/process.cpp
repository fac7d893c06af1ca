#include "platform/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace quillmar::platform {

namespace {

std::vector<std::string> split_words(std::string_view command) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < command.size()) {
    while (i < command.size() && (command[i] == ' ' || command[i] == '\t')) ++i;
    if (i == command.size()) break;
    std::string word;
    bool quoted = false;
    for (; i < command.size(); ++i) {
      char c = command[i];
      if (c == '"') {
        quoted = !quoted;
      } else if (!quoted && (c == ' ' || c == '\t')) {
        break;
      } else {
        word.push_back(c);
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

}  // namespace

CommandResult run_with_input(std::string_view command, std::string_view input) {
  CommandResult result;
  std::vector<std::string> words = split_words(command);
  if (words.empty()) {
    result.error = "the command is empty";
    return result;
  }
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t parent = ::getpid();
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
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(pipe_fds[0], STDIN_FILENO);
    ::signal(SIGPIPE, SIG_DFL);
    ::execvp(argv[0], argv.data());
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
