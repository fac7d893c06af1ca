// quillmar-soup against real peers on 127.0.0.1: mail from a Maildir through
// collect, IMPORT and crashmail; replies through msmtp to a real SMTP server;
// news to and from INN 2; TLS, logins and refusals against the stand-in
// news server; and SIGKILL at many points of collect and deliver, with every
// message counted afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "soupside/soupside_fixture.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::microseconds;

std::string mail(const std::string& subject, const std::string& to = "sysop@example.org") {
  return "From: Ann Example <ann@example.net>\nTo: " + to + "\nSubject: " + subject +
         "\nMessage-ID: <" + subject + "@example.net>\n\nText of " + subject + ".\n";
}

std::string article(const std::string& group, const std::string& subject) {
  return "From: Bob Example <bob@example.com>\nNewsgroups: " + group + "\nSubject: " + subject +
         "\nMessage-ID: <" + subject + "." + group + "@example.com>\n\n.A line with a dot.\n";
}

void make_maildir(const ScratchDir& dir, const std::string& name) {
  for (const char* sub : {"/new", "/cur", "/tmp"}) dir.mkdir(name + sub);
}

// Posts `count` generated articles with the subjects prefix0, prefix1, ...
bool fill_group(const std::string& group, const std::string& prefix, int count,
                int body_size = 200) {
  return shell(std::string(kPython) + " " + quote(kPeers) + " fill 119 " + quote(group) + " " +
               quote(prefix) + " " + std::to_string(count) + " " + std::to_string(body_size)) == 0;
}

// The subjects of the packet's messages in the order of AREAS and of the
// files.
std::vector<std::string> packet_sequence(const std::string& soup) {
  std::vector<std::string> out;
  if (!exists(soup + "/AREAS")) return out;
  std::string listing = read_file(soup + "/AREAS");
  std::size_t pos = 0;
  while (pos < listing.size()) {
    std::size_t lf = listing.find('\n', pos);
    std::string line = listing.substr(pos, lf - pos);
    pos = lf == std::string::npos ? listing.size() : lf + 1;
    std::string file = soup + "/" + line.substr(0, line.find('\t')) + ".MSG";
    if (!exists(file)) continue;
    for (const std::string& m : framed_messages(read_file(file))) {
      out.push_back(header_of(m, "Subject"));
    }
  }
  return out;
}

std::vector<std::string> numbered(const std::string& prefix, int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i <= to; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

std::size_t files_in(const std::string& dir) {
  if (!fs::is_directory(dir)) return 0;
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), {}));
}

TEST(SoupSideConfig, CheckKnowsEveryKeyword) {
  ScratchDir dir;
  dir.mkdir("md");
  dir.write("q.cfg", minimal_config(dir) + "SoupMaildir " + dir.path() + "/md\nSoupMaildirDone " +
                         dir.path() +
                         "/md\nSoupSendmail /usr/sbin/sendmail -t -i\nSoupRefusedDir " +
                         dir.path() +
                         "/soup\nNntpServer news.example.net\nNntpPort 563\nNntpTls TLS\n"
                         "NntpUser joe\nNntpPassFile /etc/quillmar/nntp.pass\n"
                         "NntpCaFile /etc/ssl/certs/ca-certificates.crt\nNntpGroup comp.test\n"
                         "NntpGroup alt.test\nNntpMaxArticles 500\nNntpMaxArticleSize 1000000\n"
                         "NntpFirstFetch 100\nNntpTimeout 60\nSoupSendmailTimeout 120\n"
                         "SoupBounceAddress gateway@example.org\nSoupHistoryDays 30\n"
                         "NntpServer news2.example.net\nNntpGroup comp.other\n"
                         "NntpPostServer news.example.net\n");
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err.find("Warning"), std::string::npos) << r.err;

  dir.write("bad.cfg", minimal_config(dir) + "NntpTls sometimes\nNntpGroup a.b,c.d\n");
  r = run_quillmar(dir.path(), {"CHECK", "/C=./bad.cfg"});
  EXPECT_NE(r.err.find("Warning: invalid NntpTls parameter in line 8"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Warning: NntpGroup has invalid parameter in line 9"), std::string::npos);
}

// CHECK looks at what quillmar-soup will need and names the keyword of
// each problem; the run goes on and ends with exit status 0.
struct SoupCheckCase {
  const char* name;
  std::string lines;     // configuration lines; DIR is the test's directory
  std::string expected;  // in CHECK's output; DIR as above
};

class SoupSideCheck : public ::testing::TestWithParam<SoupCheckCase> {};

std::string with_dir(std::string text, const std::string& dir) {
  for (std::size_t at = text.find("DIR"); at != std::string::npos; at = text.find("DIR", at)) {
    text.replace(at, 3, dir);
  }
  return text;
}

TEST_P(SoupSideCheck, ReportsTheProblemWithItsKeyword) {
  ScratchDir dir;
  make_maildir(dir, "md");
  dir.mkdir("half/new");
  dir.write("pass", "secret\n");
  dir.write("q.cfg", minimal_config(dir) + with_dir(GetParam().lines, dir.path()));
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find(with_dir(GetParam().expected, dir.path())), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Configuration checked."), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SoupSideCheck,
    ::testing::Values(
        SoupCheckCase{"MissingMaildir", "SoupMaildir DIR/nomd\n",
                      "quillmar-soup: SoupMaildir DIR/nomd/: No such file or directory\n"},
        SoupCheckCase{"MaildirWithoutCur", "SoupMaildir DIR/half\n",
                      "quillmar-soup: SoupMaildir DIR/half/: its cur/ (a Maildir has new/, cur/ "
                      "and tmp/): No such file or directory\n"},
        SoupCheckCase{"MissingMaildirDone", "SoupMaildir DIR/md\nSoupMaildirDone DIR/gone\n",
                      "quillmar-soup: SoupMaildirDone DIR/gone/: No such file or directory\n"},
        SoupCheckCase{"MissingRefusedDir", "SoupRefusedDir DIR/ref\n",
                      "quillmar-soup: SoupRefusedDir DIR/ref/: No such file or directory\n"},
        SoupCheckCase{"UserWithoutPassFile", "NntpServer news.example.net\nNntpUser joe\n",
                      "quillmar-soup: NntpUser joe: a login needs NntpPassFile, the file of its "
                      "password\n"},
        SoupCheckCase{"UnreadablePassFile",
                      "NntpServer news.example.net\nNntpUser joe\nNntpPassFile DIR/nopass\n",
                      "quillmar-soup: NntpPassFile DIR/nopass: cannot be read (No such file or "
                      "directory); the login of NntpUser needs it\n"},
        SoupCheckCase{"NegativeMaxArticles", "NntpMaxArticles -5\n",
                      "Warning: NntpMaxArticles -5: a whole number of 0 or more is required in "
                      "line 8 of"},
        SoupCheckCase{"TinyMaxArticleSize", "NntpMaxArticleSize 10\n",
                      "Warning: NntpMaxArticleSize 10: a whole number of 1024 or more is "
                      "required in line 8 of"},
        SoupCheckCase{"BounceAddressWithoutAt", "SoupBounceAddress gateway\n",
                      "Warning: SoupBounceAddress gateway: not a mail address in line 8 of"}),
    [](const ::testing::TestParamInfo<SoupCheckCase>& info) { return info.param.name; });

TEST(SoupSideConfig, CheckIsQuietAboutAGoodSoupSide) {
  ScratchDir dir;
  make_maildir(dir, "md");
  dir.write("pass", "secret\n");
  dir.write("q.cfg", minimal_config(dir) + "SoupMaildir " + dir.path() + "/md\nSoupMaildirDone " +
                         dir.path() + "/md\nSoupRefusedDir " + dir.path() +
                         "/soup\nNntpServer news.example.net\nNntpUser joe\nNntpPassFile " +
                         dir.path() + "/pass\n");
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err.find("quillmar-soup:"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Warning"), std::string::npos) << r.err;
}

// The whole mail cycle: replies wait while the MTA is down, then go out
// through msmtp to the SMTP server, which delivers them into a Maildir (one
// recipient is refused for good and set aside); collect takes the Maildir
// into the packet beside an area IMPORT has not consumed yet; IMPORT and
// crashmail put every message into the netmail area.
TEST(SoupSideMail, RepliesOutAndMaildirInThroughCrashmail) {
  std::string why = missing_mail_peers();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  if (!have_program("crashmail")) GTEST_SKIP() << "crashmail is not installed; test skipped";
  ScratchDir dir;
  make_maildir(dir, "box");
  make_maildir(dir, "done");
  dir.mkdir("refused");
  std::string config = minimal_config(dir) + "SoupMaildir " + dir.path() +
                       "/box\nSoupMaildirDone " + dir.path() + "/done\nSoupRefusedDir " +
                       dir.path() + "/refused\n";
  // Port 9 of 127.0.0.1 (discard) takes no mail: the MTA is down.
  dir.write("q.cfg", config + "SoupSendmail " + msmtp_command(9) + "\n");
  dir.write("soup/REPLIES", "mail0000\tmail\tbn\n");
  dir.write("soup/mail0000.MSG", framed_message(mail("r1")) +
                                     framed_message(mail("r2", "nobody@example.org")) +
                                     framed_message(mail("r3")));
  RunResult r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_NE(r.err.find("mail 1 of mail0000.MSG kept for the next run"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(dir / "soup/REPLIES"), "mail0000\tmail\tbn\n");
  EXPECT_TRUE(exists(dir / "soup/mail0000.MSG"));

  Peer smtp(dir, "smtp", {dir / "box", "nobody@example.org"});
  ASSERT_NE(smtp.port(), 0) << read_file(dir / "smtp.log");
  dir.write("q.cfg", config + "SoupSendmail " + msmtp_command(smtp.port()) + "\n");
  r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("mail 2 of mail0000.MSG refused: the command ended with status 65"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(exists(dir / "soup/REPLIES"));
  EXPECT_FALSE(exists(dir / "soup/mail0000.MSG"));
  EXPECT_FALSE(exists(dir / "soup/DELIVER.JNL"));
  std::map<std::string, int> delivered = {{"r1", 1}, {"r3", 1}};
  EXPECT_EQ(maildir_subjects(dir / "box"), delivered);
  ASSERT_EQ(files_in(dir / "refused"), 1u);
  for (const auto& e : fs::directory_iterator(dir / "refused")) {
    EXPECT_EQ(read_file(e.path().string()), mail("r2", "nobody@example.org"));
  }
  // A second run finds nothing to send.
  r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(maildir_subjects(dir / "box"), delivered);

  // A packet IMPORT has not consumed yet stays; collect adds to it.
  dir.write("soup/AREAS", "OLD\tEmail\tbn\n");
  dir.write("soup/OLD.MSG", framed_message(mail("old")));
  dir.write("box/cur/1.local:2,S", mail("seen before"));
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> areas;
  std::map<std::string, int> packet = {{"old", 1}, {"r1", 1}, {"r3", 1}, {"seen before", 1}};
  EXPECT_EQ(packet_subjects(dir / "soup", &areas), packet);
  EXPECT_EQ(areas, (std::vector<std::string>{"Email", "Email"}));
  EXPECT_TRUE(maildir_subjects(dir / "box").empty());
  EXPECT_EQ(maildir_subjects(dir / "done").size(), 3u);
  EXPECT_EQ(files_in(dir / "done/new"), 0u);
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_NE(r.err.find("Nothing new collected"), std::string::npos) << r.err;
  EXPECT_EQ(packet_subjects(dir / "soup"), packet);

  r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(exists(dir / "soup/AREAS"));
  ASSERT_EQ(crashmail_toss(dir, ""), 0);
  EXPECT_EQ(stored_subjects(dir / "cm/msg/NETMAIL"), packet) << read_file(dir / "cm/log");
  EXPECT_TRUE(stored_subjects(dir / "cm/msg/BAD").empty());
}

// Postfix as the MTA: deliver hands the replies to Postfix's sendmail,
// Postfix delivers them into a Maildir, collect takes them from there into
// a packet, IMPORT makes FidoNet packets and crashmail tosses them.
TEST(SoupSideMail, PostfixDeliversAndCollectTakesItBackToCrashmail) {
  if (!have_program("crashmail")) GTEST_SKIP() << "crashmail is not installed; test skipped";
  ScratchDir dir;
  PostfixInstance postfix(dir);
  if (!postfix.unavailable().empty()) GTEST_SKIP() << postfix.unavailable() << "; test skipped";
  dir.write("q.cfg", minimal_config(dir) + "SoupSendmail " + postfix.sendmail_command() +
                         "\nSoupMaildir " + dir.path() + "/boxes/sysop\n");
  dir.write("soup/REPLIES", "mail0000\tmail\tbn\n");
  dir.write("soup/mail0000.MSG",
            framed_message(mail("p1")) + framed_message(mail("p2 with a\n.dot line")));
  RunResult r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(exists(dir / "soup/REPLIES"));
  std::map<std::string, int> sent = {{"p1", 1}, {"p2 with a", 1}};
  for (int i = 0; i < 100 && maildir_subjects(dir / "boxes/sysop") != sent; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(maildir_subjects(dir / "boxes/sysop"), sent) << postfix.maillog();
  // The envelope sender is the gateway's (the first AddrMap address), not
  // the Unix user that ran deliver.
  for (const auto& e : fs::directory_iterator(dir / "boxes/sysop/new")) {
    EXPECT_NE(read_file(e.path().string()).find("Return-Path: <sysop@example.org>"),
              std::string::npos);
  }

  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_subjects(dir / "soup"), sent);
  EXPECT_TRUE(maildir_subjects(dir / "boxes/sysop").empty());
  r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(crashmail_toss(dir, ""), 0);
  EXPECT_EQ(stored_subjects(dir / "cm/msg/NETMAIL"), sent) << read_file(dir / "cm/log");
}

// What deliver cannot send stays where it is, with the reason, and does not
// hold up the rest: a line it does not understand, a file of another
// format, a damaged file (its complete messages go out once), a kind
// without a sendmail command. The command's words are split at blanks,
// double quotes keeping a word together.
TEST(SoupSideMail, DeliverKeepsWhatItCannotSend) {
  ScratchDir dir;
  std::string damaged = framed_message(mail("d1")) + std::string("\0\0\1\0tail", 8);
  dir.write("soup/mail0000.MSG", framed_message(mail("m1")) + framed_message(mail("m2")));
  dir.write("soup/mail0001.MSG", damaged);
  dir.write("soup/news0000.MSG", "#! rnews 10\n0123456789");
  std::string replies = "not a line\nmail0000\tmail\tbn\nmail0001\tmail\tbn\nnews0000\tnews\tun\n";
  dir.write("soup/REPLIES", replies);
  std::string config = minimal_config(dir) + "SoupSendmail /bin/sh -c \"cat >>'" + dir.path() +
                       "/sent.txt'; echo >>'" + dir.path() + "/sent.txt'\"\n";
  dir.write("q.cfg", config);
  for (int run = 0; run < 2; ++run) {
    RunResult r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_NE(r.err.find("REPLIES line \"not a line\" is not understood"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("news0000.MSG: only binary mail and news files can be sent"),
              std::string::npos)
        << r.err;
    // The damaged file: its complete message goes out, the file is set aside.
    EXPECT_EQ(
        r.err.find("mail0001.MSG is damaged after 1 message(s); set aside as") != std::string::npos,
        run == 0)
        << r.err;
  }
  EXPECT_EQ(read_file(dir / "sent.txt"), mail("m1") + "\n" + mail("m2") + "\n" + mail("d1") + "\n");
  EXPECT_FALSE(exists(dir / "soup/mail0000.MSG"));
  EXPECT_FALSE(exists(dir / "soup/mail0001.MSG"));
  EXPECT_EQ(read_file(dir / "soup/00000000.BAD"), damaged);
  EXPECT_EQ(read_file(dir / "soup/REPLIES"), "not a line\nnews0000\tnews\tun\n");
}

// The sendmail command's outcomes: a temporary failure (exit status 75)
// keeps the mail and the next run sends it without a warning; a command
// that does not end within SoupSendmailTimeout is killed, and the next run
// warns that the mail may arrive twice (it cannot know). The envelope
// sender goes to the command as "-f" at the end of its words: the first
// AddrMap address, or SoupBounceAddress.
TEST(SoupSideMail, TempfailTimeoutAndEnvelopeSender) {
  ScratchDir dir;
  dir.write("sm.sh", "echo \"$@\" >>'" + dir.path() + "/args.txt'\ncase $(cat '" + dir.path() +
                         "/mode') in\n  tempfail) cat >/dev/null; exit 75;;\n  hang) exec sleep "
                         "10;;\n  *) cat >>'" +
                         dir.path() + "/sent.txt';;\nesac\n");
  std::string config = minimal_config(dir) + "SoupSendmail /bin/sh " + dir.path() +
                       "/sm.sh -t -i\nSoupSendmailTimeout 1\n";
  dir.write("q.cfg", config);
  dir.write("soup/REPLIES", "mail0000\tmail\tbn\n");
  dir.write("soup/mail0000.MSG", framed_message(mail("t1")));
  dir.write("mode", "tempfail");
  RunResult r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_NE(r.err.find("! mail 1 of mail0000.MSG kept for the next run: the command ended with "
                       "status 75\n"),
            std::string::npos)
      << r.err;
  dir.write("mode", "ok");
  r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find("may arrive twice"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(dir / "sent.txt"), mail("t1"));
  EXPECT_EQ(read_file(dir / "args.txt"),
            "-t -i -f sysop@example.org\n-t -i -f sysop@example.org\n");

  dir.write("q.cfg", config + "SoupBounceAddress bounces@example.org\n");
  dir.write("soup/REPLIES", "mail0001\tmail\tbn\n");
  dir.write("soup/mail0001.MSG", framed_message(mail("t2")));
  dir.write("mode", "hang");
  auto start = std::chrono::steady_clock::now();
  r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_NE(r.err.find("! mail 1 of mail0001.MSG kept for the next run: the command did not end "
                       "within SoupSendmailTimeout (1 seconds) and was killed\n"),
            std::string::npos)
      << r.err;
  dir.write("mode", "ok");
  r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("mail 1 of mail0001.MSG <t2@example.net> was being handed over when a run "
                       "stopped; it may arrive twice"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(dir / "sent.txt"), mail("t1") + mail("t2"));
  std::string args = read_file(dir / "args.txt");
  EXPECT_EQ(args.substr(args.rfind("-t -i")), "-t -i -f bounces@example.org\n");
}

// What a sysop reads when something fails: the file and the system's
// reason of a failed write, and lines as long as they must be (a long
// SoupRefusedDir stays whole, on the terminal and in the log).
TEST(SoupSideMail, FailuresNameTheFileAndTheReasonInWholeLines) {
  ScratchDir dir;
  make_maildir(dir, "box");
  std::string big = mail("big");
  for (int i = 0; i < 2000; ++i) big += "A line of a large mail, there to make it large.\n";
  dir.write("box/new/1.big", big);
  std::string refused = "refused/" + std::string(150, 'r');
  dir.mkdir(refused);
  dir.write("q.cfg", minimal_config(dir) + "SoupMaildir " + dir.path() + "/box\nSoupRefusedDir " +
                         dir.path() + "/" + refused +
                         "\nSoupSendmail /bin/sh -c \"cat "
                         ">/dev/null; exit 67\"\nLogFile " +
                         dir.path() + "/soup.log\n");
  // Files may grow to 20 KB: the packet cannot be written.
  std::string out;
  int rc = shell("cd " + quote(dir.path()) +
                     " && trap '' XFSZ && ulimit -f 20 && ASAN_OPTIONS=verify_asan_link_order=0 " +
                     quote(QUILLMAR_SOUP_BINARY) + " collect /C=./q.cfg 2>&1",
                 &out);
  EXPECT_EQ(rc, 2) << out;
  EXPECT_NE(out.find("! cannot write " + dir.path() + "/soup/QS0000.TMP: File too large\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(exists(dir / "box/new/1.big"));
  EXPECT_FALSE(exists(dir / "soup/AREAS"));

  dir.write("soup/REPLIES", "mail0000\tmail\tbn\n");
  dir.write("soup/mail0000.MSG", framed_message(mail("no")));
  RunResult r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::string line =
      "! mail 1 of mail0000.MSG refused: the command ended with status 67; set "
      "aside as " +
      dir.path() + "/" + refused + "/00000000.REF\n";
  EXPECT_GT(line.size(), 200u);
  EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
  EXPECT_NE(read_file(dir / "soup.log").find(line), std::string::npos);
}

// /TEST shows what deliver would send and changes nothing; on a terminal
// collect and deliver show a count, elsewhere not.
TEST(SoupSideMail, TestModeChangesNothingAndCountsShowOnATerminal) {
  ScratchDir dir;
  make_maildir(dir, "box");
  dir.write("box/new/1.a", mail("c1"));
  std::string replies = "mail0000\tmail\tbn\nnews0000\tnews\tBn\n";
  dir.write("soup/REPLIES", replies);
  dir.write("soup/mail0000.MSG", framed_message(mail("m1")) + framed_message(mail("m2")));
  dir.write("soup/news0000.MSG", framed_message(article("alt.test", "n1")));
  dir.write("q.cfg", minimal_config(dir) + "SoupMaildir " + dir.path() +
                         "/box\nSoupSendmail /bin/sh -c \"cat >>'" + dir.path() +
                         "/sent.txt'\"\nNntpServer 127.0.0.1\nNntpPort 9\n");
  RunResult r = run_soup(dir.path(), {"deliver", "/C=./q.cfg", "/TEST"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  for (const char* expected : {"mail 1 of mail0000.MSG would be sent: To sysop@example.org\n",
                               "mail 2 of mail0000.MSG would be sent: To sysop@example.org\n",
                               "article 1 of news0000.MSG would be posted: Newsgroups alt.test\n",
                               "Would deliver 2 mail(s) and 1 article(s); /TEST sends nothing\n"}) {
    EXPECT_NE(r.err.find(expected), std::string::npos) << expected << " in " << r.err;
  }
  EXPECT_EQ(r.err.find('\r'), std::string::npos);
  EXPECT_EQ(read_file(dir / "soup/REPLIES"), replies);
  EXPECT_EQ(files_in(dir / "soup"), 3u);
  EXPECT_FALSE(exists(dir / "sent.txt"));
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg", "/TEST"});
  EXPECT_NE(r.err.find("Mail: 1 message(s) of " + dir.path() + "/box/ would be taken\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(files_in(dir / "soup"), 3u);
  EXPECT_TRUE(exists(dir / "box/new/1.a"));

  if (!have_program("script")) GTEST_SKIP() << "script (util-linux) is not installed";
  std::string out;
  dir.write("soup/REPLIES", "mail0000\tmail\tbn\n");
  shell("cd " + quote(dir.path()) + " && ASAN_OPTIONS=verify_asan_link_order=0 script -qec " +
            quote(quote(QUILLMAR_SOUP_BINARY) + " deliver /C=./q.cfg") + " /dev/null",
        &out);
  EXPECT_NE(out.find("\rDelivered: 1 message(s)"), std::string::npos) << out;
  EXPECT_EQ(read_file(dir / "sent.txt"), mail("m1") + mail("m2"));
  out.clear();
  shell("cd " + quote(dir.path()) + " && ASAN_OPTIONS=verify_asan_link_order=0 script -qec " +
            quote(quote(QUILLMAR_SOUP_BINARY) + " collect /C=./q.cfg") + " /dev/null",
        &out);
  EXPECT_NE(out.find("\rMail: 1 message(s)"), std::string::npos) << out;
}

// A collect whose packet is complete but whose Maildir messages cannot be
// moved keeps its journal; no later run takes those messages again, and the
// first run that can move them finishes the work.
TEST(SoupSideMail, UnfinishedCollectIsFinishedLater) {
  ScratchDir dir;
  make_maildir(dir, "box");
  dir.mkdir("done/new");  // no cur/: the messages cannot be moved there
  for (const char* s : {"j1", "j2", "j3"}) dir.write(std::string("box/new/") + s, mail(s));
  dir.write("q.cfg", minimal_config(dir) + "SoupMaildir " + dir.path() + "/box\nSoupMaildirDone " +
                         dir.path() + "/done\n");
  std::map<std::string, int> packet = {{"j1", 1}, {"j2", 1}, {"j3", 1}};
  for (int run = 0; run < 2; ++run) {
    RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_TRUE(exists(dir / "soup/COLLECT.JNL"));
    EXPECT_EQ(packet_subjects(dir / "soup"), packet);
  }
  dir.mkdir("done/cur");
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("Finishing the collect stopped before"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Nothing new collected"), std::string::npos) << r.err;
  EXPECT_FALSE(exists(dir / "soup/COLLECT.JNL"));
  EXPECT_EQ(packet_subjects(dir / "soup"), packet);
  EXPECT_EQ(maildir_subjects(dir / "done"), packet);
  EXPECT_TRUE(maildir_subjects(dir / "box").empty());
}

// A run waits while another program holds the lock of the SOUP directory.
TEST(SoupSideLock, WaitsForTheRunHoldingTheSoupDirectory) {
  if (!have_program("flock")) GTEST_SKIP() << "flock (util-linux) is not installed; test skipped";
  ScratchDir dir;
  make_maildir(dir, "box");
  dir.write("box/new/1", mail("l1"));
  dir.write("q.cfg", minimal_config(dir) + "SoupMaildir " + dir.path() + "/box\n");
  std::string holder = "flock " + quote(dir / "soup/QUILLMAR.LCK") + " sleep 1.5 >/dev/null 2>&1 &";
  ASSERT_EQ(shell(holder + " true"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto start = std::chrono::steady_clock::now();
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_EQ(packet_subjects(dir / "soup"), (std::map<std::string, int>{{"l1", 1}}));
}

// News with INN 2: articles of a group reach FidoNet through collect, IMPORT
// and crashmail; a second collect takes nothing twice and a later one only
// what is new; deliver posts the replies and does not post an article the
// server has already.
TEST(SoupSideNews, InnGroupThroughCrashmailAndPost) {
  std::string why = inn_unavailable();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  if (!have_program("crashmail")) GTEST_SKIP() << "crashmail is not installed; test skipped";
  InnGroup group("news");
  ASSERT_TRUE(group.ok());
  ScratchDir dir;
  // The group comes from the area mapping; no NntpGroup is needed.
  dir.write("q.cfg", minimal_config(dir) + "AreaMap TEST.NEWS " + group.name() +
                         "\nNntpServer 127.0.0.1\nNntpPort 119\n");
  for (const char* s : {"a1", "a2", "a3"})
    ASSERT_TRUE(post_article(dir, 119, article(group.name(), s)));
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> areas;
  std::map<std::string, int> first = {{"a1", 1}, {"a2", 1}, {"a3", 1}};
  EXPECT_EQ(packet_subjects(dir / "soup", &areas), first);
  EXPECT_EQ(areas, std::vector<std::string>{group.name()});
  std::string packet = read_file(dir / "soup/QS0000.MSG");
  EXPECT_NE(packet.find("\n\n.A line with a dot.\n"), std::string::npos);
  EXPECT_EQ(read_file(dir / "soup/COLLECT.DAT"), "127.0.0.1:119\t" + group.name() + "\t3\n");

  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("Nothing new collected"), std::string::npos) << r.err;
  EXPECT_EQ(packet_subjects(dir / "soup"), first);

  r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(
      crashmail_toss(dir, "AREA \"DEFAULT\" 2:345/6.1 MSG \"" + dir.path() + "/cm/msg/%a\"\n"), 0);
  EXPECT_EQ(stored_subjects(dir / "cm/msg/TEST_NEWS"), first) << read_file(dir / "cm/log");

  ASSERT_TRUE(post_article(dir, 119, article(group.name(), "a4")));
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_subjects(dir / "soup"), (std::map<std::string, int>{{"a4", 1}}));

  // r2 is on the server already: a run that posted it was stopped before it
  // could note so.
  ASSERT_TRUE(post_article(dir, 119, article(group.name(), "r2")));
  dir.write("soup/REPLIES", "news0000\tnews\tBn\n");
  dir.write("soup/news0000.MSG", framed_message(article(group.name(), "r1")) +
                                     framed_message(article(group.name(), "r2")));
  r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(exists(dir / "soup/REPLIES"));
  EXPECT_FALSE(exists(dir / "soup/news0000.MSG"));
  std::map<std::string, int> all = {{"a1", 1}, {"a2", 1}, {"a3", 1},
                                    {"a4", 1}, {"r1", 1}, {"r2", 1}};
  EXPECT_EQ(group_subjects(119, group.name()), all);
}

// An article larger than NntpMaxArticleSize and one cancelled on the server
// are skipped with a line that names them; the mark moves past both, so
// that neither holds up the group nor is fetched again.
TEST(SoupSideNews, OversizedAndVanishedArticlesAreSkippedForGood) {
  std::string why = inn_unavailable();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  InnGroup group("big");
  ASSERT_TRUE(group.ok());
  ScratchDir dir;
  std::string big = article(group.name(), "big");
  for (int i = 0; i < 600; ++i) big += "A line of the oversized article, there to make it large.\n";
  for (const std::string& a : {article(group.name(), "s1"), big, article(group.name(), "s3"),
                               article(group.name(), "gone"), article(group.name(), "s5")}) {
    ASSERT_TRUE(post_article(dir, 119, a));
  }
  ASSERT_EQ(
      shell("/usr/lib/news/bin/ctlinnd -t 10 cancel '<gone." + group.name() + "@example.com>'"), 0);
  dir.write("q.cfg", minimal_config(dir) + "NntpServer 127.0.0.1\nNntpGroup " + group.name() +
                         "\nNntpMaxArticleSize 20000\n");
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_sequence(dir / "soup"), (std::vector<std::string>{"s1", "s3", "s5"}));
  EXPECT_NE(r.err.find("! group " + group.name() + ", article 2 <big." + group.name() +
                       "@example.com>: "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(" bytes, larger than NntpMaxArticleSize (20000); skipped\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("News: 3 article(s) from " + group.name() +
                       " (skipped: 1 no longer on the server, 1 too large)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(dir / "soup/COLLECT.DAT"), "127.0.0.1:119\t" + group.name() + "\t5\n");
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("Nothing new collected"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("larger than"), std::string::npos) << r.err;
}

// First contact with a group takes its newest NntpFirstFetch articles;
// NntpMaxArticles spreads them over runs, oldest first; /TEST shows what a
// run would take and changes nothing.
TEST(SoupSideNews, FirstContactTakesTheNewestAndLimitedRunsCatchUp) {
  std::string why = inn_unavailable();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  InnGroup group("first");
  ASSERT_TRUE(group.ok());
  ASSERT_TRUE(fill_group(group.name(), "f", 30));
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir) + "NntpServer 127.0.0.1\nNntpGroup " + group.name() +
                         "\nNntpFirstFetch 10\nNntpMaxArticles 4\n");
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg", "/TEST"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("News: 4 article(s) of " + group.name() +
                       " would be taken, from number 21 (the server has 1 to 30); first "
                       "contact with the group"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(files_in(dir / "soup"), 0u);
  for (int run = 1; run <= 3; ++run) {
    r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(packet_sequence(dir / "soup"), numbered("f", 20, std::min(19 + 4 * run, 29)));
  }
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_NE(r.err.find("Nothing new collected"), std::string::npos) << r.err;
  ASSERT_TRUE(fill_group(group.name(), "g", 2));
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> all = numbered("f", 20, 29);
  all.push_back("g0");
  all.push_back("g1");
  EXPECT_EQ(packet_sequence(dir / "soup"), all);
}

// A connection cut in the middle of an article, and a server that stops
// sending, are reported as such (not with the last reply line); what was
// taken before stays taken.
TEST(SoupSideNews, BrokenConnectionAndSilentServerAreReportedAsSuch) {
  ScratchDir dir;
  for (const char* group : {"local.broken", "local.hang"}) {
    dir.mkdir(std::string("spool/") + group);
    for (int i = 1; i <= 3; ++i) {
      dir.write("spool/" + std::string(group) + "/" + std::to_string(i),
                article(group, "b" + std::to_string(i)));
    }
  }
  Peer nntp(dir, "nntp", {dir / "spool"});
  ASSERT_NE(nntp.port(), 0) << read_file(dir / "nntp.log");
  struct Case {
    const char* group;
    const char* report;
  };
  for (const Case& c :
       {Case{"local.broken", "article 2: the server closed the connection\n"},
        Case{"local.hang", "article 2: no answer from the server within 1 seconds\n"}}) {
    dir.write("q.cfg", minimal_config(dir) + "NntpServer 127.0.0.1\nNntpPort " +
                           std::to_string(nntp.port()) + "\nNntpGroup " + c.group +
                           "\nNntpTimeout 1\n");
    RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_NE(r.err.find(std::string("! group ") + c.group + ", " + c.report), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("220"), std::string::npos) << r.err;
  }
  EXPECT_EQ(read_file(dir / "soup/COLLECT.DAT"),
            "127.0.0.1:" + std::to_string(nntp.port()) + "\tlocal.broken\t1\n127.0.0.1:" +
                std::to_string(nntp.port()) + "\tlocal.hang\t1\n");
  EXPECT_EQ(packet_sequence(dir / "soup"), (std::vector<std::string>{"b1", "b1"}));
}

// quillmar-soup at a pinned time (faketime).
RunResult run_soup_at(const std::string& cwd, const std::vector<std::string>& args,
                      const std::string& when) {
  std::string cmd = "cd " + quote(cwd) + " && ASAN_OPTIONS=verify_asan_link_order=0 faketime " +
                    quote(when) + " " + quote(QUILLMAR_SOUP_BINARY);
  for (const std::string& a : args) cmd += " " + quote(a);
  RunResult r;
  r.exit_code = shell(cmd + " 2>&1", &r.err);
  return r;
}

// The history of Message-IDs: the same server under another name (marks
// are kept per name) gives nothing twice, found from the overview before
// any article is fetched; what is new still comes. After SoupHistoryDays
// the history forgets.
TEST(SoupSideNews, HistoryTakesNothingTwiceUnderAnotherServerName) {
  std::string why = inn_unavailable();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  if (!have_program("faketime")) GTEST_SKIP() << "faketime is not installed; test skipped";
  InnGroup group("history");
  ASSERT_TRUE(group.ok());
  ASSERT_TRUE(fill_group(group.name(), "h", 20));
  ScratchDir dir;
  auto config = [&](const char* server) {
    dir.write("q.cfg", minimal_config(dir) + "NntpServer " + server + "\nNntpGroup " +
                           group.name() + "\nSoupHistoryDays 2\n");
  };
  config("127.0.0.1");
  RunResult r = run_soup_at(dir.path(), {"collect", "/C=./q.cfg"}, "2026-12-01 12:00:00");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  config("localhost");
  r = run_soup_at(dir.path(), {"collect", "/C=./q.cfg", "/VERBOSE"}, "2026-12-01 13:00:00");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("News: 0 article(s) from " + group.name() + " (skipped: 20 taken before)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("> ARTICLE"), std::string::npos) << "nothing is fetched: " << r.err;
  EXPECT_EQ(packet_sequence(dir / "soup"), numbered("h", 0, 19));
  ASSERT_TRUE(fill_group(group.name(), "i", 2));
  config("127.0.0.1");
  r = run_soup_at(dir.path(), {"collect", "/C=./q.cfg"}, "2026-12-02 12:00:00");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> all = numbered("h", 0, 19);
  all.insert(all.end(), {"i0", "i1"});
  EXPECT_EQ(packet_sequence(dir / "soup"), all);
  // Three days on, the first twenty are forgotten; i0 and i1 are not. (The
  // marks go, as for a name not met before.)
  fs::remove(dir / "soup/COLLECT.DAT");
  r = run_soup_at(dir.path(), {"collect", "/C=./q.cfg"}, "2026-12-04 11:00:00");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("News: 20 article(s) from " + group.name() + " (skipped: 2 taken before)"),
            std::string::npos)
      << r.err;
}

// Two news servers carrying the same articles (INN, and the stand-in
// server with the same articles and one more): each article comes once;
// the posts go to the server NntpPostServer names. Each server has its own
// port and groups (the lines after its NntpServer line).
TEST(SoupSideNews, TwoServersWithTheSameArticlesGiveEachOnce) {
  std::string why = inn_unavailable();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  InnGroup group("two");
  ASSERT_TRUE(group.ok());
  ScratchDir dir;
  dir.mkdir("spool/" + group.name());
  for (int i = 0; i < 5; ++i) {
    std::string subject = "t" + std::to_string(i);
    ASSERT_TRUE(post_article(dir, 119, article(group.name(), subject)));
    dir.write("spool/" + group.name() + "/" + std::to_string(i + 1),
              article(group.name(), subject));
  }
  dir.write("spool/" + group.name() + "/6", article(group.name(), "extra"));
  Peer nntp(dir, "nntp", {dir / "spool"});
  ASSERT_NE(nntp.port(), 0) << read_file(dir / "nntp.log");
  dir.write("q.cfg", minimal_config(dir) + "NntpServer 127.0.0.1\nNntpGroup " + group.name() +
                         "\nNntpServer localhost\nNntpPort " + std::to_string(nntp.port()) +
                         "\nNntpGroup " + group.name() + "\nNntpPostServer localhost\n");
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"});
  EXPECT_EQ(r.err.find("quillmar-soup:"), std::string::npos) << r.err;
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_subjects(dir / "soup"),
            (std::map<std::string, int>{
                {"t0", 1}, {"t1", 1}, {"t2", 1}, {"t3", 1}, {"t4", 1}, {"extra", 1}}));
  EXPECT_NE(r.err.find("News: 1 article(s) from " + group.name() + " (skipped: 5 taken before)"),
            std::string::npos)
      << r.err;
  std::string marks = read_file(dir / "soup/COLLECT.DAT");
  EXPECT_NE(marks.find("127.0.0.1:119\t" + group.name() + "\t5\n"), std::string::npos) << marks;
  EXPECT_NE(marks.find("localhost:" + std::to_string(nntp.port()) + "\t" + group.name() + "\t6\n"),
            std::string::npos)
      << marks;

  dir.write("soup/REPLIES", "news0000\tnews\tBn\n");
  dir.write("soup/news0000.MSG", framed_message(article(group.name(), "reply")));
  r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(dir / ("spool/" + group.name() + "/7")), article(group.name(), "reply"));
  EXPECT_EQ(group_subjects(119, group.name()).count("reply"), 0u);

  dir.write("q.cfg", minimal_config(dir) + "NntpServer 127.0.0.1\nNntpPostServer elsewhere\n");
  r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"});
  EXPECT_NE(r.err.find("quillmar-soup: NntpPostServer elsewhere: no NntpServer line names this "
                       "server\n"),
            std::string::npos)
      << r.err;
}

// A damaged history is set aside and a new one started; no article is lost
// by it.
TEST(SoupSideNews, DamagedHistoryIsSetAsideAndNothingIsLost) {
  std::string why = inn_unavailable();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  InnGroup group("damaged");
  ASSERT_TRUE(group.ok());
  ASSERT_TRUE(fill_group(group.name(), "d", 5));
  ScratchDir dir;
  dir.write("soup/HISTORY.MDB", std::string(8192, 'x'));
  dir.write("q.cfg",
            minimal_config(dir) + "NntpServer 127.0.0.1\nNntpGroup " + group.name() + "\n");
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("! the history " + dir.path() + "/soup/HISTORY.MDB is damaged"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("set aside as " + dir.path() + "/soup/HISTORY.BAD, a new one is started"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(packet_sequence(dir / "soup"), numbered("d", 0, 4));
  EXPECT_EQ(read_file(dir / "soup/HISTORY.BAD"), std::string(8192, 'x'));
  // The new history works: another server name takes nothing twice.
  dir.write("q.cfg",
            minimal_config(dir) + "NntpServer localhost\nNntpGroup " + group.name() + "\n");
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_NE(r.err.find("(skipped: 5 taken before)"), std::string::npos) << r.err;
  EXPECT_EQ(packet_sequence(dir / "soup").size(), 5u);
}

// The stand-in news server (peers.py, not a packaged server): STARTTLS with
// the server's certificate checked, AUTHINFO, and a group that refuses.
TEST(SoupSideNews, StandInTlsLoginAndRefusal) {
  if (!have_program("openssl")) GTEST_SKIP() << "openssl is not installed; test skipped";
  ScratchDir dir;
  ASSERT_EQ(shell("cd " + quote(dir.path()) +
                  " && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem "
                  "-days 2 -subj /CN=localhost -addext subjectAltName=DNS:localhost"),
            0);
  dir.mkdir("spool/local.test");
  dir.mkdir("spool/local.refused");
  dir.write("spool/local.test/1", article("local.test", "s1"));
  dir.write("spool/local.test/2", article("local.test", "s2"));
  dir.write("pass", "secret\n");
  Peer nntp(dir, "nntp",
            {dir / "spool", "--tls", dir / "cert.pem", dir / "key.pem", "--user", "joe", "secret"});
  ASSERT_NE(nntp.port(), 0) << read_file(dir / "nntp.log");
  auto base_for = [&](int port) {
    return minimal_config(dir) + "NntpServer localhost\nNntpPort " + std::to_string(port) +
           "\nNntpTls StartTLS\nNntpUser joe\nNntpPassFile " + dir.path() +
           "/pass\nNntpGroup local.test\n";
  };
  std::string base = base_for(nntp.port());
  // Without the server's certificate among the trusted ones nothing is taken.
  dir.write("q.cfg", base);
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("TLS handshake failed"), std::string::npos) << r.err;
  EXPECT_FALSE(exists(dir / "soup/AREAS"));

  dir.write("q.cfg", base + "NntpCaFile " + dir.path() + "/cert.pem\n");
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg", "/VERBOSE"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_subjects(dir / "soup"), (std::map<std::string, int>{{"s1", 1}, {"s2", 1}}));
  EXPECT_EQ(r.err.find("secret"), std::string::npos) << "the password is never shown";

  dir.write("soup/REPLIES", "news0000\tnews\tBn\n");
  dir.write("soup/news0000.MSG", framed_message(article("local.refused", "no")) +
                                     framed_message(article("local.test", "yes")));
  r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("article 1 of news0000.MSG refused: 441"), std::string::npos) << r.err;
  EXPECT_FALSE(exists(dir / "soup/REPLIES"));
  EXPECT_TRUE(exists(dir / "spool/local.test/3"));
  EXPECT_EQ(files_in(dir / "spool/local.refused"), 0u);
  std::size_t refused = 0;
  for (const auto& e : fs::directory_iterator(dir / "soup")) {
    if (e.path().extension() == ".REF") ++refused;
  }
  EXPECT_EQ(refused, 1u);

  // TLS from the start, on a port of its own.
  nntp.stop();
  Peer tls_port(dir, "nntp",
                {dir / "spool", "--tls", dir / "cert.pem", dir / "key.pem", "--implicit-tls"});
  ASSERT_NE(tls_port.port(), 0) << read_file(dir / "nntp.log");
  dir.write("spool/local.test/4", article("local.test", "s4"));
  dir.write("tls.cfg", minimal_config(dir) + "NntpServer localhost\nNntpPort " +
                           std::to_string(tls_port.port()) + "\nNntpTls TLS\nNntpCaFile " +
                           dir.path() + "/cert.pem\nNntpGroup local.test\n");
  // Another server (host and port) has marks of its own: the whole group is
  // fetched, but the history passes what was taken before (this server
  // offers no overview: by the Message-ID of each article fetched).
  r = run_soup(dir.path(), {"collect", "/C=./tls.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_subjects(dir / "soup"),
            (std::map<std::string, int>{{"s1", 1}, {"s2", 1}, {"yes", 1}, {"s4", 1}}));
  EXPECT_NE(r.err.find("News: 2 article(s) from local.test (skipped: 2 taken before)"),
            std::string::npos)
      << r.err;
  tls_port.stop();
  Peer again(
      dir, "nntp",
      {dir / "spool", "--tls", dir / "cert.pem", dir / "key.pem", "--user", "joe", "secret"});
  ASSERT_NE(again.port(), 0);
  dir.write("q.cfg", base_for(again.port()) + "NntpCaFile " + dir.path() + "/cert.pem\n");

  // The wrong password: the server is not used, the reply stays.
  dir.write("pass", "wrong\n");
  dir.write("soup/REPLIES", "news0001\tnews\tBn\n");
  dir.write("soup/news0001.MSG", framed_message(article("local.test", "later")));
  r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("did not accept the login"), std::string::npos) << r.err;
  EXPECT_TRUE(exists(dir / "soup/news0001.MSG"));
}

// make install puts quillmar-soup and its manual page beside quillmar; the
// page is clean for groff and mandoc.
TEST(SoupSideInstall, ProgramAndManualPage) {
  ScratchDir stage;
  std::string output;
  ASSERT_EQ(shell("DESTDIR=" + quote(stage.path()) + " cmake --install " +
                      quote(QUILLMAR_BUILD_DIR) + " --prefix /usr/local 2>&1",
                  &output),
            0)
      << output;
  std::string root = stage / "usr/local";
  ASSERT_TRUE(exists(root + "/bin/quillmar-soup"));
  std::string page = root + "/share/man/man8/quillmar-soup.8";
  ASSERT_TRUE(exists(page));
  output.clear();
  EXPECT_EQ(shell("ASAN_OPTIONS=verify_asan_link_order=0 " + quote(root + "/bin/quillmar-soup") +
                      " --version",
                  &output),
            0);
  EXPECT_EQ(output, "quillmar-soup (Quillmar/W32 v1.04)\n");
  if (have_program("groff")) {
    output.clear();
    EXPECT_EQ(shell("groff -ww -z -man " + quote(page) + " 2>&1", &output), 0);
    EXPECT_EQ(output, "");
  }
  if (have_program("mandoc")) {
    output.clear();
    EXPECT_EQ(shell("mandoc -T lint " + quote(page) + " 2>&1", &output), 0);
    EXPECT_EQ(output, "");
  }
}

// The whole cycle of contrib/quillmar-cycle with quillmar-soup on the
// example installation: a mail in the Maildir reaches crashmail's netmail
// area; the FidoNet mail in the outbound goes out through msmtp to the SMTP
// server and, as news, to the stand-in news server.
TEST(SoupSideCycle, ExampleInstallationBothWays) {
  std::string why = missing_mail_peers();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  if (!have_program("crashmail")) GTEST_SKIP() << "crashmail is not installed; test skipped";
  ScratchDir dir;
  std::string work = dir.mkdir("work");
  fs::copy(QUILLMAR_SOURCE_DIR "/examples", work, fs::copy_options::recursive);
  fs::remove(work + "/soup/AREAS");  // the example packet is not this test's
  make_maildir(dir, "box");
  make_maildir(dir, "smtpbox");
  dir.mkdir("spool/alt.test");
  dir.write("box/new/1.local", mail("from the Internet"));
  Peer smtp(dir, "smtp", {dir / "smtpbox"});
  Peer nntp(dir, "nntp", {dir / "spool"});
  ASSERT_NE(smtp.port(), 0);
  ASSERT_NE(nntp.port(), 0);
  std::string config = read_file(work + "/QUILLMAR.CFG") + "SoupMaildir " + dir.path() +
                       "/box\nSoupSendmail " + msmtp_command(smtp.port()) +
                       "\nNntpServer 127.0.0.1\nNntpPort " + std::to_string(nntp.port()) + "\n";
  dir.write("work/QUILLMAR.CFG", config);
  std::string toss = crashmail_command(dir, work + "/inbound", "") + " >/dev/null";
  std::string output;
  int rc = shell(
      "cd " + quote(work) +
          " && ASAN_OPTIONS=verify_asan_link_order=0 QUILLMAR=" + quote(QUILLMAR_BINARY) +
          " QUILLMAR_SOUP=" + quote(QUILLMAR_SOUP_BINARY) + " QUILLMAR_DIR=" + quote(work) +
          " QUILLMAR_CONFIG=./QUILLMAR.CFG TOSS_COMMAND=" + quote(toss) + " SCAN_COMMAND= sh " +
          quote(QUILLMAR_SOURCE_DIR "/contrib/quillmar-cycle") + " 2>&1",
      &output);
  EXPECT_EQ(rc, 0) << output;
  EXPECT_EQ(output, "");
  EXPECT_EQ(stored_subjects(dir / "cm/msg/NETMAIL"),
            (std::map<std::string, int>{{"from the Internet", 1}}))
      << read_file(dir / "cm/log");
  EXPECT_TRUE(maildir_subjects(dir / "box").empty());
  EXPECT_FALSE(exists(work + "/soup/REPLIES"));
  EXPECT_FALSE(maildir_subjects(dir / "smtpbox").empty());
  EXPECT_NE(files_in(dir / "spool/alt.test"), 0u);
  std::string log = read_file(work + "/quillmar.log");
  EXPECT_NE(log.find("Delivered "), std::string::npos) << log;
}

// The kill tests: delays from 0 to well past a whole run, each followed by
// the next run; at the end one clean run. Every message is then counted.
std::vector<microseconds> kill_delays() {
  std::vector<microseconds> delays;
  for (int i = 0; i < 24; ++i) delays.push_back(microseconds(2000 + i * i * 900));
  return delays;
}

TEST(SoupSideKill, CollectTakesEveryMessageOnce) {
  std::string why = inn_unavailable();
  bool news = why.empty();
  ScratchDir dir;
  make_maildir(dir, "box");
  std::map<std::string, int> expected;
  for (int i = 0; i < 40; ++i) {
    std::string s = "m" + std::to_string(i);
    dir.write(std::string("box/") + (i % 2 ? "new/" : "cur/") + std::to_string(i) + ".q", mail(s));
    expected[s] = 1;
  }
  std::string config = minimal_config(dir) + "SoupMaildir " + dir.path() + "/box\n";
  std::unique_ptr<InnGroup> group;
  if (news) {
    group = std::make_unique<InnGroup>("kill");
    ASSERT_TRUE(group->ok());
    for (int i = 0; i < 25; ++i) {
      std::string s = "n" + std::to_string(i);
      ASSERT_TRUE(post_article(dir, 119, article(group->name(), s)));
      expected[s] = 1;
    }
    config += "NntpServer 127.0.0.1\nNntpGroup " + group->name() + "\n";
  } else {
    std::cerr << "News left out of this kill test: " << why << "\n";
  }
  dir.write("q.cfg", config);
  for (microseconds delay : kill_delays())
    run_soup_killed(dir.path(), {"collect", "/C=./q.cfg"}, delay);
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_subjects(dir / "soup"), expected) << read_file(dir / "killed.log");
  EXPECT_TRUE(maildir_subjects(dir / "box").empty());
  for (const auto& e : fs::directory_iterator(dir / "soup")) {
    EXPECT_NE(e.path().extension(), ".TMP") << e.path();
    EXPECT_NE(e.path().extension(), ".NEW") << e.path();
  }
  EXPECT_FALSE(exists(dir / "soup/COLLECT.JNL"));
  std::string log = read_file(dir / "killed.log") + r.err;
  std::size_t finished = 0;
  for (std::size_t at = log.find("Finishing the collect"); at != std::string::npos;
       at = log.find("Finishing the collect", at + 1)) {
    ++finished;
  }
  std::cerr << "Runs that finished the work of a killed collect: " << finished << "\n";
  // Nothing is taken twice afterwards either.
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_EQ(packet_subjects(dir / "soup"), expected);
}

// SIGKILL at random points of collects that keep many ARTICLE commands in
// flight, then a clean run: every article of the group is in the packet
// once, in the group's order, and the mark is its last article.
TEST(SoupSideKill, PipelinedCollectTakesEveryArticleOnceInOrder) {
  std::string why = inn_unavailable();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  InnGroup group("pipe");
  ASSERT_TRUE(group.ok());
  constexpr int kArticles = 1000;
  ASSERT_TRUE(fill_group(group.name(), "k", kArticles, 2000));
  ScratchDir dir;
  std::string config = "NntpServer 127.0.0.1\nNntpGroup " + group.name() + "\nNntpFirstFetch 0\n";
  // A whole run, timed in a directory of its own, sets the range of the
  // kills.
  ScratchDir timing;
  timing.write("q.cfg", minimal_config(timing) + config);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(run_soup(timing.path(), {"collect", "/C=./q.cfg"}).exit_code, 0);
  auto whole = std::chrono::duration_cast<microseconds>(std::chrono::steady_clock::now() - start);
  ASSERT_EQ(packet_sequence(timing / "soup").size(), static_cast<std::size_t>(kArticles));

  dir.write("q.cfg", minimal_config(dir) + config);
  std::mt19937 random(20261210);
  std::uniform_int_distribution<long> delay(whole.count() / 20, whole.count());
  for (int i = 0; i < 20; ++i) {
    run_soup_killed(dir.path(), {"collect", "/C=./q.cfg"}, microseconds(delay(random)));
  }
  std::size_t before_clean_run = packet_sequence(dir / "soup").size();
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_sequence(dir / "soup"), numbered("k", 0, kArticles - 1))
      << read_file(dir / "killed.log");
  EXPECT_EQ(read_file(dir / "soup/COLLECT.DAT"),
            "127.0.0.1:119\t" + group.name() + "\t" + std::to_string(kArticles) + "\n");
  EXPECT_FALSE(exists(dir / "soup/COLLECT.JNL"));
  std::cerr << "A whole run: " << whole.count() / 1000
            << " ms; articles taken by the killed runs: " << before_clean_run << " of " << kArticles
            << "\n";
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_NE(r.err.find("Nothing new collected"), std::string::npos) << r.err;
  EXPECT_EQ(packet_sequence(dir / "soup").size(), static_cast<std::size_t>(kArticles));
}

TEST(SoupSideKill, DeliverSendsEveryMessageOnce) {
  std::string why = missing_mail_peers();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  std::string inn = inn_unavailable();
  bool news = inn.empty();
  ScratchDir dir;
  make_maildir(dir, "box");
  Peer smtp(dir, "smtp", {dir / "box"});
  ASSERT_NE(smtp.port(), 0) << read_file(dir / "smtp.log");
  std::string config = minimal_config(dir) + "SoupSendmail " + msmtp_command(smtp.port()) + "\n";
  std::string mails[2];
  std::map<std::string, int> expected_mail, expected_news;
  for (int i = 0; i < 30; ++i) {
    std::string s = "d" + std::to_string(i);
    mails[i % 2] += framed_message(mail(s));
    expected_mail[s] = 1;
  }
  dir.write("soup/mail0000.MSG", mails[0]);
  dir.write("soup/mail0001.MSG", mails[1]);
  std::string replies = "mail0000\tmail\tbn\nmail0001\tmail\tbn\n";
  std::unique_ptr<InnGroup> group;
  if (news) {
    group = std::make_unique<InnGroup>("deliver");
    ASSERT_TRUE(group->ok());
    std::string articles;
    for (int i = 0; i < 15; ++i) {
      std::string s = "p" + std::to_string(i);
      articles += framed_message(article(group->name(), s));
      expected_news[s] = 1;
    }
    dir.write("soup/news0000.MSG", articles);
    replies += "news0000\tnews\tBn\n";
    config += "NntpServer 127.0.0.1\n";
  } else {
    std::cerr << "News left out of this kill test: " << inn << "\n";
  }
  dir.write("soup/REPLIES", replies);
  dir.write("q.cfg", config);
  for (microseconds delay : kill_delays()) {
    run_soup_killed(dir.path(), {"deliver", "/C=./q.cfg"}, delay * 3);
  }
  RunResult r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // Give the last msmtp processes of killed runs time to finish.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(exists(dir / "soup/REPLIES"));
  EXPECT_FALSE(exists(dir / "soup/DELIVER.JNL"));
  // The helper that waits for the MTA notes an accepted mail even when the
  // run is killed meanwhile, and the next run waits for it: no mail twice.
  std::string log = read_file(dir / "killed.log") + r.err;
  std::map<std::string, int> got = maildir_subjects(dir / "box");
  EXPECT_EQ(got, expected_mail) << log;
  if (news) {
    EXPECT_EQ(group_subjects(119, group->name()), expected_news) << log;
  }
}

}  // namespace
}  // namespace quillmar::testing
