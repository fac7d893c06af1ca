#include "test_support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quillmar::testing {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  char templ[] = "/tmp/quillmar-test-XXXXXX";
  char* p = ::mkdtemp(templ);
  if (p == nullptr) std::abort();
  path_ = p;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string ScratchDir::operator/(std::string_view name) const {
  return path_ + "/" + std::string(name);
}

std::string ScratchDir::write(std::string_view name, std::string_view content) const {
  std::string full = *this / name;
  fs::create_directories(fs::path(full).parent_path());
  std::ofstream out(full, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return full;
}

std::string ScratchDir::mkdir(std::string_view name) const {
  std::string full = *this / name;
  fs::create_directories(full);
  return full;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

namespace {

std::string command_line(const std::string& cwd, const std::vector<std::string>& args,
                         const std::string& env, const std::string& fixed_time) {
  std::string cmd =
      "cd " + shell_quote(cwd) + " && env " + env + " ASAN_OPTIONS=verify_asan_link_order=0 ";
  if (!fixed_time.empty()) cmd += "faketime -f " + shell_quote(fixed_time) + " ";
  cmd += shell_quote(QUILLMAR_BINARY);
  for (const std::string& a : args) cmd += " " + shell_quote(a);
  return cmd;
}

}  // namespace

RunResult run_quillmar(const std::string& cwd, const std::vector<std::string>& args,
                       const std::string& env, const std::string& fixed_time) {
  char templ[] = "/tmp/quillmar-run-XXXXXX";
  char* p = ::mkdtemp(templ);
  if (p == nullptr) std::abort();
  std::string io = p;
  std::string cmd = command_line(cwd, args, env, fixed_time);
  cmd += " >" + io + "/out 2>" + io + "/err";
  int status = std::system(cmd.c_str());
  RunResult r;
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = read_file(io + "/out");
  r.err = read_file(io + "/err");
  std::error_code ec;
  fs::remove_all(io, ec);
  return r;
}

RunResult run_quillmar_on_terminal(const std::string& cwd, const std::vector<std::string>& args,
                                   const std::string& env) {
  RunResult r;
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  const char* slave_path = master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0
                               ? ::ptsname(master)
                               : nullptr;
  int slave = slave_path != nullptr ? ::open(slave_path, O_RDWR | O_NOCTTY) : -1;
  if (slave < 0) {
    ADD_FAILURE() << "no pseudo-terminal to run the program on";
    if (master >= 0) ::close(master);
    return r;
  }
  std::string slave_name = slave_path;
  // Raw output: the terminal passes every byte as written.
  struct termios t;
  ::tcgetattr(slave, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave, TCSANOW, &t);
  char templ[] = "/tmp/quillmar-run-XXXXXX";
  char* p = ::mkdtemp(templ);
  if (p == nullptr) std::abort();
  std::string io = p;
  std::string cmd = command_line(cwd, args, env, "") + " >" + io + "/out 2>" + slave_name;
  pid_t child = ::fork();
  if (child == 0) {
    ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  bool running = true;
  while (true) {
    struct pollfd pfd = {master, POLLIN, 0};
    if (::poll(&pfd, 1, running ? 50 : 0) > 0 && (pfd.revents & POLLIN) != 0) {
      char buf[4096];
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) {
        r.err.append(buf, static_cast<std::size_t>(n));
        continue;
      }
    }
    if (!running) break;
    if (::waitpid(child, &status, WNOHANG) == child) running = false;
  }
  ::close(slave);
  ::close(master);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = read_file(io + "/out");
  std::error_code ec;
  fs::remove_all(io, ec);
  return r;
}

bool have_program(const char* name) {
  std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

std::string hex(const std::string& text) {
  std::string out;
  char b[3];
  for (unsigned char c : text) {
    std::snprintf(b, sizeof b, "%02x", c);
    out += b;
  }
  return out;
}

std::string run_python(const std::string& script, const std::string& input) {
  ScratchDir dir;
  std::string code = dir.write("script.py", script);
  std::string in = dir.write("input", input);
  std::string out;
  if (FILE* p = ::popen(
          ("python3 " + shell_quote(code) + " < " + shell_quote(in) + " 2>&1").c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    ::pclose(p);
  }
  return out;
}

std::vector<std::string> split_framed(const std::string& data, bool* ok) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  bool good = true;
  while (pos + 4 <= data.size()) {
    uint32_t n = 0;
    for (int i = 0; i < 4; ++i) n = (n << 8) | static_cast<unsigned char>(data[pos + i]);
    pos += 4;
    if (n > data.size() - pos) {
      good = false;
      break;
    }
    out.push_back(data.substr(pos, n));
    pos += n;
  }
  if (ok != nullptr) *ok = good && pos == data.size();
  return out;
}

std::vector<std::string> framed_messages(const std::string& data) {
  bool ok = false;
  std::vector<std::string> out = split_framed(data, &ok);
  EXPECT_TRUE(ok) << "broken framing: a length beyond the data or bytes after the last message";
  return out;
}

std::string framed_message(const std::string& text) {
  std::string out(4, '\0');
  uint32_t n = static_cast<uint32_t>(text.size());
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((n >> (24 - 8 * i)) & 0xFF);
  return out + text;
}

std::string minimal_config(const ScratchDir& dir) {
  for (const char* d : {"in", "out", "soup", "tmp"}) dir.mkdir(d);
  return "FidoAddr 2:345/6\n"
         "AddrMap 2:345/6.1 sysop@example.org Joe Sysop\n"
         "MailerType Binkley\n"
         "InboundDir " +
         dir.path() +
         "/in\n"
         "OutboundDir " +
         dir.path() +
         "/out\n"
         "SoupDir " +
         dir.path() +
         "/soup\n"
         "TempDir " +
         dir.path() + "/tmp\n";
}

}  // namespace quillmar::testing
