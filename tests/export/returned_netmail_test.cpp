// BounceUnaddressed: a netmail whose recipient is no Internet address goes
// back to its writer as a netmail from the gateway, put into the inbound,
// instead of out as a mail to a name. Real binary; crashmail tosses the
// returned netmail where it is installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "export/export_files.hpp"
#include "export/export_install.hpp"
#include "import/packet_reader.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

constexpr FtnAddress kNode1{2, 345, 1, 0};
constexpr FtnAddress kGateway{2, 345, 6, 0};

TestMessage netmail(const std::string& to_name, const std::string& lines, int serial) {
  TestMessage m;
  m.to_name = to_name;
  m.subject = "Hello " + std::to_string(serial);
  m.text = "\x01MSGID: 2:345/1 0000000" + std::to_string(serial) + "\r" + lines + "Text.\r";
  return m;
}

std::vector<std::string> files_with(const std::string& dir, const std::string& extension) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() == extension) out.push_back(e.path().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The netmails the gateway returned, in the order of their subjects.
std::vector<FidoMessage> returned(const std::string& inbound) {
  std::vector<FidoMessage> out;
  for (const std::string& p : files_with(inbound, ".PKT")) {
    bool ok = false;
    std::vector<FidoMessage> m = read_packet(p, &ok);
    EXPECT_TRUE(ok) << p;
    out.insert(out.end(), m.begin(), m.end());
  }
  std::sort(out.begin(), out.end(),
            [](const FidoMessage& a, const FidoMessage& b) { return a.subject < b.subject; });
  return out;
}

const std::string kName = "J\x81rgen M\x94ller";  // as a DOS reader writes it (CP437)

std::vector<TestMessage> outbound_mail() {
  return {netmail(kName, "", 1), netmail("UUCP", "To: Joe Sysop\r\r", 2), netmail("UUCP", "", 3),
          netmail("John Smith", "To: js@example.net\r\r", 4),
          netmail("UUCP", "To: " + kName + " <jm@example.de>\r\r", 5)};
}

TEST(ReturnedNetmail, NamesWithoutAddressGoBackToTheWriter) {
  ScratchDir dir;
  dir.write("q.cfg",
            minimal_config(dir) + "BounceUnaddressed Yes\nLogFile " + dir.path() + "/q.log\n");
  dir.write("out/01590006.OUT", build_packet(kNode1, kGateway, outbound_mail()));
  RunResult r = run_quillmar(dir.path(), {"EXPORT", "/C=./q.cfg"}, "TZ=UTC");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(exists(dir / "out/01590006.OUT"));
  EXPECT_FALSE(exists(dir / "soup/EXPORT.JNL"));
  EXPECT_TRUE(files_with(dir / "in", ".BNC").empty());

  // Two mails go out: the name beside an address line is left out.
  std::vector<std::string> mail = split_framed(read_file(dir / "soup/mail0000.MSG"));
  ASSERT_EQ(mail.size(), 2u) << r.err;
  EXPECT_EQ(mail[0].substr(0, mail[0].find('\n') + 1), "To: js@example.net\n");
  EXPECT_EQ(mail[1].substr(0, mail[1].find('\n') + 1),
            "To: =?IBM437?B?SoFyZ2VuIE2UbGxlcg==?= <jm@example.de>\n");

  std::vector<FidoMessage> back = returned(dir / "in");
  ASSERT_EQ(back.size(), 3u) << r.err;
  const char* reasons[] = {"\"J\x81rgen M\x94ller\" is not an Internet address",
                           "\"Joe Sysop\" is not an Internet address",
                           "it names no Internet address"};
  const char* recipients[] = {"J\x81rgen M\x94ller", "Joe Sysop", "UUCP"};
  for (int i = 0; i < 3; ++i) {
    const FidoMessage& m = back[i];
    EXPECT_EQ(m.to, "Joe Sysop");
    EXPECT_EQ(m.from, "Quillmar");
    EXPECT_EQ(m.subject, "Returned: Hello " + std::to_string(i + 1));
    EXPECT_EQ(m.attribute, 0x0001);
    EXPECT_NE(m.text.find("\x01INTL 2:345/1 2:345/6\r"), std::string::npos) << m.text;
    EXPECT_NE(m.text.find("\x01REPLY: 2:345/1.0 0000000" + std::to_string(i + 1) + "\r"),
              std::string::npos)
        << m.text;
    EXPECT_NE(m.text.find("Your netmail to \"" + std::string(recipients[i]) +
                          "\" was not sent: " + reasons[i] + ".\r"),
              std::string::npos)
        << m.text;
    EXPECT_NE(m.text.find("Internet mail is netmail to UUCP at 2:345/6 "), std::string::npos);
    EXPECT_NE(m.text.find("\r  To: name@example.com\r"), std::string::npos);
    std::string line =
        std::string("* netmail from 2:345/1.0 (Joe Sysop) returned to its writer: ") + reasons[i] +
        "\n";
    EXPECT_NE(read_file(dir / "q.log").find(line), std::string::npos) << line;
  }
}

// Without BounceUnaddressed the mail goes out as the FidoNet message names
// it, but an 8-bit name never as raw bytes.
TEST(ReturnedNetmail, OffByDefault) {
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir));
  dir.write("out/01590006.OUT", build_packet(kNode1, kGateway, outbound_mail()));
  RunResult r = run_quillmar(dir.path(), {"EXPORT", "/C=./q.cfg"}, "TZ=UTC");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> mail = split_framed(read_file(dir / "soup/mail0000.MSG"));
  ASSERT_EQ(mail.size(), 5u);
  EXPECT_EQ(mail[0].substr(0, mail[0].find('\n') + 1), "To: =?IBM437?B?SoFyZ2VuIE2UbGxlcg==?=\n");
  EXPECT_EQ(mail[1].substr(0, mail[1].find('\n') + 1), "To: Joe Sysop\n");
  EXPECT_TRUE(files_with(dir / "in", ".PKT").empty());
}

// The writer's tosser takes the returned netmail like any other.
TEST(ReturnedNetmail, CrashmailTossesItToTheWriter) {
  if (!have_program("crashmail")) GTEST_SKIP() << "crashmail is not installed; test skipped";
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir) + "BounceUnaddressed Yes\n");
  dir.write("out/01590006.OUT", build_packet(kNode1, kGateway, {netmail(kName, "", 1)}));
  RunResult r = run_quillmar(dir.path(), {"EXPORT", "/C=./q.cfg"}, "TZ=UTC");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* d : {"cm", "cm/out", "cm/tmp", "cm/pkt", "cm/msg"}) dir.mkdir(d);
  std::string cm = dir / "cm";
  dir.write("cm/crashmail.prefs",
            "SYSOP \"Joe Sysop\"\nLOGFILE \"" + cm +
                "/log\"\nLOGLEVEL 6\nDEFAULTZONE 2\n"
                "INBOUND \"" +
                dir.path() + "/in\"\nOUTBOUND \"" + cm + "/out\"\nTEMPDIR \"" + cm +
                "/tmp\"\nCREATEPKTDIR \"" + cm + "/tmp\"\nPACKETDIR \"" + cm +
                "/pkt\"\nSTATSFILE \"" + cm +
                "/stats\"\nAKA 2:345/1.0\nDOMAIN \"FidoNet\"\nNODE 2:345/6.0 \"\" \"\" AUTOADD\n"
                "NETMAIL \"NETMAIL\" 2:345/1.0 MSG \"" +
                cm +
                "/msg/NETMAIL\"\nAREA \"BAD\" "
                "2:345/1.0 MSG \"" +
                cm + "/msg/BAD\"\n");
  std::string command =
      "cd '" + cm + "' && crashmail SETTINGS '" + cm + "/crashmail.prefs' TOSS >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string log = read_file(cm + "/log");
  std::vector<std::string> stored;
  if (fs::is_directory(cm + "/msg/NETMAIL")) stored = files_with(cm + "/msg/NETMAIL", ".msg");
  ASSERT_EQ(stored.size(), 1u) << log;
  std::string msg = read_file(stored[0]);
  EXPECT_EQ(msg.substr(36, 9), "Joe Sysop") << log;
  EXPECT_NE(msg.find("  To: name@example.com"), std::string::npos);
  EXPECT_TRUE(files_with(dir / "in", ".PKT").empty()) << log;
}

// Killed at any point, the run and the next one return the netmail once
// and write every other message once.
TEST(ReturnedNetmail, OnceAfterAKillAndACleanRun) {
  if (!have_program("strace")) GTEST_SKIP() << "strace is not installed";
  if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace cannot trace here (no ptrace)";
  }
  using namespace export_install;
  const std::pair<const char*, int> kill_points[] = {
      {"rename", 1}, {"rename", 2}, {"rename", 3}, {"rename", 4}, {"fsync", 1},
      {"fsync", 2},  {"fsync", 3},  {"fsync", 4},  {"fsync", 6},  {"unlink", 1},
      {"unlink", 2}, {"write", 3},  {"write", 10}, {"openat", 30}};
  int killed = 0;
  for (const auto& [syscall, when] : kill_points) {
    std::string context = std::string(syscall) + " #" + std::to_string(when);
    Install t;
    t.write_config("BounceUnaddressed Yes\n");
    t.dir.write("out/01590006.OUT", build_packet(kNode1, kGateway,
                                                 {export_install::mail(0), netmail(kName, "", 1),
                                                  export_install::mail(1)}));
    std::vector<std::string> args = {"EXPORT", "/CONFIG=" + t.config_path};
    if (run_killed(t.dir.path(), args, syscall, when)) ++killed;
    RunResult clean = t.run({"EXPORT"});
    EXPECT_EQ(clean.exit_code, 0) << context << "\n" << clean.err;
    expect_each_once(count_replies(t.dir / "soup"), msg_tokens(2), context);
    EXPECT_EQ(returned(t.dir / "in").size(), 1u) << context << "\n" << clean.err;
    EXPECT_TRUE(files_with(t.dir / "in", ".BNC").empty()) << context;
    EXPECT_FALSE(exists(t.dir / "out/01590006.OUT")) << context;
    EXPECT_FALSE(exists(t.dir / "soup/EXPORT.JNL")) << context;
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(killed, 8);
}

}  // namespace
}  // namespace quillmar::testing
