// The scratch installation of the black-box export tests, the test messages
// they send (each carrying a token "Msg-NNNN") and the count of what the
// reply packet holds, as the SOUP program would read it.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "export/export_files.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace export_install {

namespace fs = std::filesystem;

constexpr FtnAddress kNode1{2, 345, 1, 0};
constexpr FtnAddress kGateway{2, 345, 6, 0};
constexpr FtnAddress kRoute{2, 345, 7, 0};

inline std::string token(int n) {
  char b[16];
  std::snprintf(b, sizeof b, "Msg-%04d", n);
  return b;
}

inline TestMessage mail(int n) {
  TestMessage m;
  m.text = "\x01MSGID: 2:345/1 " + std::to_string(10000 + n) + "\rTo: u" + std::to_string(n) +
           "@example.net\r\r" + token(n) + " body\r";
  return m;
}
inline TestMessage news(int n) {
  TestMessage m;
  m.to_name = "All";
  m.text = "AREA:FIDO.TEST\r\x01MSGID: 2:345/1 " + std::to_string(10000 + n) + "\r" + token(n) +
           " body\r--- ed\r * Origin: here (2:345/1)\r";
  return m;
}
inline TestMessage any_message(int n) {
  return n % 3 == 0 ? news(n) : mail(n);
}

inline std::vector<TestMessage> messages(int first, int count) {
  std::vector<TestMessage> out;
  for (int n = first; n < first + count; ++n) out.push_back(any_message(n));
  return out;
}

// What the reply packet holds, as the SOUP program would read it.
struct ReplyCount {
  std::map<std::string, int> seen;  // token -> times
  std::string problems;
};

inline ReplyCount count_replies(const std::string& soup) {
  ReplyCount c;
  std::string replies = exists(soup + "/REPLIES") ? read_file(soup + "/REPLIES") : "";
  std::vector<std::string> listed;
  for (std::size_t pos = 0; pos < replies.size();) {
    std::size_t end = replies.find('\n', pos);
    if (end == std::string::npos) {
      c.problems += "REPLIES ends without a line feed\n";
      break;
    }
    std::string line = replies.substr(pos, end - pos);
    pos = end + 1;
    std::string prefix = line.substr(0, line.find('\t'));
    for (const std::string& l : listed) {
      if (l == prefix) c.problems += prefix + " listed twice\n";
    }
    listed.push_back(prefix);
    std::string data = read_file(soup + "/" + prefix + ".MSG");
    bool framed = false;
    for (const std::string& m : split_framed(data, &framed)) {
      std::size_t at = m.find("Msg-");
      std::size_t file = m.find("attached file F");
      if (at != std::string::npos) {
        ++c.seen[m.substr(at, 8)];
      } else if (file != std::string::npos) {
        ++c.seen[m.substr(file + 14, 7)];
      } else {
        c.problems += "a message without a token in " + prefix + "\n";
      }
    }
    if (!framed) c.problems += prefix + ".MSG: broken framing\n";
  }
  // No reply file is left unlisted.
  for (const auto& e : fs::directory_iterator(soup)) {
    std::string name = e.path().filename().string();
    if (!name.starts_with("mail") && !name.starts_with("news")) continue;
    std::string prefix = name.substr(0, name.find('.'));
    bool is_listed = false;
    for (const std::string& l : listed) is_listed = is_listed || l == prefix;
    if (!is_listed) c.problems += "left in the SOUP directory: " + name + "\n";
  }
  return c;
}

// Every token from `first` to `first + count` exactly once, and nothing else.
inline void expect_each_once(const ReplyCount& c, const std::vector<std::string>& tokens,
                             const std::string& context) {
  EXPECT_EQ(c.problems, "") << context;
  std::string wrong;
  for (const std::string& t : tokens) {
    auto it = c.seen.find(t);
    int times = it == c.seen.end() ? 0 : it->second;
    if (times != 1) wrong += t + " x" + std::to_string(times) + " ";
  }
  EXPECT_EQ(wrong, "") << context;
  EXPECT_EQ(c.seen.size(), tokens.size()) << context;
}

inline std::vector<std::string> msg_tokens(int count) {
  std::vector<std::string> out;
  for (int n = 0; n < count; ++n) out.push_back(token(n));
  return out;
}

// Runs the binary under strace, which kills it with SIGKILL at the `when`-th
// call of `syscall`. True when it was killed.
inline bool run_killed(const std::string& cwd, const std::vector<std::string>& args,
                       const std::string& syscall, int when) {
  std::string cmd =
      "cd " + shell_quote(cwd) +
      " && env TZ=UTC ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 strace -f -o /dev/null "
      "-e trace=" +
      syscall + " -e inject=" + syscall + ":signal=SIGKILL:when=" + std::to_string(when) + " " +
      shell_quote(QUILLMAR_BINARY);
  for (const std::string& a : args) cmd += " " + shell_quote(a);
  cmd += " >/dev/null 2>&1";
  int status = std::system(cmd.c_str());
  return !(WIFEXITED(status) && WEXITSTATUS(status) < 3);
}

inline void set_age(const std::string& path, long seconds) {
  struct timeval tv[2];
  ::gettimeofday(&tv[0], nullptr);
  tv[0].tv_sec -= seconds;
  tv[1] = tv[0];
  ::utimes(path.c_str(), tv);
}

// A scratch installation and runs of the binary on it.
struct Install {
  ScratchDir dir;
  std::string config_path;

  RunResult run(std::vector<std::string> args) {
    args.push_back("/CONFIG=" + config_path);
    return run_quillmar(dir.path(), args, "TZ=UTC");
  }
  void write_config(const std::string& extra) {
    config_path = dir.write("QUILLMAR.CFG", minimal_config(dir) + extra);
  }
};

class CrashExport : public ::testing::Test, public Install {};

// A file or directory read-only while this lives, also for root (a
// read-only bind mount); `ok` is false when that cannot be done here.
class ReadOnly {
 public:
  explicit ReadOnly(std::string path) : path_(std::move(path)) {
    if (::geteuid() != 0) {
      ok = ::chmod(path_.c_str(), fs::is_directory(path_) ? 0555 : 0444) == 0;
      return;
    }
    std::string p = shell_quote(path_);
    mounted_ = std::system(("mount --bind " + p + " " + p + " 2>/dev/null").c_str()) == 0;
    ok = mounted_ &&
         std::system(("mount -o remount,ro,bind " + p + " " + p + " 2>/dev/null").c_str()) == 0;
  }
  ~ReadOnly() { end(); }
  ReadOnly(const ReadOnly&) = delete;
  ReadOnly& operator=(const ReadOnly&) = delete;
  void end() {
    if (::geteuid() != 0) {
      ::chmod(path_.c_str(), fs::is_directory(path_) ? 0755 : 0644);
    } else if (mounted_) {
      std::system(("umount " + shell_quote(path_)).c_str());
      mounted_ = false;
    }
  }
  bool ok = false;

 private:
  std::string path_;
  bool mounted_ = false;
};

}  // namespace export_install
}  // namespace quillmar::testing
