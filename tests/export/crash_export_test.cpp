// EXPORT killed at many moments, short of disk space, in read-only
// directories, beside a tosser still writing a packet and a mailer holding a
// node: after a clean run every message is in the reply packet exactly once,
// and only the files REPLIES lists hold messages.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "export/export_files.hpp"
#include "export/export_install.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

using namespace export_install;

// The three sources, each with a few hundred messages.
enum class Source { pkt_dir, outbound, netmail };

struct Scenario {
  std::vector<std::string> args;
  std::vector<std::string> tokens;
};

Scenario build(Install& t, Source source) {
  ScratchDir& dir = t.dir;
  Scenario s;
  s.args = {"EXPORT"};
  switch (source) {
    case Source::pkt_dir:
      t.write_config("");
      for (int p = 0; p < 30; ++p) {
        char name[32];
        std::snprintf(name, sizeof name, "pkts/P%03d.PKT", p);
        dir.write(name, build_packet(kNode1, kGateway, messages(p * 8, 8)));
      }
      s.args.push_back("/PKT=" + (dir / "pkts") + "/");
      s.tokens = msg_tokens(240);
      break;
    case Source::outbound: {
      t.write_config("Route 2:345/7 node7@example.net\n");
      dir.write("out/01590006.OUT", build_packet(kNode1, kGateway, messages(0, 60)));
      dir.write("out/01590006.CUT", build_packet(kNode1, kGateway, messages(60, 60)));
      std::string flow;
      for (int p = 0; p < 20; ++p) {
        std::string name = "files/L" + std::to_string(p) + ".PKT";
        dir.write(name, build_packet(kNode1, kGateway, messages(120 + p * 3, 3)));
        flow += "^" + (dir / name) + "\n";
      }
      dir.write("out/01590006.FLO", flow);
      // The route: a packet, and files that go with covering messages.
      std::vector<TestMessage> routed = messages(180, 40);
      for (TestMessage& m : routed) m.dest_node = 7;
      dir.write("out/01590007.OUT", build_packet(kNode1, kRoute, routed));
      std::string route_flow;
      for (int f = 10; f < 30; ++f) {
        std::string name = "files/F" + std::to_string(f) + ".TXT";
        dir.write(name, "file " + std::to_string(f) + "\n");
        route_flow += "^" + (dir / name) + "\n";
      }
      dir.write("out/01590007.FLO", route_flow);
      s.tokens = msg_tokens(220);
      for (int f = 10; f < 30; ++f) s.tokens.push_back("F" + std::to_string(f) + ".TXT");
      break;
    }
    case Source::netmail:
      dir.mkdir("netmail");
      t.write_config("NetmailDir " + (dir / "netmail") + "\nQuickScan Yes\n");
      {
        std::string c = read_file(t.config_path);
        c.replace(c.find("MailerType Binkley"), 18, "MailerType ArcMail");
        dir.write("QUILLMAR.CFG", c);
      }
      for (int n = 0; n < 200; ++n) {
        TestMessage m = mail(n);
        m.attribute = n % 2 == 0 ? 0x0080 : 0;  // every other one kill-when-sent
        // Written well before the run: a quick-scan stamp taken too early
        // would hide them from every later scan.
        set_age(dir.write("netmail/" + std::to_string(n + 1) + ".MSG", build_msg(m)), 600);
      }
      s.tokens = msg_tokens(200);
      break;
  }
  return s;
}

// After the clean run nothing of the sources is left to send.
void expect_sources_consumed(Install& t, Source source, const std::string& context) {
  std::vector<std::string> left;
  if (source == Source::pkt_dir) {
    for (const auto& e : fs::directory_iterator(t.dir / "pkts")) left.push_back(e.path());
  } else if (source == Source::outbound) {
    for (const auto& e : fs::directory_iterator(t.dir / "out")) left.push_back(e.path());
    for (const auto& e : fs::directory_iterator(t.dir / "files")) left.push_back(e.path());
  } else {
    for (int n = 0; n < 200; ++n) {
      std::string path = t.dir / ("netmail/" + std::to_string(n + 1) + ".MSG");
      bool kill = n % 2 == 0;
      if (kill ? exists(path) : msg_attribute(read_file(path)) != 0x0008) left.push_back(path);
    }
  }
  EXPECT_TRUE(left.empty()) << context << ": " << (left.empty() ? "" : left.front());
}

struct KillPoint {
  const char* syscall;
  int when;
};

// Kill points spread over a run: deletions, renames, syncs, writes, opens.
const KillPoint kKillPoints[] = {
    {"unlink", 1},    {"unlink", 2},    {"unlink", 7},  {"unlink", 19},  {"unlink", 30},
    {"rename", 1},    {"rename", 2},    {"rename", 3},  {"rename", 4},   {"fsync", 1},
    {"fsync", 2},     {"fsync", 3},     {"fsync", 5},   {"fsync", 8},    {"write", 5},
    {"write", 40},    {"write", 120},   {"openat", 40}, {"openat", 150}, {"openat", 400},
    {"ftruncate", 1}, {"ftruncate", 2},
};

class KillTest : public ::testing::TestWithParam<Source> {};

TEST_P(KillTest, EveryMessageOnceAfterAKillAndACleanRun) {
  if (!have_program("strace")) GTEST_SKIP() << "strace is not installed";
  if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace cannot trace here (no ptrace)";
  }
  int killed = 0;
  for (const KillPoint& k : kKillPoints) {
    Install t;
    Scenario s = build(t, GetParam());
    // The killed runs name the packet directory relative to where they
    // start; the clean run starts elsewhere and names it in full: the journal
    // must mean the same files.
    std::vector<std::string> args = s.args;
    for (std::string& a : args) {
      if (a.starts_with("/PKT=")) a = "/PKT=pkts/";
    }
    args.push_back("/CONFIG=" + t.config_path);
    std::string context = std::string(k.syscall) + " #" + std::to_string(k.when);
    if (run_killed(t.dir.path(), args, k.syscall, k.when)) ++killed;
    // A second kill, during the run that completes the first one.
    if (k.when == 2 && run_killed(t.dir.path(), args, k.syscall, 1)) ++killed;
    std::vector<std::string> clean_args = s.args;
    clean_args.push_back("/CONFIG=" + t.config_path);
    RunResult clean = run_quillmar(t.dir / "in", clean_args, "TZ=UTC");
    EXPECT_EQ(clean.exit_code, 0) << context << "\n" << clean.err;
    expect_each_once(count_replies(t.dir / "soup"), s.tokens, context);
    expect_sources_consumed(t, GetParam(), context);
    // A run that ended leaves no flag and no journal of its own.
    EXPECT_FALSE(exists(t.dir / "out/01590006.BSY")) << context;
    EXPECT_FALSE(exists(t.dir / "soup/EXPORT.JNL")) << context;
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(killed, 10);
}

const char* source_label(Source source) {
  switch (source) {
    case Source::pkt_dir:
      return "PktDir";
    case Source::outbound:
      return "Outbound";
    case Source::netmail:
      return "Netmail";
  }
  return "Unknown";
}

// The source's name, not its bytes, in the test list.
void PrintTo(Source source, std::ostream* os) {
  *os << source_label(source);
}

std::string source_name(const ::testing::TestParamInfo<Source>& info) {
  return source_label(info.param);
}

INSTANTIATE_TEST_SUITE_P(Sources, KillTest,
                         ::testing::Values(Source::pkt_dir, Source::outbound, Source::netmail),
                         source_name);

// No room left: the run keeps what it could not write (exit code 2), lists
// nothing twice, and a later run with room sends the rest.
TEST(FullDisk, EveryMessageOnceAtEveryLimit) {
  for (Source source : {Source::pkt_dir, Source::outbound, Source::netmail}) {
    for (rlim_t limit : {100, 3000, 20000, 40000}) {
      Install t;
      Scenario s = build(t, source);
      std::string context =
          "source " + std::to_string(static_cast<int>(source)) + " limit " + std::to_string(limit);
      RunResult full;
      with_file_size_limit(limit, [&] { full = t.run(s.args); });
      EXPECT_EQ(full.exit_code, 2) << context << "\n" << full.err;
      ReplyCount partial = count_replies(t.dir / "soup");
      for (const auto& [token, times] : partial.seen) {
        EXPECT_EQ(times, 1) << context << " " << token;
      }
      RunResult rest = t.run(s.args);
      EXPECT_EQ(rest.exit_code, 0) << context << "\n" << rest.err;
      expect_each_once(count_replies(t.dir / "soup"), s.tokens, context);
      expect_sources_consumed(t, source, context);
    }
  }
}

// A tmpfs of a few kilobytes: the same on a file system that is really full.
TEST(FullDisk, SmallFileSystem) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  for (const char* size : {"16k", "64k"}) {
    Install t;
    Scenario s = build(t, Source::pkt_dir);
    std::string soup = t.dir / "soup";
    if (std::system(
            ("mount -t tmpfs -o size=" + std::string(size) + " none " + soup + " 2>/dev/null")
                .c_str()) != 0) {
      GTEST_SKIP() << "no tmpfs can be mounted here";
    }
    RunResult full = t.run(s.args);
    EXPECT_EQ(full.exit_code, 2) << full.err;
    // Room again: the files move to a larger file system.
    std::system(("cp -a " + soup + " " + (t.dir / "soup.saved")).c_str());
    std::system(
        ("umount " + soup + " && rmdir " + soup + " && mv " + (t.dir / "soup.saved") + " " + soup)
            .c_str());
    RunResult rest = t.run(s.args);
    EXPECT_EQ(rest.exit_code, 0) << rest.err;
    expect_each_once(count_replies(soup), s.tokens, size);
  }
}

TEST_F(CrashExport, RepliesThatCannotBeWrittenConsumesNothing) {
  Scenario s = build(*this, Source::pkt_dir);
  std::string replies = dir.write("soup/REPLIES", "");
  ReadOnly read_only(replies);
  if (!read_only.ok) GTEST_SKIP() << "cannot make a file read-only here";
  RunResult r = run(s.args);
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_NE(r.err.find("Error: can't append to"), std::string::npos) << r.err;
  EXPECT_TRUE(exists(dir / "pkts/P000.PKT"));
  read_only.end();
  RunResult again = run(s.args);
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_NE(again.err.find("* completing the export of an earlier run\n"), std::string::npos);
  expect_each_once(count_replies(dir / "soup"), s.tokens, "after the listing");
  expect_sources_consumed(*this, Source::pkt_dir, "after the listing");
}

// A packet directory the gateway may not delete from: the mail goes once,
// each later run says why the packets are still there, and once the
// directory is writable again they go.
TEST_F(CrashExport, ReadOnlyInputDirectory) {
  Scenario s = build(*this, Source::pkt_dir);
  std::string pkts = dir / "pkts";
  ReadOnly read_only(pkts);
  if (!read_only.ok) GTEST_SKIP() << "cannot make a directory read-only here";
  RunResult first = run(s.args);
  EXPECT_EQ(first.exit_code, 2) << first.err;
  EXPECT_NE(first.err.find("! can't remove " + pkts + "/P000.PKT: "), std::string::npos)
      << first.err;
  EXPECT_TRUE(exists(dir / "soup/EXPORT.JNL"));
  RunResult second = run(s.args);
  EXPECT_EQ(second.exit_code, 2) << second.err;
  EXPECT_NE(second.err.find("! can't remove"), std::string::npos) << second.err;
  // Nothing is exported again (a run that kept work does not say "Nothing to do").
  EXPECT_EQ(second.err.find("messages exported"), std::string::npos) << second.err;
  expect_each_once(count_replies(dir / "soup"), s.tokens, "read-only");
  read_only.end();
  RunResult third = run(s.args);
  EXPECT_EQ(third.exit_code, 0) << third.err;
  expect_each_once(count_replies(dir / "soup"), s.tokens, "writable again");
  expect_sources_consumed(*this, Source::pkt_dir, "writable again");
  EXPECT_FALSE(exists(dir / "soup/EXPORT.JNL"));
}

// Stored messages that cannot be opened for their Sent mark are not sent,
// and the run says so, on every run until they can be.
TEST_F(CrashExport, ReadOnlyNetmailDirectory) {
  Scenario s = build(*this, Source::netmail);
  ReadOnly read_only(dir / "netmail");
  if (!read_only.ok) GTEST_SKIP() << "cannot make a directory read-only here";
  RunResult first = run(s.args);
  EXPECT_EQ(first.exit_code, 2) << first.err;
  EXPECT_NE(first.err.find("! can't open " + (dir / "netmail")), std::string::npos) << first.err;
  read_only.end();
  RunResult second = run(s.args);
  EXPECT_EQ(second.exit_code, 0) << second.err;
  expect_each_once(count_replies(dir / "soup"), s.tokens, "writable again");
}

// A packet without its closing zero word that changed a moment ago is being
// written: it is left alone; once it has stood still it is taken as it is.
TEST_F(CrashExport, PacketStillBeingWritten) {
  write_config("PacketSettleTime 5\n");
  std::string whole = build_packet(kNode1, kGateway, messages(0, 3));
  std::string growing = whole.substr(0, whole.size() - 40);
  dir.write("pkts/DONE.PKT", build_packet(kNode1, kGateway, messages(3, 1)));
  std::string path = dir.write("pkts/GROW.PKT", growing);
  std::vector<std::string> args = {"EXPORT", "/PKT=" + (dir / "pkts") + "/"};
  RunResult r = run(args);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find(path + " has no closing zero word"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(path), growing);
  EXPECT_FALSE(exists(dir / "pkts/DONE.PKT"));
  // Paused right after the fixed header of its third message, whose last
  // bytes are zero: the file ends in a zero word, yet is not finished.
  std::string first_two = build_packet(kNode1, kGateway, messages(0, 2));
  std::string paused = whole.substr(0, first_two.size() - 2 + 14);
  ASSERT_EQ(paused.substr(paused.size() - 2), std::string(2, '\0'));
  dir.write("pkts/GROW.PKT", paused);
  RunResult pause = run(args);
  EXPECT_EQ(pause.exit_code, 0) << pause.err;
  EXPECT_NE(pause.err.find(path + " has no closing zero word"), std::string::npos) << pause.err;
  EXPECT_EQ(read_file(path), paused);
  // The tosser finishes it: taken whole.
  dir.write("pkts/GROW.PKT", whole);
  RunResult done = run(args);
  EXPECT_EQ(done.exit_code, 0) << done.err;
  expect_each_once(count_replies(dir / "soup"), msg_tokens(4), "finished packet");

  // A packet cut for good is taken once it has stood for the settle time.
  dir.write("pkts/CUT.PKT", growing);
  RunResult waiting = run(args);
  EXPECT_TRUE(exists(dir / "pkts/CUT.PKT"));
  set_age(dir / "pkts/CUT.PKT", 6 * 60);
  RunResult cut = run(args);
  EXPECT_EQ(cut.exit_code, 0) << cut.err;
  EXPECT_FALSE(exists(dir / "pkts/CUT.PKT"));
}

// A tosser adds a message to a packet while EXPORT reads it: what was read
// is taken out of the reply packet again and the packet is left whole for
// the next run, which sends all of it once.
TEST_F(CrashExport, PacketGrowingWhileItIsRead) {
  if (!have_program("strace")) GTEST_SKIP() << "strace is not installed";
  write_config("");
  std::string first = build_packet(kNode1, kGateway, messages(0, 2));
  std::string whole = build_packet(kNode1, kGateway, messages(0, 3));
  std::string path = dir.write("pkts/GROW.PKT", first);
  std::string log = dir / "strace.log";
  // The packet's reads wait a while, so that the message is added after the
  // run has opened the packet to export it (its second opening).
  std::string cmd = "cd " + shell_quote(dir.path()) +
                    " && (env TZ=UTC ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 "
                    "strace -o " +
                    shell_quote(log) + " -P " + shell_quote(path) +
                    " -e trace=openat,read -e inject=read:delay_enter=1000000:when=2+ " +
                    shell_quote(QUILLMAR_BINARY) + " EXPORT " +
                    shell_quote("/PKT=" + (dir / "pkts") + "/") + " " +
                    shell_quote("/CONFIG=" + config_path) + " >" + shell_quote(dir / "run.err") +
                    " 2>&1; echo $? >" + shell_quote(dir / "run.rc") + ") &";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  auto openings = [&] {
    std::string text = exists(log) ? read_file(log) : "";
    int n = 0;
    for (std::size_t at = 0; (at = text.find("openat(", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  for (int i = 0; i < 400 && openings() < 2; ++i) ::usleep(25000);
  ASSERT_GE(openings(), 2) << read_file(log);
  dir.write("pkts/GROW.PKT", whole);
  for (int i = 0; i < 800 && !exists(dir / "run.rc"); ++i) ::usleep(25000);
  ASSERT_TRUE(exists(dir / "run.rc"));
  std::string err = read_file(dir / "run.err");
  EXPECT_EQ(read_file(dir / "run.rc"), "2\n") << err;
  EXPECT_NE(err.find(path + " changed while it was read: left for a later run"), std::string::npos)
      << err;
  EXPECT_EQ(read_file(path), whole);
  EXPECT_TRUE(count_replies(dir / "soup").seen.empty());

  RunResult next = run({"EXPORT", "/PKT=" + (dir / "pkts") + "/"});
  EXPECT_EQ(next.exit_code, 0) << next.err;
  expect_each_once(count_replies(dir / "soup"), msg_tokens(3), "grown packet");
  EXPECT_FALSE(exists(path));
}

// A node whose busy flag another program holds is left alone; a flag left
// behind (old, or of a run that has ended) is removed; the run holds the
// flag while it takes the node's files and removes it afterwards.
TEST_F(CrashExport, BusyFlags) {
  write_config("BusyFlagAge 60\n");
  dir.write("out/01590006.OUT", build_packet(kNode1, kGateway, messages(0, 2)));
  std::string bsy = dir.write("out/01590006.BSY", "4242 binkd\n");
  RunResult busy = run({"EXPORT"});
  EXPECT_EQ(busy.exit_code, 0) << busy.err;
  EXPECT_NE(busy.err.find("01590006.BSY exists: the node is busy"), std::string::npos) << busy.err;
  EXPECT_TRUE(exists(dir / "out/01590006.OUT"));
  EXPECT_EQ(read_file(bsy), "4242 binkd\n");

  fs::remove(bsy);
  std::string csy = dir.write("out/01590006.CSY", "");
  RunResult calling = run({"EXPORT"});
  EXPECT_NE(calling.err.find("the node is busy"), std::string::npos) << calling.err;
  EXPECT_TRUE(exists(dir / "out/01590006.OUT"));

  // Older than BusyFlagAge: left behind.
  set_age(csy, 61 * 60);
  RunResult stale = run({"EXPORT"});
  EXPECT_EQ(stale.exit_code, 0) << stale.err;
  EXPECT_NE(stale.err.find("01590006.CSY is left behind: removed"), std::string::npos) << stale.err;
  EXPECT_FALSE(exists(dir / "out/01590006.OUT"));
  EXPECT_FALSE(exists(csy));
  EXPECT_FALSE(exists(bsy));

  // A flag of this program's run that no longer runs.
  dir.write("out/01590006.OUT", build_packet(kNode1, kGateway, messages(2, 1)));
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  dir.write("out/01590006.BSY", std::to_string(child) + " Quillmar\n");
  RunResult dead = run({"EXPORT"});
  EXPECT_NE(dead.err.find("is left behind: removed"), std::string::npos) << dead.err;
  EXPECT_FALSE(exists(dir / "out/01590006.OUT"));
  expect_each_once(count_replies(dir / "soup"), msg_tokens(3), "busy flags");
}

// Line breaks in any FidoNet field never begin a header line of their own.
TEST_F(CrashExport, LineBreaksInFieldsStayInTheirHeader) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  write_config("Route 2:345/7 node7@example.net\n");
  std::vector<TestMessage> to_gateway;
  std::vector<TestMessage> to_route;
  int n = 0;
  for (std::string inject : {"\nBcc: someone@example.net", "\rBcc: someone@example.net",
                             "\r\nBcc: someone@example.net"}) {
    bool has_cr = inject.find('\r') != std::string::npos;
    auto add = [&](TestMessage m, bool route = false) {
      m.text += token(n++) + "\r";
      (route ? to_route : to_gateway).push_back(m);
    };
    TestMessage m = mail(1000);
    m.text = "To: a@example.net\r\r";
    m.subject = "Hi" + inject;
    add(m);
    m.subject = "Hi";
    m.from_name = "Joe" + inject;
    add(m);
    TestMessage routed = m;
    routed.from_name = "Joe";
    routed.to_name = "Sysop" + inject;
    routed.dest_node = 7;
    routed.text = "";
    add(routed, true);
    TestMessage echo_message = news(1000);
    echo_message.to_name = "All" + inject;
    echo_message.text = "AREA:FIDO.TEST\r";
    add(echo_message);
    if (!has_cr) {
      // Text lines end at a CR, so only a line feed can hide in them.
      TestMessage kludges = mail(1000);
      // An identifier is taken as text only without ":" or "/".
      kludges.text =
          "\x01MSGID: a@b\nX-Injected@c 1\r\x01REPLY: c@d\nX-Injected@e 2\rTo: "
          "a@example.net" +
          inject + "\rFrom: f@example.net" + inject + "\r\r";
      add(kludges);
      TestMessage area = news(1000);
      area.text = "AREA:FIDO.TEST" + inject + "\r";
      add(area);
      TestMessage xpost = mail(1000);
      xpost.to_name = "UUCP";
      xpost.text = "AREA:FIDO.TEST\rXPost: alt.test" + inject + "\r\r";
      add(xpost);
    }
  }
  dir.write("out/01590006.OUT", build_packet(kNode1, kGateway, to_gateway));
  dir.write("out/01590007.OUT", build_packet(kNode1, kRoute, to_route));
  RunResult r = run({"EXPORT"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::string script = dir.write("headers.py", R"PY(
import re, sys, email, email.policy
for path in sys.argv[1:]:
    data = open(path, 'rb').read()
    pos = 0
    while pos + 4 <= len(data):
        size = int.from_bytes(data[pos:pos + 4], 'big')
        raw = data[pos + 4:pos + 4 + size]
        pos += 4 + size
        head = raw.split(b'\n\n', 1)[0]
        msg = email.message_from_bytes(raw, policy=email.policy.compat32)
        bad = [k for k in msg.keys() if k.lower() == 'bcc'] + (['CR'] if b'\r' in head else [])
        bad += ['line ' + repr(l) for l in head.split(b'\n')
                if not (l[:1] in (b' ', b'\t') or re.match(rb'^[A-Za-z-]+: ', l))]
        body = msg.get_payload() if not msg.is_multipart() else ''
        print(body.strip().split()[-1] if body.strip() else '?', ' '.join(bad) or 'clean')
)PY");
  std::string cmd = "python3 " + script + " " + (dir / "soup/mail0000.MSG") + " " +
                    (dir / "soup/news0000.MSG") + " 2>&1";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, p)) != 0;) out.append(buffer, got);
    pclose(p);
  }
  int lines = 0;
  for (std::size_t pos = 0; (pos = out.find('\n', pos)) != std::string::npos; ++pos) ++lines;
  EXPECT_EQ(lines, n) << out;
  EXPECT_EQ(out.find("Bcc"), std::string::npos) << out;
  EXPECT_EQ(out.find("CR"), std::string::npos) << out;
  EXPECT_EQ(out.find("Traceback"), std::string::npos) << out;
}

// A stored file attach naming a bare file finds it in the inbound; one that
// is nowhere keeps its message unsent and says so.
TEST_F(CrashExport, AttachedFilesFromTheInboundOrReported) {
  dir.mkdir("netmail");
  write_config("NetmailDir " + (dir / "netmail") + "\n");
  std::string c = read_file(config_path);
  c.replace(c.find("MailerType Binkley"), 18, "MailerType ArcMail");
  dir.write("QUILLMAR.CFG", c);
  dir.write("in/ARCATT.BIN", "attached bytes");
  TestMessage found = mail(0);
  found.attribute = 0x0010;
  found.subject = "arcatt.bin";
  dir.write("netmail/1.MSG", build_msg(found));
  TestMessage missing = mail(1);
  missing.attribute = 0x0010;
  missing.subject = "NOWHERE.ZIP";
  dir.write("netmail/2.MSG", build_msg(missing));
  RunResult r = run({"EXPORT"});
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_NE(r.err.find("! attached file NOWHERE.ZIP not found\n"), std::string::npos) << r.err;
  EXPECT_EQ(msg_attribute(read_file(dir / "netmail/1.MSG")), 0x0018);
  EXPECT_EQ(msg_attribute(read_file(dir / "netmail/2.MSG")), 0x0010);
  std::vector<std::string> sent = split_framed(read_file(dir / "soup/mail0000.MSG"));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].find("name=\"arcatt.bin\""), std::string::npos) << sent[0];
  expect_each_once(count_replies(dir / "soup"), {token(0)}, "inbound file");
}

// A file in the gateway's own flow file that no message carries has nobody
// to go to: it stays listed, and the run says so.
TEST_F(CrashExport, UncoveredFileOfTheOwnOutboundIsKept) {
  write_config("");
  std::string file = dir.write("files/ALONE.TXT", "alone\n");
  std::string other = dir.write("files/L.PKT", build_packet(kNode1, kGateway, messages(0, 1)));
  dir.write("out/01590006.FLO", "^" + file + "\n^" + other + "\n");
  RunResult r = run({"EXPORT"});
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_NE(r.err.find("no message carries it and it has no recipient"), std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(dir / "out/01590006.FLO"), "^" + file + "\n");
  EXPECT_TRUE(exists(file));
  EXPECT_FALSE(exists(other));
  expect_each_once(count_replies(dir / "soup"), {token(0)}, "uncovered file");
}

}  // namespace
}  // namespace quillmar::testing
