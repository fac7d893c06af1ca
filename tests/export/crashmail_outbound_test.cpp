// EXPORT reading an outbound made by a real tosser: crashwrite writes
// netmail and echomail, crashmail tosses it and routes it to the gateway, a
// point of the tosser's node, in a BinkleyTerm-style outbound with
// lower-case names, a point directory and a flow file. Every message must
// reach the reply packet, as Python's email package reads it, and the
// outbound must be empty afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

// Every message of the reply files listed in REPLIES, one line each:
// kind, sender, recipients or groups, subject, defects, and the text.
const char* kReader = R"PY(
import sys, os, email, email.policy
soup = sys.argv[1]
for line in open(os.path.join(soup, 'REPLIES')):
    prefix, kind, form = line.rstrip('\n').split('\t')
    data = open(os.path.join(soup, prefix + '.MSG'), 'rb').read()
    pos = 0
    while pos + 4 <= len(data):
        n = int.from_bytes(data[pos:pos + 4], 'big')
        msg = email.message_from_bytes(data[pos + 4:pos + 4 + n], policy=email.policy.default)
        pos += 4 + n
        defects = [type(d).__name__ for p in msg.walk() for d in p.defects]
        target = msg['Newsgroups'] if kind == 'news' else msg['To']
        if msg['Cc'] is not None:
            target = str(target) + ' cc ' + str(msg['Cc'])
        print(kind, '|', msg['From'], '|', target, '|', msg['Subject'], '|', ' '.join(defects),
              '|', repr(msg.get_content()))
    if pos != len(data):
        print('framing error in', prefix)
)PY";

int shell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CrashmailOutbound, EveryTossedMessageReachesTheReplyPacket) {
  for (const char* program : {"crashmail", "crashwrite", "python3"}) {
    if (!have_program(program)) GTEST_SKIP() << program << " is not installed";
  }
  ScratchDir dir;
  const std::string d = dir.path();
  for (const char* sub :
       {"write", "in", "out", "tmp", "pkt", "msg", "soup", "gate-in", "gate-tmp"}) {
    dir.mkdir(sub);
  }
  dir.write("crashmail.prefs",
            "SYSOP \"Test Sysop\"\n"
            "LOGFILE \"" +
                d +
                "/crashmail.log\"\n"
                "LOGLEVEL 6\n"
                "DEFAULTZONE 2\n"
                "INBOUND \"" +
                d +
                "/in\"\n"
                "OUTBOUND \"" +
                d +
                "/out\"\n"
                "TEMPDIR \"" +
                d +
                "/tmp\"\n"
                "CREATEPKTDIR \"" +
                d +
                "/tmp\"\n"
                "PACKETDIR \"" +
                d +
                "/pkt\"\n"
                "STATSFILE \"" +
                d +
                "/crashmail.stats\"\n"
                "AKA 2:345/1.0\n"
                "DOMAIN \"FidoNet\"\n"
                "NODE 2:345/1.6 \"\" \"QUILL\" AUTOADD\n"
                "ROUTE \"2:345/1.6\" \"2:345/1.6\" 2:345/1.0\n"
                "NETMAIL \"NETMAIL\" 2:345/1.0 MSG \"" +
                d +
                "/msg/NETMAIL\"\n"
                "AREA \"BAD\" 2:345/1.0 MSG \"" +
                d +
                "/msg/BAD\"\n"
                "AREA \"FIDO.TEST\" 2:345/1.0 MSG \"" +
                d +
                "/msg/FIDO_TEST\"\n"
                "EXPORT 2:345/1.6\n");
  dir.write("netmail.txt", "Hello Ann,\nthis is netmail through the gateway.\n");
  dir.write("uucp.txt", "To: bob@example.com\nCopy: carol@example.net\n\nHello Bob and Carol.\n");
  dir.write("echo1.txt", "The first article.\n");
  dir.write("echo2.txt", "The second article.\n");
  struct Written {
    std::string to_name, area, subject, text;
  } written[] = {
      {"ann@example.net", "", "Netmail out", "netmail.txt"},
      {"UUCP", "", "Two recipients", "uucp.txt"},
      {"All", "FIDO.TEST", "First echo", "echo1.txt"},
      {"All", "FIDO.TEST", "Second echo", "echo2.txt"},
  };
  for (const Written& w : written) {
    std::string cmd = "cd '" + d + "' && crashwrite DIR '" + d +
                      "/write' FROMNAME 'Joe Sysop' FROMADDR 2:345/1.0 SUBJECT '" + w.subject +
                      "' TEXT " + w.text;
    cmd += w.area.empty() ? " TONAME '" + w.to_name + "' TOADDR 2:345/1.6"
                          : " AREA " + w.area + " ORIGIN 'test system'";
    ASSERT_EQ(shell(cmd + " >/dev/null 2>&1"), 0) << cmd;
  }
  ASSERT_EQ(shell("cd '" + d + "' && crashmail SETTINGS '" + d + "/crashmail.prefs' TOSSDIR '" + d +
                  "/write' NOSECURITY >toss.txt 2>&1"),
            0)
      << read_file(dir / "toss.txt");
  // The outbound as the tosser left it: lower-case names in the point
  // directory of 2:345/1, a packet and a flow file naming an echomail packet.
  ASSERT_TRUE(exists(dir / "out/01590001.pnt/00000006.out")) << read_file(dir / "crashmail.log");
  ASSERT_TRUE(exists(dir / "out/01590001.pnt/00000006.flo")) << read_file(dir / "crashmail.log");
  EXPECT_EQ(read_file(dir / "out/01590001.pnt/00000006.flo").rfind("^" + d + "/pkt/", 0), 0u);

  dir.write("q.cfg",
            "FidoAddr 2:345/1.6\n"
            "AddrMap 2:345/1 joe@example.org Joe Sysop\n"
            "FidoDomain 1-6 #fidonet.org\n"
            "MailerType Binkley\n"
            "BaseZone 2\n"
            "InboundDir ./gate-in/\n"
            "OutboundDir ./out/\n"
            "SoupDir ./soup/\n"
            "TempDir ./gate-tmp/\n"
            "PacketPwd QUILL\n");
  RunResult r = run_quillmar(d, {"EXPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("-> 4 messages exported\nmail: 2         news: 2"), std::string::npos)
      << r.err;

  dir.write("reader.py", kReader);
  ASSERT_EQ(shell("python3 '" + d + "/reader.py' '" + d + "/soup' >'" + d + "/read.txt' 2>&1"), 0)
      << read_file(dir / "read.txt");
  EXPECT_EQ(read_file(dir / "read.txt"),
            "mail | joe@example.org | ann@example.net | Netmail out |  | "
            "'Hello Ann,\\nthis is netmail through the gateway.\\n'\n"
            "mail | joe@example.org | bob@example.com cc carol@example.net | Two recipients |  | "
            "'Hello Bob and Carol.\\n'\n"
            "news | joe@example.org | fido.test | First echo |  | 'The first article.\\n'\n"
            "news | joe@example.org | fido.test | Second echo |  | 'The second article.\\n'\n");

  // Nothing of the outbound is left: packet, flow file and listed packet.
  std::vector<std::string> left;
  for (const auto& e : fs::recursive_directory_iterator(d + "/out")) {
    if (!e.is_directory()) left.push_back(e.path().string());
  }
  for (const auto& e : fs::directory_iterator(d + "/pkt")) left.push_back(e.path().string());
  EXPECT_TRUE(left.empty()) << left.front();
}

}  // namespace
}  // namespace quillmar::testing
