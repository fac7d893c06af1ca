// Runs of the real binary on scratch installations: the Binkley outbound
// with flow files and routes, a /PKT= directory, stored netmail with its
// attributes and the quick-scan stamp, and list-area distribution. The
// reply packets are read back and checked with Python's email package.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "export/export_files.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

constexpr FtnAddress kNode1{2, 345, 1, 0};
constexpr FtnAddress kGateway{2, 345, 6, 0};
const char* kFixedTime = "1999-03-09 14:05:07";
const char* kEnv = "TZ=UTC";

TestMessage mail_to(const std::string& address, const std::string& body) {
  TestMessage m;
  m.text = "\x01MSGID: 2:345/1 00000001\rTo: " + address + "\r\r" + body + "\r";
  return m;
}
TestMessage echo(const std::string& area, const std::string& body) {
  TestMessage m;
  m.to_name = "All";
  m.text = "AREA:" + area + "\r\x01MSGID: 2:345/1 00000002\r" + body +
           "\r--- ed\r * Origin: here (2:345/1)\rSEEN-BY: 345/1\r";
  return m;
}

// Python's reading of a reply file: per message its defects, then one line
// per leaf part ("text" and its content, or "file", the name and the hex
// of the decoded bytes).
const char* kValidator = R"PY(
import sys, email, email.policy
data = open(sys.argv[1], 'rb').read()
pos = 0
while pos + 4 <= len(data):
    n = int.from_bytes(data[pos:pos + 4], 'big')
    msg = email.message_from_bytes(data[pos + 4:pos + 4 + n], policy=email.policy.default)
    pos += 4 + n
    defects = [type(d).__name__ for p in msg.walk() for d in p.defects]
    for name in ('From', 'Reply-to', 'Subject', 'Date', 'Message-ID', 'Newsgroups', 'Bcc'):
        if msg[name] is not None:
            defects += [type(d).__name__ for d in msg[name].defects]
    print('message', msg['Subject'], ' '.join(defects))
    for p in msg.walk():
        if p.is_multipart():
            continue
        if p.get_filename():
            print('file', p.get_filename(), p.get_payload(decode=True).hex())
        else:
            print('text', repr(p.get_content()))
if pos != len(data):
    print('framing error')
)PY";

std::string python_view(const ScratchDir& dir, const std::string& reply_file) {
  std::string script = dir.write("validate.py", kValidator);
  std::string cmd = "python3 " + script + " " + reply_file + " 2>&1";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, p)) != 0;) out.append(buffer, n);
    pclose(p);
  }
  return out;
}

class ExportRun : public ::testing::Test {
 protected:
  ScratchDir dir;
  void SetUp() override {
    if (!have_program("faketime")) GTEST_SKIP() << "faketime is not installed";
  }
  RunResult run(const std::string& config, std::vector<std::string> args) {
    dir.write("QUILLMAR.CFG", config);
    args.push_back("/CONFIG=" + (dir / "QUILLMAR.CFG"));
    return run_quillmar(dir.path(), args, kEnv, kFixedTime);
  }
};

TEST_F(ExportRun, OutboundPacketsFlowFilesAndRoutes) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  std::string files = dir.mkdir("files");
  std::string data_bin(300, '\0');
  for (std::size_t i = 0; i < data_bin.size(); ++i) data_bin[i] = static_cast<char>(i * 7);
  dir.write("files/DATA.BIN", data_bin);
  dir.write("files/LONELY.TXT", "alone\n");
  dir.write("files/LISTED.PKT",
            build_packet(kNode1, kGateway, {mail_to("c@example.net", "Listed packet")}));
  TestMessage attach = mail_to("b@example.net", "With a file");
  attach.attribute = 0x0010;
  attach.subject = "DATA.BIN";
  dir.write("out/01590006.OUT",
            build_packet(kNode1, kGateway,
                         {mail_to("a@example.net", "First mail"), attach,
                          echo("FIDO.TEST", "News one"), echo("FIDO.TEST", "News two")}));
  dir.write("out/01590006.FLO", "#" + files + "/DATA.BIN\n#" + files + "/LISTED.PKT\r\n");
  // A file no message carries goes with a covering message to the route's
  // recipient (the gateway's own outbound has none to give it).
  dir.write("out/01590007.CLO", "^" + files + "/LONELY.TXT");
  dir.write("out/01590006.HUT",
            build_packet(kNode1, kGateway, {mail_to("held@example.net", "Held")}));
  // The route's crash packet, plain Type 2.
  TestMessage routed = mail_to("ignored@example.net", "Routed");
  routed.to_name = "Sysop";
  routed.dest_node = 7;
  dir.write("out/01590007.CUT", build_packet(kNode1, FtnAddress{2, 345, 7, 0}, {routed}, false));

  RunResult r = run(minimal_config(dir) +
                        "BaseZone 2\nTimeZone +0100\n"
                        "Route 2:345/7 node7@example.net secret SUBJ=FidoNet mail\n",
                    {"EXPORT"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("Exporting from ?UT/?LO to Soup\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("* MIME-encoding DATA.BIN\n"), std::string::npos);
  EXPECT_TRUE(r.err.ends_with("-> 7 messages exported\nmail: 5         news: 2    \n")) << r.err;

  EXPECT_EQ(read_file(dir / "soup/REPLIES"), "mail0000\tmail\tbn\nnews0000\tnews\tBn\n");
  EXPECT_FALSE(exists(dir / "out/01590006.OUT"));
  EXPECT_FALSE(exists(dir / "out/01590006.FLO"));
  EXPECT_FALSE(exists(dir / "out/01590007.CUT"));
  EXPECT_FALSE(exists(dir / "out/01590007.CLO"));
  EXPECT_TRUE(exists(dir / "out/01590006.HUT"));
  EXPECT_FALSE(exists(dir / "files/LISTED.PKT"));
  EXPECT_FALSE(exists(dir / "files/LONELY.TXT"));
  EXPECT_EQ(read_file(dir / "files/DATA.BIN"), "");

  bool framed = false;
  std::vector<std::string> mail = reply_messages(read_file(dir / "soup/mail0000.MSG"), &framed);
  EXPECT_TRUE(framed);
  ASSERT_EQ(mail.size(), 5u);
  EXPECT_TRUE(mail[0].starts_with("To: a@example.net\n"));
  EXPECT_TRUE(mail[2].starts_with("To: c@example.net\n"));
  EXPECT_NE(mail[4].find("\n\n[Quillmar/W32 v1.04 attached file LONELY.TXT]\n"), std::string::npos)
      << mail[4];
  EXPECT_TRUE(mail[4].starts_with("To: node7@example.net (node7@example.net)\n")) << mail[4];
  EXPECT_TRUE(mail[3].starts_with("To: node7@example.net (Sysop)\n"));
  EXPECT_NE(mail[3].find("X-MailPassword: secret\n"), std::string::npos);

  EXPECT_EQ(python_view(dir, dir / "soup/mail0000.MSG"),
            "message Hello \ntext 'First mail\\n'\n"
            "message DATA.BIN \ntext 'With a file\\n'\nfile DATA.BIN " +
                hex(data_bin) +
                "\n"
                "message Hello \ntext 'Listed packet\\n'\n"
                "message Hello \ntext 'To: ignored@example.net\\n\\nRouted\\n'\n"
                "message ^" +
                files +
                "/LONELY.TXT \n"
                "text '[Quillmar/W32 v1.04 attached file LONELY.TXT]\\n'\n"
                "file LONELY.TXT " +
                hex("alone\n") + "\n");
  EXPECT_EQ(python_view(dir, dir / "soup/news0000.MSG"),
            "message Hello \ntext 'News one\\n'\nmessage Hello \ntext 'News two\\n'\n");
}

// Files named by file-attach messages: a file named twice goes once, a
// device is never read, and an empty message still carries its file when
// another message already took the only flow-listed one.
TEST_F(ExportRun, AttachedFilesFromSubjects) {
  std::string files = dir.mkdir("files");
  dir.write("files/A.TXT", "file a\n");
  dir.write("files/B.TXT", "file b\n");
  TestMessage first = mail_to("a@example.net", "First");
  first.attribute = 0x0010;
  first.subject = "A.TXT";
  TestMessage twice = mail_to("b@example.net", "");
  twice.attribute = 0x0010;
  twice.subject = files + "/B.TXT " + files + "/B.TXT /dev/zero";
  twice.text = "\x01MSGID: 2:345/1 00000002\rTo: b@example.net\r";
  dir.write("out/01590006.OUT", build_packet(kNode1, kGateway, {first, twice}));
  dir.write("out/01590006.FLO", files + "/A.TXT\n");
  RunResult r = run(minimal_config(dir), {"EXPORT"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.err.ends_with("-> 2 messages exported\nmail: 2         news: 0    \n")) << r.err;
  bool framed = false;
  std::vector<std::string> mail = reply_messages(read_file(dir / "soup/mail0000.MSG"), &framed);
  EXPECT_TRUE(framed);
  ASSERT_EQ(mail.size(), 2u);
  std::size_t first_part = mail[1].find("name=\"B.TXT\"");
  EXPECT_NE(first_part, std::string::npos) << mail[1];
  EXPECT_EQ(mail[1].find("name=\"B.TXT\"", first_part + 1), std::string::npos) << mail[1];
  EXPECT_EQ(mail[1].find("name=\"zero\""), std::string::npos) << mail[1];
}

// A file listed under a path longer than a subject holds is still sent.
TEST_F(ExportRun, ListedFileWithALongPath) {
  std::string deep = dir.mkdir("files/" + std::string(60, 'd') + "/" + std::string(30, 'e'));
  dir.write(deep.substr(dir.path().size() + 1) + "/LONG.TXT", "long path\n");
  dir.write("out/01590007.FLO", deep + "/LONG.TXT\n");
  RunResult r = run(minimal_config(dir) + "Route 2:345/7 node7@example.net\n", {"EXPORT"});
  EXPECT_TRUE(r.err.ends_with("-> 1 messages exported\nmail: 1         news: 0    \n")) << r.err;
  std::vector<std::string> mail = reply_messages(read_file(dir / "soup/mail0000.MSG"));
  ASSERT_EQ(mail.size(), 1u);
  EXPECT_NE(mail[0].find("name=\"LONG.TXT\""), std::string::npos) << mail[0];
}

TEST_F(ExportRun, HoldMailOnlyWithExportAllMailAndTestKeepsEverything) {
  dir.write("out/01590006.HUT",
            build_packet(kNode1, kGateway, {mail_to("held@example.net", "Held")}));
  dir.write("out/01590006.FLO", dir / "files/GONE.TXT\n");
  RunResult r = run(minimal_config(dir) + "ExportAllMail Yes\n", {"EXPORT", "/TEST"});
  EXPECT_TRUE(r.err.ends_with("-> 1 messages exported\nmail: 1         news: 0    \n")) << r.err;
  EXPECT_TRUE(exists(dir / "out/01590006.HUT"));
  EXPECT_TRUE(exists(dir / "out/01590006.FLO"));
}

TEST_F(ExportRun, PktDirectoryLeavesPacketsForOtherNodes) {
  dir.write("pkts/A.PKT", build_packet(kNode1, kGateway, {echo("FIDO.TEST", "For us")}));
  dir.write("pkts/B.PKT",
            build_packet(kNode1, FtnAddress{2, 999, 1, 0}, {echo("FIDO.TEST", "Not for us")}));
  RunResult r = run(minimal_config(dir), {"EXPORT", "/PKT=" + (dir / "pkts")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("Exporting from PKT to Soup\n"
                       "Exporting Type 2+ packet from 2:345/1 to 2:345/6\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(r.err.ends_with("-> 1 messages exported\nmail: 0         news: 1    \n")) << r.err;
  EXPECT_FALSE(exists(dir / "pkts/A.PKT"));
  EXPECT_TRUE(exists(dir / "pkts/B.PKT"));
  EXPECT_EQ(read_file(dir / "soup/REPLIES"), "news0000\tnews\tBn\n");

  // Nothing left for the gateway: nothing written.
  RunResult again = run(minimal_config(dir), {"EXPORT", "/PKT=" + (dir / "pkts")});
  EXPECT_TRUE(again.err.ends_with("No outbound messages found. Nothing to do.\n")) << again.err;
  EXPECT_EQ(read_file(dir / "soup/REPLIES"), "news0000\tnews\tBn\n");
  EXPECT_FALSE(exists(dir / "soup/mail0000.MSG"));
}

class NetmailRun : public ExportRun {
 protected:
  std::string config() {
    dir.mkdir("netmail");
    std::string c = minimal_config(dir);
    c.replace(c.find("MailerType Binkley"), 18, "MailerType ArcMail");
    return c + "NetmailDir " + (dir / "netmail") + "\n";
  }
};

TEST_F(NetmailRun, AttributesDecideWhatIsExportedAndMarked) {
  auto msg = [](uint16_t attribute, const std::string& body) {
    TestMessage m = mail_to("x@example.net", body);
    m.attribute = attribute;
    return build_msg(m);
  };
  dir.write("netmail/1.MSG", msg(0x0080, "Kill when sent"));
  dir.write("netmail/2.MSG", msg(0x0000, "Plain"));
  dir.write("netmail/3.MSG", msg(0x0200, "Hold"));
  dir.write("netmail/4.MSG", msg(0x0008, "Sent before"));
  TestMessage other_zone = mail_to("x@example.net", "Other zone");
  other_zone.text = "\x01INTL 3:345/6 2:345/1\r" + other_zone.text;
  dir.write("netmail/5.MSG", build_msg(other_zone));
  TestMessage point = mail_to("x@example.net", "To a point");
  point.text = "\x01topt 3\r" + point.text;
  dir.write("netmail/6.MSG", build_msg(point));
  std::string files = dir.mkdir("files");
  dir.write("files/NET.PKT", build_packet(kNode1, kGateway, {mail_to("p@example.net", "In PKT")}));
  dir.write("files/ARC.ZIP", "archive");
  TestMessage attach = mail_to("y@example.net", "With files");
  attach.attribute = 0x0010;
  // Names relative to the directory the run starts in.
  attach.subject = "files/NET.PKT  files/ARC.ZIP";
  dir.write("netmail/7.MSG", build_msg(attach));

  RunResult test_run = run(config(), {"EXPORT", "/TEST"});
  EXPECT_TRUE(test_run.err.ends_with("-> 4 messages exported\nmail: 4         news: 0    \n"))
      << test_run.err;
  EXPECT_EQ(msg_attribute(read_file(dir / "netmail/2.MSG")), 0);
  EXPECT_TRUE(exists(dir / "netmail/1.MSG"));
  EXPECT_TRUE(exists(dir / "files/NET.PKT"));

  RunResult r = run(config(), {"EXPORT"});
  EXPECT_NE(r.err.find("Exporting from MSG to Soup\n"), std::string::npos);
  EXPECT_NE(r.err.find("Exporting netmail message from 2:345/1 to 2:345/6\n"), std::string::npos);
  EXPECT_TRUE(r.err.ends_with("-> 4 messages exported\nmail: 4         news: 0    \n")) << r.err;
  EXPECT_FALSE(exists(dir / "netmail/1.MSG"));
  EXPECT_EQ(msg_attribute(read_file(dir / "netmail/2.MSG")), 0x0008);
  EXPECT_EQ(msg_attribute(read_file(dir / "netmail/3.MSG")), 0x0200);
  EXPECT_EQ(msg_attribute(read_file(dir / "netmail/5.MSG")), 0);
  EXPECT_EQ(msg_attribute(read_file(dir / "netmail/6.MSG")), 0);
  EXPECT_EQ(msg_attribute(read_file(dir / "netmail/7.MSG")), 0x0018);
  EXPECT_FALSE(exists(dir / "files/NET.PKT"));
  EXPECT_TRUE(exists(dir / "files/ARC.ZIP"));
  std::vector<std::string> mail = reply_messages(read_file(dir / "soup/mail0001.MSG"));
  ASSERT_EQ(mail.size(), 4u);
  EXPECT_TRUE(mail[2].starts_with("To: y@example.net\n"));
  EXPECT_NE(mail[2].find("name=\"ARC.ZIP\""), std::string::npos);
  EXPECT_EQ(mail[2].find("NET.PKT\""), std::string::npos);
  EXPECT_TRUE(mail[3].starts_with("To: p@example.net\n"));

  RunResult again = run(config(), {"EXPORT"});
  EXPECT_TRUE(again.err.ends_with("No outbound messages found. Nothing to do.\n")) << again.err;
}

TEST_F(NetmailRun, QuickScanSkipsMessagesOlderThanTheStamp) {
  dir.write("netmail/1.MSG", build_msg(mail_to("x@example.net", "Old")));
  // A stamp of 1 January 2099: every file is older.
  std::string stamp;
  put16(stamp, static_cast<uint16_t>((2099 - 1980) * 512 + 1 * 32 + 1));
  put16(stamp, 0);
  dir.write("netmail/QUILLMAR.DAT", stamp);
  RunResult test_run = run(config() + "QuickScan Yes\n", {"EXPORT", "/TEST"});
  EXPECT_TRUE(test_run.err.ends_with("No outbound messages found. Nothing to do.\n"));
  EXPECT_EQ(read_file(dir / "netmail/QUILLMAR.DAT"), stamp);

  RunResult r = run(config() + "QuickScan Yes\n", {"EXPORT"});
  EXPECT_TRUE(r.err.ends_with("No outbound messages found. Nothing to do.\n")) << r.err;
  // Now the run's own time: 9 March 1999 14:05:07.
  std::string now;
  put16(now, static_cast<uint16_t>((1999 - 1980) * 512 + 3 * 32 + 9));
  put16(now, static_cast<uint16_t>(14 * 2048 + 5 * 32 + 7 / 2));
  EXPECT_EQ(read_file(dir / "netmail/QUILLMAR.DAT"), now);
  // The file is newer than that stamp: the next scan finds it.
  RunResult next = run(config() + "QuickScan Yes\n", {"EXPORT"});
  EXPECT_TRUE(next.err.ends_with("-> 1 messages exported\nmail: 1         news: 0    \n"))
      << next.err;
}

TEST_F(ExportRun, ListAreaIsDistributedToTheMembers) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  dir.write("DEV.CFG",
            "ListName Developers\nListAddress dev@lists.example\nListArea DEV.LIST\nListUsers\n"
            "+\nann@example.org\nAnn\n1\n\n"
            "+\nbob@example.org\n\n3\n\n"
            "*\ngone@example.org\n\n1\n\n"
            "+\n7of9@example.net\n\n2\n\n"
            "+\ncarl@example.org\n\n1\n\n"
            "+\nabe@example.org\n\n1\n\n");
  dir.write("pkts/A.PKT", build_packet(kNode1, kGateway, {echo("dev.list", "Hello list")}));
  RunResult r = run(minimal_config(dir) + "ListConfig " + (dir / "DEV.CFG") + "\n",
                    {"EXPORT", "/PKT=" + (dir / "pkts"), "/VERBOSE"});
  EXPECT_TRUE(
      r.err.ends_with("- from 2:345/1.0 (Joe Sysop) to Developers\n"
                      "-> 1 messages exported\nmail: 1         news: 0         lists: 1    \n"))
      << r.err;
  std::vector<std::string> mail = reply_messages(read_file(dir / "soup/mail0000.MSG"));
  ASSERT_EQ(mail.size(), 1u);
  EXPECT_EQ(mail[0].substr(0, mail[0].find("Subject:")),
            "Bcc: <7of9@example.net>, <ann@example.org>,\n   <abe@example.org>, "
            "<carl@example.org>\n"
            "From: sysop@example.org (Joe Sysop)\n"
            "Reply-to: dev@lists.example\n"
            "Sender: dev@lists.example\n");
  EXPECT_NE(mail[0].find("X-Comment-To: All\nX-MailServer: Quillmar/W32 v1.04\n"),
            std::string::npos);
  EXPECT_EQ(python_view(dir, dir / "soup/mail0000.MSG"), "message Hello \ntext 'Hello list\\n'\n");
}

}  // namespace
}  // namespace quillmar::testing
