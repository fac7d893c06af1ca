// What EXPORT does and says where a run was killed at an awkward moment or
// keeps work for a reason of its own: a stored message whose Sent mark was
// cut short is marked, not sent twice; a busy flag never exists without its
// owner; a report names the file as the directory holds it and gives the
// reason of the call that failed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "base/text_helpers.hpp"
#include "export/export_files.hpp"
#include "export/export_install.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

using namespace export_install;

// The journal a run leaves when it is killed after its commit began and
// before the mark of `msg` (the stored message as it was exported) was set:
// the mark and, for a kill-when-sent message, the removal are owed.
std::string journal_owing_mark(const std::string& path, const std::string& msg) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  std::string header = msg.substr(0, 190);
  header[186] = static_cast<char>(header[186] & ~0x08);
  const uint32_t crc = quillmar::crc32(header.data(), header.size());
  const long long mtime = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000 - 5000000000LL;
  std::string text = "QUILLMAR EXPORT JOURNAL 1\nstate commit\n";
  for (const char* act : {"sent", "kill"}) {
    if (std::string(act) == "kill" && (msg_attribute(msg) & 0x0080) == 0) continue;
    text += std::string(act) + " " + std::to_string(msg.size()) + " " + std::to_string(mtime) +
            " 190 " + std::to_string(crc) + " " + hex(path) + " -\n";
  }
  return text + "end\n";
}

struct TornMark {
  const char* name;
  uint16_t attribute;
  bool removed_at_the_end;
};

void PrintTo(const TornMark& c, std::ostream* os) {
  *os << c.name;
}

class TornSentMark : public ::testing::TestWithParam<TornMark>, public Install {};

// The kill landed inside the write of the Sent mark: the message has its
// old attribute but a new modification time. The next run completes the
// owed mark (and removal) and sends nothing again.
TEST_P(TornSentMark, IsCompletedAndNothingIsSentTwice) {
  const TornMark& c = GetParam();
  dir.mkdir("netmail");
  write_config("NetmailDir " + (dir / "netmail") + "\n");
  std::string config = read_file(config_path);
  config.replace(config.find("MailerType Binkley"), 18, "MailerType ArcMail");
  dir.write("QUILLMAR.CFG", config);
  TestMessage m = mail(0);
  m.attribute = c.attribute;
  std::string path = dir.write("netmail/1.MSG", build_msg(m));
  std::string as_exported = read_file(path);
  set_age(path, 600);

  RunResult first = run({"EXPORT"});
  ASSERT_EQ(first.exit_code, 0) << first.err;
  expect_each_once(count_replies(dir / "soup"), {token(0)}, "first run");

  // The state a kill inside the mark's write leaves: the message unmarked
  // (and still there) with a newer time, the journal owing the mark.
  dir.write("netmail/1.MSG", as_exported);
  dir.write("soup/EXPORT.JNL", journal_owing_mark(path, as_exported));

  RunResult next = run({"EXPORT"});
  EXPECT_EQ(next.exit_code, 0) << next.err;
  EXPECT_EQ(next.err.find("changed by another program"), std::string::npos) << next.err;
  expect_each_once(count_replies(dir / "soup"), {token(0)}, c.name);
  if (c.removed_at_the_end) {
    EXPECT_FALSE(exists(path));
  } else {
    EXPECT_EQ(msg_attribute(read_file(path)), c.attribute | 0x0008);
  }
  EXPECT_FALSE(exists(dir / "soup/EXPORT.JNL"));
}

INSTANTIATE_TEST_SUITE_P(Attributes, TornSentMark,
                         ::testing::Values(TornMark{"Marked", 0, false},
                                           TornMark{"KillWhenSent", 0x0080, true}),
                         [](const auto& info) { return std::string(info.param.name); });

class ExportReports : public ::testing::Test, public Install {};

// Killed anywhere while it takes the node's busy flag, the run leaves no
// flag or one that names it, which the next run removes; then every message
// goes exactly once.
TEST_F(ExportReports, BusyFlagOfAKilledRunNeverBlocksTheNode) {
  if (!have_program("strace")) GTEST_SKIP() << "strace is not installed";
  if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace cannot trace here (no ptrace)";
  }
  int flags_seen = 0;
  for (const char* syscall : {"linkat", "link", "write", "openat"}) {
    for (int when : {1, 2, 3, 6, 10}) {
      Install t;
      t.write_config("");
      t.dir.write("out/01590006.OUT", build_packet(kNode1, kGateway, messages(0, 3)));
      std::string context = std::string(syscall) + "#" + std::to_string(when);
      run_killed(t.dir.path(), {"EXPORT", "/CONFIG=" + t.config_path}, syscall, when);
      if (exists(t.dir / "out/01590006.BSY")) {
        ++flags_seen;
        EXPECT_NE(read_file(t.dir / "out/01590006.BSY").find(" Quillmar"), std::string::npos)
            << context;
      }
      RunResult clean = t.run({"EXPORT"});
      EXPECT_EQ(clean.exit_code, 0) << context << "\n" << clean.err;
      EXPECT_EQ(clean.err.find("the node is busy"), std::string::npos) << context << clean.err;
      EXPECT_FALSE(exists(t.dir / "out/01590006.BSY")) << context;
      expect_each_once(count_replies(t.dir / "soup"), msg_tokens(3), context);
    }
  }
  EXPECT_GT(flags_seen, 0) << "no kill landed while the flag was held";
}

// A run that keeps a file for a reason of its own names no failed write;
// its reports name the files as the outbound holds them (lower case, as a
// crashmail outbound has them), without the flow file's send marker.
TEST_F(ExportReports, KeptWorkIsReportedByTheNamesOnDisk) {
  write_config("");
  std::string alone = dir.write("files/alone.txt", "alone\n");
  std::string other = dir.write("files/l.pkt", build_packet(kNode1, kGateway, messages(0, 1)));
  std::string missing = dir / "files/missing.bin";
  dir.write("out/01590006.flo", "#" + alone + "\n^" + other + "\n^" + missing + "\n");
  RunResult r = run({"EXPORT"});
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_NE(r.err.find("! " + alone + ": no message carries it and it has no recipient: kept in " +
                       (dir / "out/01590006.flo") + "\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("Last failed write"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\\'), std::string::npos) << r.err;
  expect_each_once(count_replies(dir / "soup"), {token(0)}, "kept work");

  // A flag of binkd in lower case is reported by its name.
  dir.write("out/01590006.out", build_packet(kNode1, kGateway, messages(1, 1)));
  dir.write("out/01590006.bsy", "4242 binkd\n");
  RunResult busy = run({"EXPORT"});
  EXPECT_NE(busy.err.find("! " + (dir / "out/01590006.bsy") + " exists: the node is busy"),
            std::string::npos)
      << busy.err;
}

// The flag of a node whose outbound cannot be written to is refused with
// the reason of that refusal.
TEST_F(ExportReports, BusyFlagThatCannotBeMadeGivesTheReasonOfTheFailedCall) {
  write_config("");
  dir.write("out/01590006.OUT", build_packet(kNode1, kGateway, messages(0, 1)));
  ReadOnly read_only(dir / "out");
  if (!read_only.ok) GTEST_SKIP() << "cannot make a directory read-only here";
  RunResult r = run({"EXPORT"});
  read_only.end();
  const std::string reason = ::geteuid() == 0 ? std::strerror(EROFS) : std::strerror(EACCES);
  EXPECT_NE(r.err.find("! can't create " + (dir / "out/01590006.BSY") + ": " + reason + "\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_TRUE(exists(dir / "out/01590006.OUT"));
}

// A gateway flag whose process has ended (also one not yet reaped) or
// whose number now belongs to another program is left behind: removed, and
// the node's mail goes. A flag of another program holds the node, and the
// run does not claim it had nothing to do.
TEST_F(ExportReports, BusyFlagsOfEndedRunsAreLeftBehind) {
  write_config("");
  pid_t zombie = ::fork();
  if (zombie == 0) ::_exit(0);
  pid_t other = ::fork();
  if (other == 0) {
    ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::usleep(200000);  // the zombie has ended, the other runs sleep
  struct Case {
    const char* name;
    std::string flag;
    bool busy;
  } cases[] = {
      {"an ended run, not yet reaped", std::to_string(zombie) + " Quillmar\n", false},
      {"a number now of another program", std::to_string(other) + " Quillmar\n", false},
      {"another program's flag", "4242 binkd\n", true},
  };
  int n = 0;
  for (const Case& c : cases) {
    dir.write("out/01590006.OUT", build_packet(kNode1, kGateway, messages(n, 1)));
    dir.write("out/01590006.BSY", c.flag);
    RunResult r = run({"EXPORT"});
    EXPECT_EQ(r.exit_code, 0) << c.name << "\n" << r.err;
    EXPECT_EQ(exists(dir / "out/01590006.OUT"), c.busy) << c.name << "\n" << r.err;
    EXPECT_EQ(r.err.find("Nothing to do"), std::string::npos) << c.name << "\n" << r.err;
    if (c.busy) {
      fs::remove(dir / "out/01590006.BSY");
      fs::remove(dir / "out/01590006.OUT");
    } else {
      EXPECT_NE(r.err.find("is left behind: removed"), std::string::npos) << c.name << r.err;
      ++n;
    }
  }
  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);
  ::waitpid(zombie, nullptr, 0);
  expect_each_once(count_replies(dir / "soup"), msg_tokens(n), "left behind");
}

// A file under a packet's name that is no packet is said: removed from the
// outbound, left in a /PKT= directory.
TEST_F(ExportReports, FilesThatAreNoPacketsAreSaid) {
  write_config("");
  set_age(dir.write("out/01590006.out", "xx"), 600);
  dir.mkdir("pkts");
  set_age(dir.write("pkts/garbage.pkt", std::string(30, '\x7f')), 600);
  RunResult r = run({"EXPORT"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("! " + (dir / "out/01590006.out") +
                       " is no FidoNet packet (too short, or not of type 2): removed\n"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(exists(dir / "out/01590006.out"));
  r = run({"EXPORT", "/PKT=" + (dir / "pkts") + "/"});
  EXPECT_NE(r.err.find("! " + (dir / "pkts/garbage.pkt") +
                       " is no FidoNet packet (too short, or not of type 2): left as it is\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(exists(dir / "pkts/garbage.pkt"));
}

// When the journal cannot be written (here its temporary file's name is
// taken by a directory), the kept packet is named as the outbound holds it,
// the failure is said once, and the last failed write names the journal,
// not the temporary file standing for it.
TEST_F(ExportReports, UnwritableJournalIsReportedOnceByTheRightNames) {
  write_config("");
  dir.write("out/01590006.out", build_packet(kNode1, kGateway, messages(0, 4)));
  dir.mkdir("soup/QUILLMAR.JNT");
  RunResult r = run({"EXPORT"});
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_NE(r.err.find("! " + (dir / "out/01590006.out") + " kept"), std::string::npos) << r.err;
  std::size_t first = r.err.find("! error writing " + (dir / "soup/EXPORT.JNL"));
  EXPECT_NE(first, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("! error writing", first + 1), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("! Last failed write: " + (dir / "soup/EXPORT.JNL") + ": "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find('\\'), std::string::npos) << r.err;
  EXPECT_TRUE(exists(dir / "out/01590006.out"));
}

}  // namespace
}  // namespace quillmar::testing
