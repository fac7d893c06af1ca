// The program as cron and systemd see it: --help and --version, reports
// without carriage returns when standard error is captured, and the exit
// code of a run that had to keep its input for a later run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "export/export_files.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBanner = "Quillmar/W32 v1.04 - Fidonet/Internet gateway software\n";
constexpr const char* kUsageStart = "Usage: (all commands & options can be abbreviated";
constexpr const char* kKeptLine = "! Run incomplete (see the messages above): exit code 2\n";

// A copy of the example installation in a scratch directory.
void copy_examples(const ScratchDir& dir) {
  fs::copy(QUILLMAR_SOURCE_DIR "/examples", dir.path(), fs::copy_options::recursive);
}

TEST(CronRun, HelpAndVersion) {
  ScratchDir dir;
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    bool usage;
  } cases[] = {
      {{"--help"}, 0, true},
      {{"IMPORT", "--help"}, 0, true},
      {{"--version"}, 0, false},
      // A wrong command line keeps its exit code.
      {{"--helpme"}, 255, true},
      {{"-help"}, 255, true},
      {{}, 255, true},
  };
  for (const Case& c : cases) {
    std::string where = c.args.empty() ? "(none)" : c.args.back();
    RunResult r = run_quillmar(dir.path(), c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << where;
    EXPECT_EQ(r.out.rfind(kBanner, 0), 0u) << where << "\n" << r.out;
    EXPECT_EQ(r.out.find(kUsageStart) != std::string::npos, c.usage) << where;
    EXPECT_EQ(r.err, "") << where;
  }
  RunResult help = run_quillmar(dir.path(), {"--help"});
  EXPECT_NE(help.out.find("/GLOBAL              display global statistics rather than per file\n"),
            std::string::npos);
}

// Every report of IMPORT and EXPORT (progress, verbose lines, decoded
// files, list replies) is plain lines when standard error is captured; on
// a terminal the progress display is drawn.
TEST(CronRun, CapturedReportsHoldNoCarriageReturn) {
  ScratchDir captured;
  copy_examples(captured);
  RunResult import = run_quillmar(captured.path(), {"IMPORT", "/V", "/C=./QUILLMAR.CFG"});
  ASSERT_EQ(import.exit_code, 0) << import.err;
  EXPECT_NE(import.err.find("* decoded UU-encoded file hello.txt"), std::string::npos)
      << import.err;
  EXPECT_EQ(import.err.find('\r'), std::string::npos) << import.err;
  RunResult export_run = run_quillmar(captured.path(), {"EXPORT", "/V", "/C=./QUILLMAR.CFG"});
  ASSERT_EQ(export_run.exit_code, 0) << export_run.err;
  EXPECT_NE(export_run.err.find("-> 2 messages exported"), std::string::npos) << export_run.err;
  EXPECT_EQ(export_run.err.find('\r'), std::string::npos) << export_run.err;
  EXPECT_EQ(read_file(captured / "quillmar.log").find('\r'), std::string::npos);

  ScratchDir watched;
  copy_examples(watched);
  RunResult shown = run_quillmar_on_terminal(watched.path(), {"IMPORT", "/C=./QUILLMAR.CFG"});
  ASSERT_EQ(shown.exit_code, 0) << shown.err;
  EXPECT_NE(shown.err.find("\r100%\r"), std::string::npos) << shown.err;
  // The log never holds the progress display.
  EXPECT_EQ(read_file(watched / "quillmar.log").find('\r'), std::string::npos);
}

std::string soup_mail(int i) {
  std::string text = "From: Ann <ann@example.net>\nTo: sysop@example.org\nSubject: mail " +
                     std::to_string(i) + "\n\n" + std::string(1500, 'x') + "\n";
  std::string out(4, '\0');
  for (int b = 0; b < 4; ++b) out[b] = static_cast<char>((text.size() >> (24 - 8 * b)) & 0xFF);
  return out + text;
}

// A run that keeps an input because its output cannot be written (the disk
// is full after 2 KB) ends with exit code 2; its last lines name the file
// and the reason and the exit code, and it never claims that there was
// nothing to do. The input is whole afterwards.
TEST(CronRun, KeptWorkEndsWithExitCode2) {
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir));
  std::string soup = soup_mail(1) + soup_mail(2);
  dir.write("soup/AREAS", "MAIL\tEmail\tbn\n");
  dir.write("soup/MAIL.MSG", soup);
  TestMessage big = {};
  big.text = "To: ann@example.net\r\r" + std::string(3000, 'y') + "\r";
  std::string packet = build_packet({2, 345, 1, 0}, {2, 345, 6, 0}, {big});
  dir.write("out/01590006.OUT", packet);

  RunResult import, export_run;
  with_file_size_limit(2048, [&] {
    import = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
    export_run = run_quillmar(dir.path(), {"EXPORT", "/C=./q.cfg"});
  });
  for (const RunResult* r : {&import, &export_run}) {
    EXPECT_EQ(r->exit_code, 2) << r->err;
    EXPECT_EQ(r->err.find("Nothing to do"), std::string::npos) << r->err;
    // The reason, which the driver's own messages do not give.
    EXPECT_NE(r->err.find(": File too large\n" + std::string(kKeptLine)), std::string::npos)
        << r->err;
    EXPECT_NE(r->err.find("! Last failed write: " + dir.path()), std::string::npos) << r->err;
    ASSERT_GE(r->err.size(), std::string(kKeptLine).size());
    EXPECT_EQ(r->err.substr(r->err.size() - std::string(kKeptLine).size()), kKeptLine) << r->err;
  }
  EXPECT_EQ(read_file(dir / "soup/MAIL.MSG"), soup);
  EXPECT_EQ(read_file(dir / "out/01590006.OUT"), packet);

  // With room again both runs do their work and end with 0.
  RunResult again = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_FALSE(exists(dir / "soup/MAIL.MSG"));
  again = run_quillmar(dir.path(), {"EXPORT", "/C=./q.cfg"});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_FALSE(exists(dir / "out/01590006.OUT"));
}

// An input that exists but cannot be read is named with the reason, and
// the run ends with exit code 2; a SOUP directory without AREAS is a run
// with nothing to do.
TEST(CronRun, UnreadableInputIsNamedWithItsReason) {
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir));
  RunResult empty = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  EXPECT_EQ(empty.exit_code, 0);
  EXPECT_NE(empty.err.find("No AREAS found. Nothing to do.\n"), std::string::npos);

  dir.mkdir("soup/AREAS");
  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "Importing from Soup to PKT\n! Error reading " + dir.path() +
                       "/soup/AREAS: not a regular file\n" + kKeptLine);
}

// The exchange script of contrib/ on a copy of the example installation
// (LogFile ./quillmar.log); its exit code and everything it printed. The
// machine's /etc/default/quillmar is not read (QUILLMAR_DEFAULTS).
int run_cycle(const ScratchDir& dir, const std::string& settings, std::string& output) {
  std::string command =
      "cd " + shell_quote(dir.path()) +
      " && ASAN_OPTIONS=verify_asan_link_order=0 QUILLMAR_DEFAULTS=/nonexistent QUILLMAR=" +
      shell_quote(QUILLMAR_BINARY) + " QUILLMAR_DIR=" + shell_quote(dir.path()) +
      " QUILLMAR_CONFIG=./QUILLMAR.CFG SCAN_COMMAND= " + settings +
      " sh " QUILLMAR_SOURCE_DIR "/contrib/quillmar-cycle >output.txt 2>&1";
  int status = std::system(command.c_str());
  output = read_file(dir / "output.txt");
  fs::remove(dir / "output.txt");
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What the tosser prints goes to the log under a header line; cron sees it
// (and a line naming the failure) only when the tosser fails, or when the
// log cannot be written. A failed tosser makes the cycle end with 2.
TEST(CronRun, CycleLogsTheTossersOutputAndShowsItOnlyOnFailure) {
  struct Case {
    const char* name;
    std::string settings;
    int exit_code;
    std::string log;  // below the scratch directory
    std::string logged;
    std::string shown;
  } cases[] = {
      {"tossed", "TOSS_COMMAND='echo tossed 2 messages; echo a warning >&2'", 0, "quillmar.log",
       "]: echo tossed 2 messages; echo a warning >&2  ", ""},
      {"failed", "TOSS_COMMAND='echo no such area; exit 3'", 2, "quillmar.log",
       "no such area\n! the tosser failed: exit code 3\n",
       "no such area\nquillmar-cycle: the tosser failed: exit code 3\n"},
      {"own log", "QUILLMAR_LOG=./cycle.log TOSS_COMMAND='echo tossed'", 0, "cycle.log",
       "\ntossed\n", ""},
      {"log not writable", "QUILLMAR_LOG=./none/cycle.log TOSS_COMMAND='echo tossed'", 0, "", "",
       "quillmar-cycle: can't append to the log ./none/cycle.log: No such file or "
       "directory\ntossed\n"},
      {"SOUP program", "SOUP_COMMAND='echo fetched 1 packet' TOSS_COMMAND=", 0, "quillmar.log",
       "]: echo fetched 1 packet  ", ""},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    copy_examples(dir);
    std::string output;
    EXPECT_EQ(run_cycle(dir, c.settings, output), c.exit_code) << c.name << "\n" << output;
    EXPECT_EQ(output, c.shown) << c.name;
    if (!c.log.empty()) {
      std::string log = read_file(dir / c.log);
      EXPECT_NE(log.find(c.logged), std::string::npos) << c.name << "\n" << log;
      // The cycle's lines carry its process id.
      EXPECT_NE(log.find("--- quillmar-cycle["), std::string::npos) << c.name << "\n" << log;
    }
    // The gateway ran all the same.
    EXPECT_TRUE(exists(dir / "soup/REPLIES")) << c.name;
  }
}

// Every step runs whatever the steps before it did, and the cycle ends with
// the status of the first step that failed: a failed SOUP program, tosser
// or scan counts as 2 (crashmail without a configuration ends with 10, a
// command that is not found with 127); another run holding the lock (75)
// counts only when nothing else failed, as the service takes 75 for
// success.
TEST(CronRun, CycleEndsWithTheStatusOfTheFirstFailedStep) {
  struct Case {
    const char* name;
    std::string settings;
    bool locked;  // another run holds the lock of the SOUP directory
    int exit_code;
    std::string shown;  // in what the cycle printed
  } cases[] = {
      {"all well", "TOSS_COMMAND='echo tossed'", false, 0, ""},
      {"tosser fails", "TOSS_COMMAND='exit 10' SCAN_COMMAND='echo scanned'", false, 2,
       "quillmar-cycle: the tosser failed: exit code 10\n"},
      {"tosser not found", "TOSS_COMMAND='no-such-tosser TOSS'", false, 2,
       "quillmar-cycle: the tosser failed: exit code 127\n"},
      {"scan fails", "TOSS_COMMAND= SCAN_COMMAND='exit 3'", false, 2,
       "quillmar-cycle: the tosser's scan failed: exit code 3\n"},
      {"SOUP program fails", "SOUP_COMMAND='exit 1' TOSS_COMMAND=", false, 2,
       "quillmar-cycle: the SOUP program failed: exit code 1\n"},
      {"lock held", "TOSS_COMMAND=", true, 75, ""},
      {"lock held and tosser fails", "TOSS_COMMAND='exit 10'", true, 2,
       "quillmar-cycle: the tosser failed: exit code 10\n"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    copy_examples(dir);
    int lock = -1;
    if (c.locked) {
      std::string config = read_file(dir / "QUILLMAR.CFG");
      config.replace(config.find("LockWait 60"), 11, "LockWait 1");
      dir.write("QUILLMAR.CFG", config);
      lock = ::open((dir / "soup/QUILLMAR.LCK").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      ASSERT_GE(lock, 0);
      ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    }
    std::string output;
    EXPECT_EQ(run_cycle(dir, c.settings, output), c.exit_code) << c.name << "\n" << output;
    EXPECT_NE(output.find(c.shown), std::string::npos) << c.name << "\n" << output;
    if (c.exit_code == 0) {
      EXPECT_EQ(output, "") << c.name;
    }
    if (c.exit_code == 75) {
      // A run that only met another run says so in the log, not to cron.
      EXPECT_EQ(output, "") << c.name;
      std::string log = read_file(dir / "quillmar.log");
      EXPECT_NE(log.find("IMPORT: exit code 75  "), std::string::npos) << log;
      EXPECT_NE(log.find("Another run of Quillmar holds "), std::string::npos) << log;
    }
    if (lock >= 0) {
      ::close(lock);
    } else {
      // The steps after the failed one ran: EXPORT wrote the replies.
      EXPECT_TRUE(exists(dir / "soup/REPLIES")) << c.name;
      EXPECT_TRUE(exists(dir / "decode/hello.txt")) << c.name;
    }
  }
}

// cron's environment (env -i PATH=/usr/bin:/bin) with every setting in the
// defaults file, as the package has it in /etc/default/quillmar: the cycle
// reads the file itself (quoted values, comments, a line that is no setting
// is never run), the tosser runs with its settings, quillmar-soup runs (it
// sends the mail and keeps the news, as no news server is configured); a
// setting given in the environment wins over the file's.
TEST(CronRun, CycleReadsItsSettingsFromTheDefaultsFileUnderCron) {
  struct Case {
    const char* name;
    std::string environment;
    std::string logged;
  } cases[] = {
      {"file only", "", "\ntossed with SETTINGS crashmail.prefs\n"},
      {"environment wins", "TOSS_COMMAND='echo tossed by hand' ", "\ntossed by hand\n"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    copy_examples(dir);
    // A sendmail that takes the whole mail (one that reads nothing has not
    // taken it).
    dir.write("QUILLMAR.CFG",
              read_file(dir / "QUILLMAR.CFG") + "SoupSendmail /bin/sh -c \"cat >/dev/null\"\n");
    dir.write("defaults",
              "# settings\n"
              "QUILLMAR=" QUILLMAR_BINARY
              "\n"
              "QUILLMAR_SOUP=\"" QUILLMAR_SOUP_BINARY
              "\"\n"
              "QUILLMAR_DIR=" +
                  dir.path() +
                  "\n"
                  "QUILLMAR_CONFIG=./QUILLMAR.CFG\n"
                  "TOSS_COMMAND='echo tossed with SETTINGS crashmail.prefs'\n"
                  "  export SCAN_COMMAND=echo scanned\n"
                  "touch ran-by-the-shell\n");
    std::string command = "cd " + shell_quote(dir.path()) +
                          " && env -i PATH=/usr/bin:/bin ASAN_OPTIONS=verify_asan_link_order=0 "
                          "QUILLMAR_DEFAULTS=./defaults " +
                          c.environment +
                          "sh " QUILLMAR_SOURCE_DIR "/contrib/quillmar-cycle >output.txt 2>&1";
    int status = std::system(command.c_str());
    std::string output = read_file(dir / "output.txt");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << c.name << "\n" << output;
    EXPECT_EQ(output,
              "! news replies wait: no NntpServer is configured (1 article(s) kept for the next "
              "run)\nDelivered 1 mail(s) and 0 article(s); 0 refused\n")
        << c.name;
    std::string log = read_file(dir / "quillmar.log");
    EXPECT_NE(log.find(c.logged), std::string::npos) << c.name << "\n" << log;
    EXPECT_NE(log.find("\nscanned\n"), std::string::npos) << c.name << "\n" << log;
    EXPECT_NE(log.find("--- quillmar-soup "), std::string::npos) << c.name << "\n" << log;
    EXPECT_FALSE(exists(dir / "ran-by-the-shell")) << c.name;
    EXPECT_EQ(read_file(dir / "soup/REPLIES"), "news0000\tnews\tBn\n") << c.name;
  }
}

// The cycle writes with the umask 002: a flow file the tosser makes in the
// mailer's outbound (a set-group-ID directory of the mailer's group) can be
// read, rewritten and removed by the mailer, another user of that group.
TEST(CronRun, CycleFilesAreGroupWritableForTheMailer) {
  ScratchDir dir;
  copy_examples(dir);
  fs::create_directory(dir / "outb");
  struct CronUmask {
    ::mode_t caller = ::umask(022);
    ~CronUmask() { ::umask(caller); }
  } cron_umask;
  std::string output;
  ASSERT_EQ(run_cycle(dir, "TOSS_COMMAND='echo ^/tmp/file.pkt >outb/01590001.flo'", output), 0)
      << output;
  struct stat st;
  ASSERT_EQ(::stat((dir / "outb/01590001.flo").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0664u);

  if (::geteuid() != 0 || !have_program("setpriv")) return;
  // As root: the outbound belongs to another group, and a user who is
  // only in that group takes the file as binkd does.
  const std::string group = "4242";
  fs::remove(dir / "outb/01590001.flo");
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chown((dir / "outb").c_str(), 0, 4242), 0);
  ASSERT_EQ(::chmod((dir / "outb").c_str(), 02775), 0);
  ASSERT_EQ(run_cycle(dir, "TOSS_COMMAND='echo ^/tmp/file.pkt >outb/01590001.flo'", output), 0)
      << output;
  std::string mailer = "cd " + shell_quote(dir.path()) +
                       " && setpriv --reuid=4243 --regid=" + group +
                       " --clear-groups sh -c 'cat outb/01590001.flo && echo "
                       "~/tmp/file.pkt >outb/01590001.flo && rm outb/01590001.flo' >/dev/null 2>&1";
  EXPECT_EQ(std::system(mailer.c_str()), 0);
  EXPECT_FALSE(exists(dir / "outb/01590001.flo"));
}

// A program the settings name that cannot be run (a typo in QUILLMAR_SOUP)
// is said on standard error and in the log, and ends the cycle with 127;
// the other steps run.
TEST(CronRun, CycleNamesAProgramItCannotRun) {
  ScratchDir dir;
  copy_examples(dir);
  std::string output;
  EXPECT_EQ(run_cycle(dir, "TOSS_COMMAND= QUILLMAR_SOUP=quillmar-sop", output), 127) << output;
  std::string said = "QUILLMAR_SOUP=quillmar-sop cannot be run: quillmar-sop: not found on PATH";
  EXPECT_NE(output.find("quillmar-cycle: " + said), std::string::npos) << output;
  std::string log = read_file(dir / "quillmar.log");
  EXPECT_NE(log.find("! " + said), std::string::npos) << log;
  EXPECT_NE(log.find("end: exit code 127"), std::string::npos) << log;
  EXPECT_EQ(read_file(dir / "soup/REPLIES"), "mail0000\tmail\tbn\nnews0000\tnews\tBn\n");
}

// A cycle started while another one runs does nothing and ends with 75
// (which the service counts as success); its line goes to the log, so
// that cron mails nothing.
TEST(CronRun, CycleThatMeetsAnotherSaysSoInTheLogOnly) {
  ScratchDir dir;
  copy_examples(dir);
  int lock = ::open((dir / "quillmar-cycle.lck").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  std::string output;
  EXPECT_EQ(run_cycle(dir, "TOSS_COMMAND=", output), 75);
  ::close(lock);
  EXPECT_EQ(output, "");
  std::string log = read_file(dir / "quillmar.log");
  EXPECT_NE(log.find("]: another cycle holds " + dir.path() +
                     "/quillmar-cycle.lck; nothing done: exit code 75  "),
            std::string::npos)
      << log;
  EXPECT_FALSE(exists(dir / "soup/REPLIES"));
  EXPECT_EQ(run_cycle(dir, "TOSS_COMMAND=", output), 0) << output;
}

// One order with either SOUP program: fetch, IMPORT, toss, scan, EXPORT
// (and quillmar-soup's deliver), as the log shows it.
TEST(CronRun, CycleRunsTheStepsInOneOrder) {
  ScratchDir dir;
  copy_examples(dir);
  std::string output;
  ASSERT_EQ(run_cycle(dir,
                      "SOUP_COMMAND='echo step-fetch' TOSS_COMMAND='echo step-toss' "
                      "SCAN_COMMAND='echo step-scan'",
                      output),
            0)
      << output;
  EXPECT_EQ(output, "");
  std::string log = read_file(dir / "quillmar.log");
  std::size_t at = 0;
  for (const char* step : {"\nstep-fetch\n", "Importing from Soup to PKT\n", "\nstep-toss\n",
                           "\nstep-scan\n", "Exporting from "}) {
    std::size_t found = log.find(step, at);
    ASSERT_NE(found, std::string::npos) << step << "\n" << log;
    at = found;
  }
}

}  // namespace
}  // namespace quillmar::testing
