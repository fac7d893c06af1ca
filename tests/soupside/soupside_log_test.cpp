// What quillmar-soup tells the sysop, and where: the start-up's warnings
// and fatal errors reach the log as well as the console; an unwritable log
// is named with the reason; a failure is said once; the reason of a mail
// command that stopped early; a relative /CONFIG=; --version.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include "soupside/soupside_fixture.hpp"
#include "soupside/soupside_messages.hpp"

namespace quillmar::testing {
namespace {

std::size_t count_of(const std::string& text, const std::string& piece) {
  std::size_t n = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++n;
  }
  return n;
}

// The log of one run: its header line, then the lines of the run.
std::string log_after_header(const std::string& log) {
  EXPECT_EQ(log.rfind("--- quillmar-soup ", 0), 0u) << log;
  return log.substr(log.find('\n') + 1);
}

// A typo in a keyword and a missing directory are in the log, under the
// run's header, with the console's text unchanged.
TEST(SoupSideLog, StartUpWarningsAndFatalErrorsReachTheLog) {
  ScratchDir dir;
  make_maildir(dir, "box");
  std::string config = minimal_config(dir) + "LogFile " + dir.path() + "/soup.log\nSoupMaildir " +
                       dir.path() + "/box\nNntpSever news.example.net\n";
  dir.write("q.cfg", config);
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::string warning =
      "Warning: unknown keyword in line 10 of ./q.cfg\n"
      "NntpSever news.example.net: unknown keyword\n\n";
  EXPECT_EQ(r.err.rfind(warning, 0), 0u) << r.err;
  std::string log = log_after_header(read_file(dir / "soup.log"));
  EXPECT_EQ(log.rfind(warning, 0), 0u) << log;
  EXPECT_NE(log.find("Nothing new collected\n"), std::string::npos) << log;

  // The run that stops at a missing directory leaves its reason there too.
  std::filesystem::remove_all(dir / "soup.log");
  dir.write("q.cfg", config + "SoupMaildirDone " + dir.path() + "/nobox\n");
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 255) << r.err;
  const std::string fatal =
      "FATAL ERROR: the directory " + dir.path() + "/nobox/ of SoupMaildirDone does not exist\n";
  EXPECT_EQ(r.err, warning + fatal);
  EXPECT_EQ(log_after_header(read_file(dir / "soup.log")), warning + fatal);
  // The log is made readable by its owner and group only.
  struct stat st {};
  ASSERT_EQ(::stat((dir / "soup.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A log that cannot be written is named with the system's reason; the
// run goes on.
TEST(SoupSideLog, UnwritableLogIsNamedWithTheReason) {
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir) + "LogFile " + dir.path() + "/nodir/soup.log\n");
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "LogFile " + dir.path() +
                       "/nodir/soup.log: No such file or directory\nNothing new collected\n");
}

// A packet that cannot be written (here: files limited to 20 KB, as on a
// full disk) is said once, on the console and in the log.
TEST(SoupSideLog, AFailedWriteOfThePacketIsSaidOnce) {
  ScratchDir dir;
  make_maildir(dir, "box");
  std::string big = mail("big");
  for (int i = 0; i < 2000; ++i) big += "A line of a large mail, there to make it large.\n";
  dir.write("box/new/1.big", big);
  dir.write("box/new/2.big", big);
  dir.write("q.cfg", minimal_config(dir) + "SoupMaildir " + dir.path() + "/box\nLogFile " +
                         dir.path() + "/soup.log\n");
  std::string out;
  int rc = shell("cd " + quote(dir.path()) +
                     " && trap '' XFSZ && ulimit -f 20 && ASAN_OPTIONS=verify_asan_link_order=0 " +
                     quote(QUILLMAR_SOUP_BINARY) + " collect /C=./q.cfg 2>&1",
                 &out);
  EXPECT_EQ(rc, 2) << out;
  const std::string line = "! cannot write " + dir.path() + "/soup/QS0000.TMP: File too large\n";
  EXPECT_EQ(count_of(out, line), 1u) << out;
  EXPECT_EQ(count_of(read_file(dir / "soup.log"), line), 1u);
  EXPECT_TRUE(exists(dir / "box/new/1.big"));
  EXPECT_TRUE(exists(dir / "box/new/2.big"));
}

// A mail command that ends with 0 before it has read the whole mail has
// not taken it: the reason says so, the mail is kept and goes with the
// next run, without a warning that it may arrive twice.
TEST(SoupSideLog, MailCommandThatEndsEarlyWithZero) {
  ScratchDir dir;
  std::string big = mail("early");
  while (big.size() < 1024 * 1024) big += "A line that makes the mail larger than a pipe holds.\n";
  dir.write("soup/REPLIES", "mail0000\tmail\tbn\n");
  dir.write("soup/mail0000.MSG", framed_message(big));
  std::string config =
      minimal_config(dir) + "SoupSendmail /bin/sh -c \"exec head -c 100 >/dev/null\"\n";
  dir.write("q.cfg", config);
  RunResult r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_NE(r.err.find("! mail 1 of " + dir.path() +
                       "/soup/mail0000.MSG kept for the next run: the command ended with 0 "
                       "before reading the whole message\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("status -1"), std::string::npos) << r.err;
  EXPECT_TRUE(exists(dir / "soup/mail0000.MSG"));

  dir.write("q.cfg", minimal_config(dir) + "SoupSendmail /bin/sh -c \"cat >>'" + dir.path() +
                         "/sent.txt'\"\n");
  r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find("may arrive twice"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(dir / "sent.txt"), big);
}

// A configuration file named with /CONFIG= without a directory is read
// from the current directory.
TEST(SoupSideLog, RelativeConfigIsReadFromTheCurrentDirectory) {
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir));
  RunResult r = run_soup(dir.path(), {"collect", "/CONFIG=q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "Nothing new collected\n");
  r = run_soup(dir.path(), {"deliver", "/C=none.cfg"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "Error: can't read ./none.cfg\n"
            "configuration file ./none.cfg: No such file or directory\n");
}

// --version names the program, its version and the system it runs on.
TEST(SoupSideLog, VersionNamesTheProgramAndThePlatform) {
  ScratchDir dir;
  struct utsname u {};
  ASSERT_EQ(::uname(&u), 0);
  RunResult r = run_soup(dir.path(), {"--version"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, std::string("quillmar-soup (Quillmar) 1.04, Linux ") + u.machine + "\n");
}

}  // namespace
}  // namespace quillmar::testing
