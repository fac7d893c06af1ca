// Shared test helpers: a temporary directory per test, whole-file reads and
// writes, a small configuration, and runs of the real binary.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/run_options.hpp"
#include "config/settings.hpp"
#include "lists/list_files.hpp"
#include "test_support.hpp"

namespace quillmar::testing_support {

struct TempDir {
  std::string path;
  TempDir() {
    char pattern[] = "/tmp/quillmar-test-XXXXXX";
    char* made = ::mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    path = made != nullptr ? made : "/tmp";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

using quillmar::testing::read_file;

inline void write_file(const std::string& path, const std::string& data) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary);
  out << data;
}

inline bool have_tool(const std::string& name) {
  return quillmar::testing::have_program(name.c_str());
}

// A configuration with every required setting, directories inside `dir`.
inline std::string base_config(const TempDir& dir, const std::string& extra = "") {
  for (const char* sub : {"in", "out", "soup", "temp"}) {
    std::filesystem::create_directories(dir / sub);
  }
  return "FidoAddr 2:345/6\n"
         "AddrMap 2:345/6.1 sysop@example.org Joe Sysop\n"
         "MailerType Binkley\n"
         "InboundDir " +
         dir.path +
         "/in/\n"
         "OutboundDir " +
         dir.path +
         "/out/\n"
         "SoupDir " +
         dir.path +
         "/soup/\n"
         "TempDir " +
         dir.path + "/temp/\n" + extra;
}

struct RunResult {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs the binary in `dir` with `args` (a shell word list).
inline RunResult run_quillmar(const TempDir& dir, const std::string& args) {
  std::string command = "cd '" + dir.path + "' && ASAN_OPTIONS=verify_asan_link_order=0 '" +
                        QUILLMAR_BINARY + "' " + args + " >'" + (dir / ".stdout") + "' 2>'" +
                        (dir / ".stderr") + "'";
  int status = std::system(command.c_str());
  RunResult r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = read_file(dir / ".stdout");
  r.err = read_file(dir / ".stderr");
  std::filesystem::remove(dir / ".stdout");
  std::filesystem::remove(dir / ".stderr");
  return r;
}

// Fresh settings and no lists for every in-process list test.
class ListFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    allocate_settings();
    run_options = RunOptions{};
    reset_lists();
  }
  void TearDown() override {
    reset_lists();
    release_settings();
  }

  TempDir dir;
};

}  // namespace quillmar::testing_support
