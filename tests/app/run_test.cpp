// The run driver through the real binary: command line, required settings,
// directory checks, log file and dispatch.
#include <gtest/gtest.h>

#include "test_support.hpp"

namespace quillmar::testing {
namespace {

constexpr const char* kUsageStart = "Usage: (all commands & options can be abbreviated";

TEST(RunDriver, BannerAndCheck) {
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir));
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/CONFIG=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.rfind("Quillmar/W32 v1.04 - Fidonet/Internet gateway software\n"
                        "Public gamma version; compiled ",
                        0),
            0u);
  EXPECT_EQ(r.out.substr(r.out.size() - 2), "\n\n");
  EXPECT_EQ(r.err, "Configuration checked. Nothing more to do.\n");
}

TEST(RunDriver, CommandLine) {
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir));
  dir.write("other.cfg", "FidoAddr 0:0/0\n");
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    bool usage;
  } cases[] = {
      {{}, 255, true},
      {{"/C=./q.cfg"}, 255, true},  // no command
      {{"c", "/C=./q.cfg"}, 0, false},
      {{"Check", "-c=./q.cfg"}, 0, false},
      {{"CHECK", "/CONFIG"}, 255, true},
      {{"CHECK", "/X"}, 255, true},
      {{"CHECK", "bogus"}, 255, true},
      {{"CHECK", "/C=./q.cfg", "/PKT=x"}, 255, true},  // /PKT= only with EXPORT
      {{"IMPORT", "/P=x", "/C=./q.cfg"}, 255, true},
      {{"EXPORT", "/PKT=", "/C=./q.cfg"}, 255, true},  // an empty directory is no directory
      {{"check", "-t", "/v", "-GLOBAL", "/c=./q.cfg"}, 0, false},
      // The later of two configuration options wins.
      {{"CHECK", "/C=./q.cfg", "/CONFIG=./other.cfg"}, 1, false},
      {{"CHECK", "/C=./other.cfg", "/C=./q.cfg"}, 0, false},
  };
  for (const Case& c : cases) {
    RunResult r = run_quillmar(dir.path(), c.args);
    std::string where = c.args.empty() ? "(none)" : c.args[0] + " ...";
    EXPECT_EQ(r.exit_code, c.exit_code) << where << "\n" << r.err;
    EXPECT_EQ(r.out.find(kUsageStart) != std::string::npos, c.usage) << where;
  }
}

TEST(RunDriver, UsageText) {
  ScratchDir dir;
  RunResult r = run_quillmar(dir.path(), {});
  std::size_t at = r.out.find(kUsageStart);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(r.out.substr(at),
            "Usage: (all commands & options can be abbreviated to their first letter)\n\n"
            "QUILLMAR IMPORT      import mail from Internet -> Fidonet\n"
            "QUILLMAR EXPORT      export mail from Fidonet -> Internet\n"
            "QUILLMAR PACK        pack mailinglist user files\n"
            "QUILLMAR CHECK       reads & checks all configuration files\n"
            "\nCommandline options:\n\n"
            "/PKT=<dir>           export *.PKT for gateway in directory\n"
            "/CONFIG=<filename>   use <filename> as configuration file\n"
            "/TEST                don't delete mail/files after processing\n"
            "/VERBOSE             display from/to information for every mail\n"
            "/GLOBAL              display global statistics rather than per file\n");
}

TEST(RunDriver, RequiredSettingsInOrder) {
  ScratchDir dir;
  std::string base = minimal_config(dir);
  auto without = [&](const std::string& keyword) {
    std::string out;
    std::size_t pos = 0;
    while (pos < base.size()) {
      std::size_t end = base.find('\n', pos) + 1;
      std::string line = base.substr(pos, end - pos);
      if (line.rfind(keyword + " ", 0) != 0) out += line;
      pos = end;
    }
    return out;
  };
  struct Case {
    std::string config;
    std::string message;
  } cases[] = {
      // Every failing check is reported, each with a second line that
      // names the keyword.
      {"MailerType Binkley\n",
       "Error: no valid gateway Fido-address defined in ./q.cfg\n"
       "FidoAddr: the gateway's address with a zone other than 0 is required\n"
       "Error: no address mappings defined in ./q.cfg\nAddrMap: at least one line is required\n"
       "Error: required directories not defined in ./q.cfg\nInboundDir: not set\n"
       "Error: required directories not defined in ./q.cfg\n"
       "OutboundDir: not set (required with MailerType Binkley)\n"
       "Error: required directories not defined in ./q.cfg\nSoupDir: not set\n"},
      // An address with more after it is no address.
      {base + "FidoAddr 2:345-6\n",
       "Warning: invalid FTN address in line 8 of ./q.cfg\nFidoAddr 2:345-6: invalid FTN "
       "address\n\n"
       "Error: no valid gateway Fido-address defined in ./q.cfg\n"
       "FidoAddr: the gateway's address with a zone other than 0 is required\n"},
      {without("AddrMap"),
       "Error: no address mappings defined in ./q.cfg\nAddrMap: at least one line is required\n"},
      {without("MailerType"),
       "Error: no valid mailer type defined in ./q.cfg\nMailerType: Binkley or ArcMail is "
       "required\n"},
      {without("InboundDir"),
       "Error: required directories not defined in ./q.cfg\nInboundDir: not set\n"},
      {without("OutboundDir"),
       "Error: required directories not defined in ./q.cfg\n"
       "OutboundDir: not set (required with MailerType Binkley)\n"},
      {without("SoupDir"),
       "Error: required directories not defined in ./q.cfg\nSoupDir: not set\n"},
      {base + "MailerType ArcMail\n",
       "Error: required directories not defined in ./q.cfg\n"
       "NetmailDir: not set (required with MailerType ArcMail)\n"},
      // An empty directory value leaves the directory unset.
      {base + "InboundDir\n",
       "Error: required directories not defined in ./q.cfg\nInboundDir: not set\n"},
  };
  for (const Case& c : cases) {
    dir.write("q.cfg", c.config);
    RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"});
    EXPECT_EQ(r.exit_code, 1) << c.message;
    EXPECT_EQ(r.err, c.message);
  }
}

TEST(RunDriver, MissingConfigurationFile) {
  ScratchDir dir;
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./none.cfg"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "Error: can't read ./none.cfg\n"
            "configuration file ./none.cfg: No such file or directory\n");
}

TEST(RunDriver, DirectoryChecks) {
  ScratchDir dir;
  std::string base = minimal_config(dir);
  struct Case {
    std::string extra;
    std::string env;
    int exit_code;
    std::string message;
  } cases[] = {
      // A second line names the keyword and the reason.
      {"SoupDir " + dir.path() + "/nosoup\n", "", 255,
       "FATAL ERROR: subdirectory " + dir.path() + "/nosoup does not exist\nSoupDir: directory " +
           dir.path() + "/nosoup: No such file or directory\n"},
      {"DecodeDir " + dir.path() + "/files/\n", "", 255,
       "FATAL ERROR: subdirectory " + dir.path() + "/files does not exist\nDecodeDir: directory " +
           dir.path() + "/files: No such file or directory\n"},
      // Every missing directory is reported, each once.
      {"SoupDir " + dir.path() + "/nosoup\nInboundDir " + dir.path() + "/noin\n", "", 255,
       "FATAL ERROR: subdirectory " + dir.path() + "/noin does not exist\nInboundDir: directory " +
           dir.path() + "/noin: No such file or directory\n" + "FATAL ERROR: subdirectory " +
           dir.path() + "/nosoup does not exist\nSoupDir: directory " + dir.path() +
           "/nosoup: No such file or directory\n"},
      {"InboundDir " + dir.path() + "/q.cfg\n", "", 255,
       "FATAL ERROR: subdirectory " + dir.path() + "/q.cfg does not exist\nInboundDir: directory " +
           dir.path() + "/q.cfg: Not a directory\n"},
      // ArcMail neither needs nor checks the outbound.
      {"MailerType ArcMail\nNetmailDir " + dir.path() + "/in\nOutboundDir /nowhere\n", "", 0,
       "Configuration checked. Nothing more to do.\n"},
      {"MailerType ArcMail\nNetmailDir /nowhere/net\n", "", 255,
       "FATAL ERROR: subdirectory /nowhere/net does not exist\n"
       "NetmailDir: directory /nowhere/net: No such file or directory\n"},
      // The temporary directory comes from TEMP, then TMPDIR, when not configured.
      {"", "TEMP=/nowhere/temp", 255,
       "FATAL ERROR: subdirectory /nowhere/temp does not exist\n"
       "TempDir (default from TEMP, TMPDIR or /tmp): directory /nowhere/temp: No such file or "
       "directory\n"},
      {"", "-u TEMP TMPDIR=" + dir.path() + "/tmp", 0,
       "Configuration checked. Nothing more to do.\n"},
  };
  std::string without_temp = base.substr(0, base.find("TempDir"));
  for (const Case& c : cases) {
    dir.write("q.cfg", (c.env.empty() ? base : without_temp) + c.extra);
    RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"}, c.env);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.extra;
    EXPECT_EQ(r.err, c.message) << c.extra;
  }
}

TEST(RunDriver, LogFileHeaderAndEmptyLineBetweenRuns) {
  if (!have_program("faketime")) GTEST_SKIP() << "faketime is not installed";
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir) + "LogFile ./gate.log\n");
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"}, "TZ=UTC", "1999-06-28 22:54:15");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string run =
      "--- Quillmar/W32 v1.04  Mon 28-Jun-1999 22:54:15\n"
      "Configuration checked. Nothing more to do.\n";
  EXPECT_EQ(read_file(dir / "gate.log"), run);
  r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"}, "TZ=UTC", "1999-06-28 22:54:15");
  EXPECT_EQ(read_file(dir / "gate.log"), run + "\n" + run);
}

// A /PKT= directory that does not exist is a missing directory like the
// configured ones, not an export with nothing to do.
TEST(RunDriver, MissingPacketDirectory) {
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir));
  RunResult r = run_quillmar(dir.path(), {"EXPORT", "/PKT=/nowhere/pkts", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_NE(r.err.find("FATAL ERROR: subdirectory /nowhere/pkts does not exist\n"
                       "/PKT=: directory /nowhere/pkts: No such file or directory\n"),
            std::string::npos)
      << r.err;
}

TEST(RunDriver, LongMessagesKeepTheirLineEnd) {
  ScratchDir dir;
  std::string deep = dir.mkdir(std::string(100, 'd') + "/" + std::string(60, 'e'));
  dir.write("q.cfg", minimal_config(dir) + "SoupDir " + deep + "/missing\n");
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 255);
  // The first message is cut; the second line names the keyword.
  std::string first = r.err.substr(0, r.err.find('\n') + 1);
  ASSERT_EQ(first.size(), 199u);
  EXPECT_EQ(first.rfind("FATAL ERROR: subdirectory ", 0), 0u);
  EXPECT_EQ(r.err.substr(first.size()).rfind("SoupDir: directory ", 0), 0u) << r.err;
}

// A log file that cannot be opened is said once; the run goes on.
TEST(RunDriver, UnopenableLogIsSaidButNoError) {
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir) + "LogFile ./nodir/gate.log\n");
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err,
            "LogFile ./nodir/gate.log: No such file or directory\n"
            "Configuration checked. Nothing more to do.\n");
}

}  // namespace
}  // namespace quillmar::testing
