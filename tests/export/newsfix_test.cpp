// NewsFix, the robot that takes newsgroup requests by netmail, run as the
// real binary: a point's command messages in the gateway's outbound, the
// answers in a packet of the inbound, the subscriptions in SoupDir; the
// refusals; a kill at every moment of the run that carries out a command.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "export/export_files.hpp"
#include "export/export_install.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

using namespace export_install;

constexpr FtnAddress kPoint{2, 345, 1, 5};

const char* const kConfig =
    "NewsFixNode 2:345/1.5 Secret 2\n"
    "NewsFixNode 2:345/2.* other\n"
    "NewsFixAllow comp.*,!comp.binaries.*\n";

const char* const kGroups =
    "alt.test\tTesting.\n"
    "comp.binaries.misc\tBinaries.\n"
    "comp.lang.c\tDiscussion about C.\n"
    "comp.lang.python\tThe Python computer language.\n"
    "comp.os.linux.misc\tLinux-specific topics.\n";

// One answer of the robot as a tosser reads it from the packet.
struct Answer {
  uint16_t dest_net = 0, dest_node = 0;
  std::string to_name, from_name, subject, text;
};

uint16_t get16(const std::string& p, std::size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(p[at]) |
                               (static_cast<unsigned char>(p[at + 1]) << 8));
}

// The answers in every packet of the inbound; `problems` says what is
// wrong with a packet's form.
std::vector<Answer> read_answers(const std::string& inbound, std::string& problems) {
  std::vector<Answer> out;
  for (const auto& e : fs::directory_iterator(inbound)) {
    std::string name = e.path().filename();
    if (!name.ends_with(".PKT")) {
      problems += "left in the inbound: " + name + "\n";
      continue;
    }
    std::string p = read_file(e.path());
    std::size_t pos = 58;
    while (pos + 2 <= p.size() && get16(p, pos) == 2) {
      Answer a;
      a.dest_node = get16(p, pos + 4);
      a.dest_net = get16(p, pos + 8);
      pos += 14;
      std::string* fields[] = {nullptr, &a.to_name, &a.from_name, &a.subject, &a.text};
      for (std::string* f : fields) {
        std::size_t nul = p.find('\0', pos);
        if (nul == std::string::npos) {
          problems += name + ": a message without its end\n";
          return out;
        }
        if (f != nullptr) *f = p.substr(pos, nul - pos);
        pos = nul + 1;
      }
      out.push_back(a);
    }
    if (p.size() != pos + 2 || get16(p, pos) != 0) problems += name + ": no packet end\n";
  }
  return out;
}

TestMessage command(const std::string& subject, const std::string& lines,
                    const std::string& to = "NewsFix") {
  TestMessage m;
  m.to_name = to;
  m.from_name = "Pat Point";
  m.subject = subject;
  m.text = lines;
  return m;
}

// An installation with the robot on and the server's list fetched.
struct RobotInstall : Install {
  RobotInstall() {
    write_config(kConfig);
    dir.write("soup/NEWSFIX.GRP", kGroups);
  }
  // Puts the point's messages into the gateway's outbound and runs EXPORT.
  RunResult send(std::vector<TestMessage> messages, FtnAddress from = kPoint) {
    for (TestMessage& m : messages) {
      m.orig_net = from.net;
      m.orig_node = from.node;
    }
    dir.write("out/01590006.OUT", build_packet(from, kGateway, messages));
    return run({"EXPORT"});
  }
  // The one answer of the last run (its packet removed afterwards).
  Answer only_answer() {
    std::string problems;
    std::vector<Answer> answers = read_answers(dir / "in", problems);
    EXPECT_EQ(problems, "");
    EXPECT_EQ(answers.size(), 1u);
    for (const auto& e : fs::directory_iterator(dir / "in")) fs::remove(e.path());
    return answers.empty() ? Answer{} : answers.front();
  }
  std::string subscriptions() {
    return exists(dir / "soup/NEWSFIX.SUB") ? read_file(dir / "soup/NEWSFIX.SUB") : "";
  }
};

struct NewsFix : ::testing::Test, RobotInstall {};

TEST_F(NewsFix, ListAddQueryRemove) {
  RunResult r = send({command(
      "Secret", "\x01MSGID: 2:345/1.5 1234abcd\rLIST comp.*\r%+comp.lang.c\rQUERY\r--- \r")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  Answer a = only_answer();
  EXPECT_EQ(a.to_name, "Pat Point");
  EXPECT_EQ(a.from_name, "NewsFix");
  EXPECT_EQ(a.dest_net, 345);
  EXPECT_EQ(a.dest_node, 1);
  EXPECT_NE(a.text.find("\x01TOPT 5\r"), std::string::npos) << a.text;
  EXPECT_NE(a.text.find("\x01REPLY: 2:345/1.5 1234abcd\r"), std::string::npos) << a.text;
  // LIST: the allowed groups with their descriptions, nothing else.
  EXPECT_NE(a.text.find("comp.lang.c                            Discussion about C.\r"),
            std::string::npos)
      << a.text;
  EXPECT_NE(a.text.find("comp.lang.python"), std::string::npos);
  EXPECT_NE(a.text.find("comp.os.linux.misc"), std::string::npos);
  EXPECT_EQ(a.text.find("comp.binaries.misc"), std::string::npos);
  EXPECT_EQ(a.text.find("alt.test"), std::string::npos);
  EXPECT_NE(a.text.find("+comp.lang.c: comp.lang.c added, area COMP.LANG.C\r"), std::string::npos)
      << a.text;
  EXPECT_NE(a.text.find("  comp.lang.c                            area COMP.LANG.C\r"),
            std::string::npos)
      << a.text;
  EXPECT_NE(subscriptions().find("\ncomp.lang.c COMP.LANG.C 2:345/1.5\n"), std::string::npos)
      << subscriptions();
  // Never sent to the Internet; the command message is consumed.
  EXPECT_FALSE(exists(dir / "soup/REPLIES"));
  EXPECT_FALSE(exists(dir / "out/01590006.OUT"));
  EXPECT_NE(r.err.find("* NewsFix 2:345/1.5: +comp.lang.c: comp.lang.c added"), std::string::npos)
      << r.err;

  r = send({command("secret", "-comp.lang.c\rQUERY\r")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  a = only_answer();
  EXPECT_NE(a.text.find("-comp.lang.c: comp.lang.c removed (area COMP.LANG.C)\r"),
            std::string::npos)
      << a.text;
  EXPECT_NE(a.text.find("QUERY: 0 group(s) you have\r"), std::string::npos) << a.text;
  EXPECT_EQ(subscriptions().find("comp.lang.c"), std::string::npos) << subscriptions();
}

// Refusals: each message's answer, and what the subscriptions hold after.
TEST_F(NewsFix, RefusalsChangeNothing) {
  struct Case {
    const char* name;
    FtnAddress from;
    std::string subject;
    std::string lines;
    std::string answer;
  };
  const Case cases[] = {
      {"wrong password", kPoint, "guess", "+comp.lang.c\r",
       "refused: wrong password; nothing changed\r"},
      {"unknown node", FtnAddress{2, 345, 3, 0}, "Secret", "+comp.lang.c\r",
       "refused: your address may not use NewsFix; nothing changed\r"},
      {"not allowed", kPoint, "Secret", "+comp.binaries.misc\r",
       "+comp.binaries.misc: refused: not a group you may ask for here\r"},
      {"outside every allow line", kPoint, "Secret", "alt.test\r",
       "alt.test: refused: not a group you may ask for here\r"},
      {"unknown to the server", kPoint, "Secret", "+comp.lang.cobol\r",
       "+comp.lang.cobol: refused: the news server does not carry it\r"},
      {"over the limit", kPoint, "Secret", "+comp.lang.*\r+comp.os.linux.misc\r",
       "+comp.os.linux.misc: refused: you have 2 group(s), the most you may have\r"},
      {"not understood", kPoint, "Secret", "SUBSCRIBE me\r",
       "SUBSCRIBE me: not understood (HELP lists the commands)\r"},
  };
  for (const Case& c : cases) {
    RobotInstall t;
    RunResult r = t.send({command(c.subject, c.lines)}, c.from);
    EXPECT_EQ(r.exit_code, 0) << c.name << "\n" << r.err;
    Answer a = t.only_answer();
    EXPECT_NE(a.text.find(c.answer), std::string::npos) << c.name << "\n" << a.text;
    EXPECT_EQ(a.dest_node, c.from.node) << c.name;
    std::string subs = t.subscriptions();
    EXPECT_EQ(subs.find("comp.os.linux.misc"), std::string::npos) << c.name << "\n" << subs;
    EXPECT_EQ(subs.find("alt.test"), std::string::npos) << c.name;
    EXPECT_EQ(subs.find("comp.binaries"), std::string::npos) << c.name;
    EXPECT_FALSE(exists(t.dir / "soup/REPLIES")) << c.name;
  }
}

// The LIST of a large server comes in parts of at most 60000 bytes of
// text, cut between lines, every group once.
TEST_F(NewsFix, ALongAnswerComesInParts) {
  std::string list;
  for (int i = 0; i < 3000; ++i) {
    list += "comp.test.group" + std::to_string(10000 + i) + "\tA group for the test of parts.\n";
  }
  dir.write("soup/NEWSFIX.GRP", list);
  RunResult r = send({command("Secret", "LIST\r")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string problems;
  std::vector<Answer> answers = read_answers(dir / "in", problems);
  EXPECT_EQ(problems, "");
  ASSERT_EQ(answers.size(), 4u);  // 3000 lines of 72 bytes
  std::string all;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    EXPECT_EQ(answers[i].subject, "NewsFix answer (" + std::to_string(i + 1) + "/4)");
    // The text without the kludges.
    std::string text;
    for (std::size_t pos = 0; pos < answers[i].text.size();) {
      std::size_t end = answers[i].text.find('\r', pos);
      end = end == std::string::npos ? answers[i].text.size() : end + 1;
      if (answers[i].text[pos] != '\x01') text += answers[i].text.substr(pos, end - pos);
      pos = end;
    }
    EXPECT_LE(text.size(), 60000u);
    EXPECT_EQ(text.back(), '\r');
    all += text;
  }
  for (int i = 0; i < 3000; ++i) {
    std::string name = "  comp.test.group" + std::to_string(10000 + i) + " ";
    std::size_t at = all.find(name);
    EXPECT_NE(at, std::string::npos) << name;
    EXPECT_EQ(all.find(name, at + 1), std::string::npos) << name;
  }
}

// A run killed after its commit left the answers' packet to be put in
// place; an import took its name meanwhile: the answer takes the next free
// name and both packets stay.
TEST_F(NewsFix, AnAnswerWhoseNameWasTakenTakesTheNextFreeOne) {
  dir.write("in/NEWSFIX.NFT", "answer");
  dir.write("in/00000000.PKT", "import");
  dir.write("soup/EXPORT.JNL", "QUILLMAR EXPORT JOURNAL 1\nstate commit\ninstall 6 0 1 0 " +
                                   hex(dir / "in/00000000.PKT") + " " +
                                   hex(dir / "in/NEWSFIX.NFT") + "\nend\n");
  RunResult r = run({"EXPORT"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(dir / "in/00000000.PKT"), "import");
  EXPECT_EQ(read_file(dir / "in/00000001.PKT"), "answer");
  EXPECT_FALSE(exists(dir / "in/NEWSFIX.NFT"));
  EXPECT_FALSE(exists(dir / "soup/EXPORT.JNL"));
}

// A netmail to another name, and a command message while the robot is off,
// go to the Internet as before.
TEST_F(NewsFix, OtherMailIsMail) {
  TestMessage m = command("Secret", "To: u1@example.net\r\r+comp.lang.c\r", "UUCP");
  RunResult r = send({m});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(exists(dir / "soup/REPLIES"));
  EXPECT_FALSE(exists(dir / "soup/NEWSFIX.SUB"));
  EXPECT_TRUE(fs::is_empty(dir / "in"));
}

TEST(NewsFixOff, ACommandMessageIsMailWithoutNewsFixNode) {
  Install t;
  t.write_config("");
  t.dir.write("out/01590006.OUT",
              build_packet(kPoint, kGateway, {command("Secret", "To: u@example.net\r\rLIST\r")}));
  RunResult r = t.run({"EXPORT"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(exists(t.dir / "soup/REPLIES"));
  EXPECT_TRUE(fs::is_empty(t.dir / "in"));
}

// Killed at every call of these system calls, then run again: the command
// is carried out once, one answer reaches the inbound, nothing is left.
TEST(NewsFixKill, CommandDoneOnceAndOneAnswerAfterAKillAnywhere) {
  if (!have_program("strace")) GTEST_SKIP() << "strace is not installed";
  if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace cannot trace here (no ptrace)";
  }
  int killed = 0;
  for (const char* syscall :
       {"rename", "renameat2", "fsync", "unlink", "pwrite64", "openat", "write", "close"}) {
    for (int when = 1; when < 400; ++when) {
      RobotInstall t;
      // A mail beside the command: it reaches the reply packet once too.
      std::vector<TestMessage> messages = {mail(1), command("Secret", "+comp.lang.c\r")};
      t.dir.write("out/01590006.OUT", build_packet(kPoint, kGateway, messages));
      const std::string context = std::string(syscall) + " #" + std::to_string(when);
      if (!run_killed(t.dir.path(), {"EXPORT", "/CONFIG=" + t.config_path}, syscall, when)) break;
      ++killed;
      RunResult clean = t.run({"EXPORT"});
      EXPECT_EQ(clean.exit_code, 0) << context << "\n" << clean.err;
      std::string problems;
      std::vector<Answer> answers = read_answers(t.dir / "in", problems);
      EXPECT_EQ(problems, "") << context;
      ASSERT_EQ(answers.size(), 1u) << context;
      EXPECT_NE(answers[0].text.find("+comp.lang.c: comp.lang.c added, area COMP.LANG.C\r"),
                std::string::npos)
          << context << "\n"
          << answers[0].text;
      EXPECT_EQ(read_file(t.dir / "soup/NEWSFIX.SUB"),
                "# Quillmar NewsFix subscriptions: group tag nodes\n"
                "comp.lang.c COMP.LANG.C 2:345/1.5\n")
          << context;
      expect_each_once(count_replies(t.dir / "soup"), {token(1)}, context);
      EXPECT_FALSE(exists(t.dir / "out/01590006.OUT")) << context;
      EXPECT_FALSE(exists(t.dir / "soup/EXPORT.JNL")) << context;
      EXPECT_FALSE(exists(t.dir / "soup/NEWSFIX.SNT")) << context;
      if (::testing::Test::HasFailure()) return;
    }
  }
  EXPECT_GT(killed, 20);
}

// The answer's packet tossed by crashmail: the point's reader finds the
// answer in its netmail area, from NewsFix, to the writer.
TEST(NewsFixToss, CrashmailTakesTheAnswer) {
  if (!have_program("crashmail")) GTEST_SKIP() << "crashmail is not installed; test skipped";
  RobotInstall t;
  t.write_config(std::string(kConfig) + "PacketPwd QUILL\n");
  t.dir.write("out/01590006.OUT",
              build_packet(kPoint, kGateway, {command("Secret", "+comp.lang.c\rQUERY\r")}));
  RunResult r = t.run({"EXPORT"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ScratchDir& dir = t.dir;
  for (const char* d : {"cm", "cm/out", "cm/tmp", "cm/pkt", "cm/msg"}) dir.mkdir(d);
  const std::string cm = dir / "cm";
  // The point's own system: its address is one of the tosser's.
  dir.write("cm/crashmail.prefs",
            "SYSOP \"Test\"\nLOGFILE \"" + cm + "/log\"\nLOGLEVEL 6\nDEFAULTZONE 2\nINBOUND \"" +
                dir.path() + "/in\"\nOUTBOUND \"" + cm + "/out\"\nTEMPDIR \"" + cm +
                "/tmp\"\nCREATEPKTDIR \"" + cm + "/tmp\"\nPACKETDIR \"" + cm +
                "/pkt\"\nSTATSFILE \"" + cm +
                "/stats\"\nAKA 2:345/6.1\nAKA 2:345/1.5\nDOMAIN \"FidoNet\"\n"
                "NODE 2:345/6.0 \"\" \"QUILL\" AUTOADD\n"
                "NETMAIL \"NETMAIL\" 2:345/6.1 MSG \"" +
                cm + "/msg/NETMAIL\"\nAREA \"BAD\" 2:345/6.1 MSG \"" + cm + "/msg/BAD\"\n");
  std::string toss =
      "cd '" + cm + "' && crashmail SETTINGS '" + cm + "/crashmail.prefs' TOSS >/dev/null 2>&1";
  ASSERT_EQ(std::system(toss.c_str()), 0);
  std::string log = read_file(cm + "/log");
  EXPECT_EQ(log.find("\n!"), std::string::npos) << log;
  std::vector<std::string> netmail;
  if (fs::is_directory(cm + "/msg/NETMAIL")) {
    for (const auto& e : fs::directory_iterator(cm + "/msg/NETMAIL")) {
      if (e.path().extension() == ".msg") netmail.push_back(read_file(e.path()));
    }
  }
  ASSERT_EQ(netmail.size(), 1u) << log;
  const std::string& m = netmail[0];
  EXPECT_EQ(m.substr(0, 7), "NewsFix");           // from
  EXPECT_EQ(m.substr(36, 9), "Pat Point");        // to
  EXPECT_EQ(m.substr(72, 14), "NewsFix answer");  // subject
  EXPECT_NE(m.find("+comp.lang.c: comp.lang.c added, area COMP.LANG.C\r"), std::string::npos) << m;
  EXPECT_NE(m.find("  comp.lang.c                            area COMP.LANG.C\r"),
            std::string::npos);
}

}  // namespace
}  // namespace quillmar::testing
