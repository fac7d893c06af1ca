#include "platform/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace quillmar::platform {

std::vector<std::string> split_command(std::string_view command) {
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

namespace {

// Writes `input` to the command's standard input and waits for the command
// to end, at most `timeout_seconds` (0: without a limit); kills it then.
// Returns the wait status (-1 when it cannot be had); `timed_out` tells of
// the kill. Without pidfd_open (Linux before 5.3) there is no limit.
int feed_and_wait(pid_t pid, int input_fd, std::string_view& input, int timeout_seconds,
                  bool& timed_out) {
  timed_out = false;
  int pidfd = timeout_seconds > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)) : -1;
  if (pidfd >= 0) {
    ::fcntl(input_fd, F_SETFL, ::fcntl(input_fd, F_GETFL) | O_NONBLOCK);
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    long long deadline = start.tv_sec * 1000LL + start.tv_nsec / 1000000 + timeout_seconds * 1000LL;
    for (;;) {
      pollfd fds[2] = {{pidfd, POLLIN, 0}, {input_fd, POLLOUT, 0}};
      nfds_t count = input_fd >= 0 && !input.empty() ? 2 : 1;
      timespec now{};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      long long left = deadline - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
      int rc = left > 0 ? ::poll(fds, count, static_cast<int>(left > 60000 ? 60000 : left)) : 0;
      if (rc < 0 && errno == EINTR) continue;
      if (rc == 0 && left <= 60000) {
        ::kill(pid, SIGKILL);
        timed_out = true;
        break;
      }
      if (rc > 0 && count == 2 && fds[1].revents != 0) {
        ssize_t n = ::write(input_fd, input.data(), input.size());
        if (n > 0) {
          input.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
          ::close(input_fd);  // the command stopped reading
          input_fd = -1;
        }
      }
      if (input_fd >= 0 && input.empty()) {
        ::close(input_fd);
        input_fd = -1;
      }
      if (rc > 0 && fds[0].revents != 0) break;  // it ended
    }
    ::close(pidfd);
  } else {
    while (!input.empty()) {
      ssize_t n = ::write(input_fd, input.data(), input.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      input.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  if (input_fd >= 0) ::close(input_fd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace

CommandResult run_with_input(const std::vector<std::string>& command, std::string_view input,
                             int timeout_seconds) {
  CommandResult result;
  std::vector<std::string> words = command;
  if (words.empty()) {
    result.error = "the command is empty";
    return result;
  }
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t parent = ::getpid();
  std::fflush(nullptr);
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    result.error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return result;
  }
  // The child writes the reason when the command cannot be run; the pipe
  // closes without a word when it runs.
  int exec_fds[2];
  if (::pipe2(exec_fds, O_CLOEXEC) != 0) {
    result.error = std::string("cannot make a pipe: ") + std::strerror(errno);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return result;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    result.error = std::string("cannot start a process: ") + std::strerror(errno);
    for (int fd : {pipe_fds[0], pipe_fds[1], exec_fds[0], exec_fds[1]}) ::close(fd);
    return result;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(pipe_fds[0], STDIN_FILENO);
    ::signal(SIGPIPE, SIG_DFL);
    ::execvp(argv[0], argv.data());
    int error = errno;
    if (::write(exec_fds[1], &error, sizeof error) < 0) {
    }
    ::_exit(127);
  }
  ::close(exec_fds[1]);
  int exec_error = 0;
  ssize_t got;
  while ((got = ::read(exec_fds[0], &exec_error, sizeof exec_error)) < 0 && errno == EINTR) {
  }
  ::close(exec_fds[0]);
  if (got == static_cast<ssize_t>(sizeof exec_error)) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    result.error = "cannot run " + words[0] + ": " + std::strerror(exec_error);
    return result;
  }
  result.started = true;
  ::close(pipe_fds[0]);
  // A command that stops reading early must not end this program.
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old);
  int status = feed_and_wait(pid, pipe_fds[1], input, timeout_seconds, result.timed_out);
  ::sigaction(SIGPIPE, &old, nullptr);
  if (status == -1) {
    result.error = std::string("cannot wait for the command: ") + std::strerror(errno);
    return result;
  }
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  // Input the command did not take means it did not get the whole message.
  result.input_left = !input.empty();
  return result;
}

namespace {

bool write_all(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool read_all(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

CommandResult run_with_input(const std::vector<std::string>& command, std::string_view input,
                             int timeout_seconds,
                             const std::function<void(const CommandResult&)>& finish) {
  CommandResult result;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    result.error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return result;
  }
  std::fflush(nullptr);
  pid_t helper = ::fork();
  if (helper < 0) {
    result.error = std::string("cannot start a process: ") + std::strerror(errno);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return result;
  }
  if (helper == 0) {
    ::close(pipe_fds[0]);
    ::signal(SIGPIPE, SIG_IGN);
    CommandResult r = run_with_input(command, input, timeout_seconds);
    finish(r);
    std::fflush(nullptr);
    int fields[6] = {
        r.started ? 1 : 0,   r.exit_code,         r.signal, static_cast<int>(r.error.size()),
        r.timed_out ? 1 : 0, r.input_left ? 1 : 0};
    bool sent = write_all(pipe_fds[1], fields, sizeof fields) &&
                write_all(pipe_fds[1], r.error.data(), r.error.size());
    ::_exit(sent ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  int fields[6] = {0, -1, 0, 0, 0, 0};
  bool ok = read_all(pipe_fds[0], fields, sizeof fields) && fields[3] >= 0 && fields[3] < 65536;
  if (ok) {
    result.error.resize(static_cast<std::size_t>(fields[3]));
    ok = read_all(pipe_fds[0], result.error.data(), result.error.size());
  }
  ::close(pipe_fds[0]);
  while (::waitpid(helper, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (!ok) {
    result = CommandResult{};
    result.error = "the helper process ended early";
    return result;
  }
  result.started = fields[0] != 0;
  result.exit_code = fields[1];
  result.signal = fields[2];
  result.timed_out = fields[4] != 0;
  result.input_left = fields[5] != 0;
  return result;
}

}  // namespace quillmar::platform
