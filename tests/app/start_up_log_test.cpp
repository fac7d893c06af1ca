// The start-up of the gateway in its log: the warnings about the
// configuration and the fatal errors reach the log as well as the console
// (whose text stays as it was), the log is made 0640, and CHECK warns about
// passwords that every user of the system can read.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "test_support.hpp"

namespace quillmar::testing {
namespace {

// The log without its header line (which holds the time).
std::string log_after_header(const std::string& log) {
  EXPECT_EQ(log.rfind("--- Quillmar/W32 v1.04  ", 0), 0u) << log;
  return log.substr(log.find('\n') + 1);
}

TEST(StartUpLog, AKeywordTypoIsInTheLog) {
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir) + "LogFile ./gate.log\nNntpSever news.example.net\n");
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0);
  const std::string warning =
      "Warning: unknown keyword in line 9 of ./q.cfg\n"
      "NntpSever news.example.net: unknown keyword\n\n";
  EXPECT_EQ(r.err, warning + "Configuration checked. Nothing more to do.\n");
  EXPECT_EQ(log_after_header(read_file(dir / "gate.log")),
            warning + "Configuration checked. Nothing more to do.\n");
  // An IMPORT says it too, before its own lines.
  r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::string log = read_file(dir / "gate.log");
  std::string last = log.substr(log.rfind("\n--- ") + 1);
  EXPECT_EQ(log_after_header(last).rfind(warning, 0), 0u) << last;
  struct stat st {};
  ASSERT_EQ(::stat((dir / "gate.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A run that stops at a missing directory or a missing setting leaves the
// reason in the log.
TEST(StartUpLog, FatalErrorsAreInTheLog) {
  ScratchDir dir;
  std::string base = minimal_config(dir) + "LogFile ./gate.log\n";
  dir.write("q.cfg", base + "SoupDir " + dir.path() + "/nosoup\n");
  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 255);
  const std::string fatal = "FATAL ERROR: subdirectory " + dir.path() +
                            "/nosoup does not exist\nSoupDir: directory " + dir.path() +
                            "/nosoup: No such file or directory\n";
  EXPECT_EQ(r.err, fatal);
  EXPECT_EQ(log_after_header(read_file(dir / "gate.log")), fatal);

  std::filesystem::remove(dir / "gate.log");
  dir.write("q.cfg", "LogFile ./gate.log\n" + base.substr(0, base.find("AddrMap")));
  r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("Error: no address mappings defined in ./q.cfg\n"), std::string::npos)
      << r.err;
  EXPECT_EQ(log_after_header(read_file(dir / "gate.log")), r.err);
}

// CHECK warns about a password that every user may read: PacketPwd in a
// world-readable configuration, a world-readable NntpPassFile. The warning
// does not show the password.
TEST(StartUpLog, CheckWarnsAboutPasswordsOthersCanRead) {
  ScratchDir dir;
  dir.write("pass", "secret\n");
  dir.write("q.cfg", minimal_config(dir) +
                         "PacketPwd SECRET\nNntpServer news.example.net\nNntpUser joe\n"
                         "NntpPassFile " +
                         dir.path() + "/pass\n");
  for (const char* file : {"q.cfg", "pass"}) {
    std::filesystem::permissions(dir / file, std::filesystem::perms(0644));
  }
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err,
            "Warning: every user of the system can read the password file (chmod o-r the file) in "
            "line 11 of ./q.cfg\nNntpPassFile " +
                dir.path() +
                "/pass: every user of the system can read the password file (chmod o-r the "
                "file)\n\n"
                "Warning: every user of the system can read this password (chmod o-r the file) in "
                "line 8 of ./q.cfg\nPacketPwd: every user of the system can read this password "
                "(chmod o-r the file)\n\n"
                "Configuration checked. Nothing more to do.\n");
  for (const char* file : {"q.cfg", "pass"}) {
    std::filesystem::permissions(dir / file, std::filesystem::perms(0640));
  }
  r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"});
  EXPECT_EQ(r.err, "Configuration checked. Nothing more to do.\n");
}

}  // namespace
}  // namespace quillmar::testing
