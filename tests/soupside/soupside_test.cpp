// quillmar-soup against real peers on 127.0.0.1: its settings and CHECK;
// mail from a Maildir through collect, IMPORT and crashmail; replies through
// msmtp to a real SMTP server and through Postfix; the lock; the install and
// the whole cycle. The news side is in soupside_news_test.cpp, the kill
// tests in soupside_kill_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "soupside/soupside_fixture.hpp"
#include "soupside/soupside_messages.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::microseconds;

TEST(SoupSideConfig, CheckKnowsEveryKeyword) {
  ScratchDir dir;
  make_maildir(dir, "md");
  dir.write("pass", "secret\n");
  fs::permissions(dir / "pass", fs::perms::owner_read | fs::perms::owner_write);
  dir.write("q.cfg", minimal_config(dir) + "SoupMaildir " + dir.path() + "/md\nSoupMaildirDone " +
                         dir.path() +
                         "/md\nSoupSendmail /usr/sbin/sendmail -t -i\nSoupRefusedDir " +
                         dir.path() +
                         "/soup\nNntpServer news.example.net\nNntpPort 563\nNntpTls TLS\n"
                         "NntpUser joe\nNntpPassFile " +
                         dir.path() +
                         "/pass\n"
                         "NntpCaFile /etc/ssl/certs/ca-certificates.crt\nNntpGroup comp.test\n"
                         "NntpGroup alt.test\nNntpMaxArticles 500\nNntpMaxArticleSize 1000000\n"
                         "NntpFirstFetch 100\nNntpTimeout 60\nSoupSendmailTimeout 120\n"
                         "SoupBounceAddress gateway@example.org\nSoupHistoryDays 30\n"
                         "NntpServer news2.example.net\nNntpGroup comp.other\n"
                         "NntpPostServer news.example.net\n");
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find("Warning"), std::string::npos) << r.err;

  dir.write("bad.cfg", minimal_config(dir) + "NntpTls sometimes\nNntpGroup a.b,c.d\n");
  r = run_quillmar(dir.path(), {"CHECK", "/C=./bad.cfg"});
  EXPECT_NE(r.err.find("Warning: invalid NntpTls parameter in line 8"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Warning: NntpGroup has invalid parameter in line 9"), std::string::npos);
}

// CHECK looks at what quillmar-soup will need and names the keyword of
// each problem. A missing directory is reported as the gateway's are and
// ends the check with exit status 255; any other problem is a warning in
// the form of the reader's (the line, then its keyword and value), after
// which the check ends with 0.
struct SoupCheckCase {
  const char* name;
  std::string lines;  // configuration lines; DIR is the test's directory
  int exit_code;
  std::string expected;  // in CHECK's output; DIR as above
};

// The case's name where a test lists its parameter.
void PrintTo(const SoupCheckCase& c, std::ostream* out) {
  *out << c.name;
}

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
  fs::permissions(dir / "pass", fs::perms::owner_read | fs::perms::owner_write);
  dir.write("q.cfg", minimal_config(dir) + with_dir(GetParam().lines, dir.path()));
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, GetParam().exit_code) << r.err;
  EXPECT_NE(r.err.find(with_dir(GetParam().expected, dir.path())), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Configuration checked.") != std::string::npos, GetParam().exit_code == 0)
      << r.err;
  EXPECT_EQ(r.err.find("quillmar-soup:"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SoupSideCheck,
    ::testing::Values(
        // A Maildir not made yet is a warning: collect takes the news.
        SoupCheckCase{"MissingMaildir", "SoupMaildir DIR/nomd\n", 0,
                      "Warning: the Maildir DIR/nomd does not exist (yet): collect takes no "
                      "mail until it does in line 8 of ./q.cfg\n"},
        SoupCheckCase{"MaildirWithoutCur", "SoupMaildir DIR/half\n", 0,
                      "Warning: the Maildir DIR/half/cur does not exist (yet): collect takes no "
                      "mail until it does in line 8 of ./q.cfg\n"},
        SoupCheckCase{"MissingMaildirDone", "SoupMaildir DIR/md\nSoupMaildirDone DIR/gone\n", 255,
                      "FATAL ERROR: subdirectory DIR/gone does not exist\n"
                      "SoupMaildirDone: directory DIR/gone: No such file or directory\n"},
        SoupCheckCase{"MissingRefusedDir", "SoupRefusedDir DIR/ref\n", 255,
                      "FATAL ERROR: subdirectory DIR/ref does not exist\n"
                      "SoupRefusedDir: directory DIR/ref: No such file or directory\n"},
        // Every missing directory is named, the gateway's first.
        SoupCheckCase{"MissingGatewayAndSoupDirectories",
                      "DecodeDir DIR/nodecode\nSoupMaildir DIR/nomd\nSoupRefusedDir DIR/ref\n", 255,
                      "DecodeDir: directory DIR/nodecode: No such file or directory\n"
                      "FATAL ERROR: subdirectory DIR/ref does not exist\n"
                      "SoupRefusedDir: directory DIR/ref: No such file or directory\n"},
        SoupCheckCase{"UserWithoutPassFile", "NntpServer news.example.net\nNntpUser joe\n", 0,
                      "Warning: a login needs NntpPassFile, the file of its password in line 9 "
                      "of ./q.cfg\nNntpUser joe: a login needs NntpPassFile, the file of its "
                      "password\n\n"},
        SoupCheckCase{"UnreadablePassFile",
                      "NntpServer news.example.net\nNntpUser joe\nNntpPassFile DIR/nopass\n", 0,
                      "Warning: the password file of the login cannot be read (No such file or "
                      "directory) in line 10 of ./q.cfg\nNntpPassFile DIR/nopass: the password "
                      "file of the login cannot be read (No such file or directory)\n\n"},
        SoupCheckCase{"UnreadableCaFile", "NntpServer news.example.net\nNntpCaFile DIR/noca\n", 0,
                      "Warning: the file of the certificate authorities cannot be read (No such "
                      "file or directory) in line 9 of ./q.cfg\nNntpCaFile DIR/noca: the file of "
                      "the certificate authorities cannot be read (No such file or "
                      "directory)\n\n"},
        SoupCheckCase{"GroupWithoutServer", "NntpGroup alt.test\n", 0,
                      "Warning: no NntpServer line names the server: no news is collected or "
                      "posted in line 8 of ./q.cfg\nNntpGroup alt.test: no NntpServer line names "
                      "the server: no news is collected or posted\n\n"},
        SoupCheckCase{"PostServerNotNamed",
                      "NntpServer news.example.net\nNntpPostServer elsewhere\n", 0,
                      "Warning: no NntpServer line names this server in line 9 of ./q.cfg\n"
                      "NntpPostServer elsewhere: no NntpServer line names this server\n\n"},
        // Replies go out, newsgroups are gated, no server takes the news.
        SoupCheckCase{"NewsRepliesWithoutServer",
                      "AreaMap FIDO.TEST alt.test\nSoupSendmail /usr/sbin/sendmail -t -i\n", 0,
                      "Warning: AreaMap gates newsgroups, but no NntpServer is set: the news "
                      "replies cannot be posted in line 9 of ./q.cfg\nSoupSendmail "
                      "/usr/sbin/sendmail -t -i: AreaMap gates newsgroups, but no NntpServer is "
                      "set: the news replies cannot be posted\n\n"},
        // A value the keyword cannot take: the message once, the keyword
        // and value on the line below.
        SoupCheckCase{"NegativeMaxArticles", "NntpMaxArticles -5\n", 0,
                      "Warning: a whole number of 0 or more is required in line 8 of ./q.cfg\n"
                      "NntpMaxArticles -5: a whole number of 0 or more is required\n\n"},
        SoupCheckCase{"NegativeFirstFetch", "NntpFirstFetch -5\n", 0,
                      "Warning: a whole number of 0 or more is required in line 8 of ./q.cfg\n"
                      "NntpFirstFetch -5: a whole number of 0 or more is required\n\n"},
        SoupCheckCase{"ZeroTimeout", "NntpTimeout 0\n", 0,
                      "Warning: a whole number of 1 or more is required in line 8 of ./q.cfg\n"
                      "NntpTimeout 0: a whole number of 1 or more is required\n\n"},
        SoupCheckCase{"TinyMaxArticleSize", "NntpMaxArticleSize 10\n", 0,
                      "Warning: a whole number of 1024 or more is required in line 8 of "
                      "./q.cfg\nNntpMaxArticleSize 10: a whole number of 1024 or more is "
                      "required\n\n"},
        SoupCheckCase{"BounceAddressWithoutAt", "SoupBounceAddress gateway\n", 0,
                      "Warning: not a mail address in line 8 of ./q.cfg\n"
                      "SoupBounceAddress gateway: not a mail address\n\n"}),
    [](const ::testing::TestParamInfo<SoupCheckCase>& info) { return info.param.name; });

TEST(SoupSideConfig, CheckIsQuietAboutAGoodSoupSide) {
  ScratchDir dir;
  make_maildir(dir, "md");
  dir.write("pass", "secret\n");
  fs::permissions(dir / "pass", fs::perms::owner_read | fs::perms::owner_write);
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
  EXPECT_NE(r.err.find("mail 1 of " + dir.path() + "/soup/mail0000.MSG kept for the next run"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(dir / "soup/REPLIES"), "mail0000\tmail\tbn\n");
  EXPECT_TRUE(exists(dir / "soup/mail0000.MSG"));

  Peer smtp(dir, "smtp", {dir / "box", "nobody@example.org"});
  ASSERT_NE(smtp.port(), 0) << read_file(dir / "smtp.log");
  dir.write("q.cfg", config + "SoupSendmail " + msmtp_command(smtp.port()) + "\n");
  r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("mail 2 of " + dir.path() +
                       "/soup/mail0000.MSG refused: the command ended with status 65"),
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
    EXPECT_NE(r.err.find("! " + dir.path() +
                         "/soup/news0000.MSG: only binary mail and news files can be sent"),
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

// What deliver says about a reply it keeps names the reply file as the
// directory holds it (here in upper case, listed in lower case) and a
// command that cannot be run; a status of the command's own is only that.
// Without a news server the news replies wait, which is said once. A mail
// the command never took goes out on a later run without a warning that it
// may arrive twice.
TEST(SoupSideMail, KeptRepliesNameTheFileAndTheCommand) {
  struct Case {
    const char* name;
    std::string sendmail;  // DIR: the test's directory
    std::string said;      // DIR as above
  } cases[] = {
      {"not found", "/nonexistent/sendmail",
       "! mail 1 of DIR/soup/MAIL0000.MSG kept for the next run: cannot run "
       "/nonexistent/sendmail: No such file or directory\n"},
      {"not executable", "DIR/sendmail -t",
       "! mail 1 of DIR/soup/MAIL0000.MSG kept for the next run: cannot run DIR/sendmail: "
       "Permission denied\n"},
      {"status 127 of its own", "/bin/sh -c \"cat >/dev/null; exit 127\"",
       "! mail 1 of DIR/soup/MAIL0000.MSG kept for the next run: the command ended with status "
       "127\n"},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    dir.write("sendmail", "#!/bin/sh\ncat >/dev/null\n");  // not executable
    dir.write("soup/REPLIES", "mail0000\tmail\tbn\nnews0000\tnews\tBn\n");
    dir.write("soup/MAIL0000.MSG", framed_message(mail("k1")));
    dir.write("soup/news0000.MSG", framed_message(article("alt.test", "n1")) +
                                       framed_message(article("alt.test", "n2")));
    std::string config = minimal_config(dir) + "AreaMap FIDO.TEST alt.test\n";
    dir.write("q.cfg", config + "SoupSendmail " + with_dir(c.sendmail, dir.path()) + "\n");
    RunResult r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
    EXPECT_EQ(r.exit_code, 2) << c.name << "\n" << r.err;
    EXPECT_NE(r.err.find(with_dir(c.said, dir.path())), std::string::npos) << c.name << "\n"
                                                                           << r.err;
    std::string waiting =
        "! news replies wait: no NntpServer is configured (2 article(s) kept for the next run)\n";
    EXPECT_NE(r.err.find(waiting), std::string::npos) << c.name << "\n" << r.err;
    EXPECT_EQ(r.err.find("article "), std::string::npos) << c.name << "\n" << r.err;

    dir.write("q.cfg",
              config + "SoupSendmail /bin/sh -c \"cat >>'" + dir.path() + "/sent.txt'\"\n");
    r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
    EXPECT_EQ(r.exit_code, 2) << c.name << "\n" << r.err;
    EXPECT_EQ(r.err.find("may arrive twice"), std::string::npos) << c.name << "\n" << r.err;
    EXPECT_EQ(read_file(dir / "sent.txt"), mail("k1")) << c.name;
    EXPECT_EQ(read_file(dir / "soup/REPLIES"), "news0000\tnews\tBn\n") << c.name;
  }
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
  EXPECT_NE(r.err.find("! mail 1 of " + dir.path() +
                       "/soup/mail0000.MSG kept for the next run: the command ended with "
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
  EXPECT_NE(r.err.find("! mail 1 of " + dir.path() +
                       "/soup/mail0001.MSG kept for the next run: the command did not end "
                       "within SoupSendmailTimeout (1 seconds) and was killed\n"),
            std::string::npos)
      << r.err;
  dir.write("mode", "ok");
  r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("mail 1 of " + dir.path() +
                       "/soup/mail0001.MSG <t2@example.net> was being handed over when a run "
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
  std::string line = "! mail 1 of " + dir.path() +
                     "/soup/mail0000.MSG refused: the command ended with status 67; set "
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
  std::string soup = dir.path() + "/soup/";
  for (const std::string& expected :
       {"mail 1 of " + soup + "mail0000.MSG would be sent: To sysop@example.org\n",
        "mail 2 of " + soup + "mail0000.MSG would be sent: To sysop@example.org\n",
        "article 1 of " + soup + "news0000.MSG would be posted: Newsgroups alt.test\n",
        std::string("Would deliver 2 mail(s) and 1 article(s); /TEST sends nothing\n")}) {
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

// A mailing list's copy of a mail deliver sent (known by its List-Id and
// its Message-ID) leaves the Maildir without going into the packet, and
// the log counts it; the same mail delivered directly (to a user of the
// gateway) and another list's post are collected as always.
TEST(SoupSideMail, ListCopyOfOwnMailIsNotCollectedBack) {
  std::string why = missing_mail_peers();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  ScratchDir dir;
  make_maildir(dir, "box");
  make_maildir(dir, "world");
  Peer smtp(dir, "smtp", {dir / "world"});
  ASSERT_NE(smtp.port(), 0) << read_file(dir / "smtp.log");
  dir.write("q.cfg", minimal_config(dir) + "SoupSendmail " + msmtp_command(smtp.port()) +
                         "\nSoupMaildir " + dir.path() + "/box\n");
  dir.write("soup/REPLIES", "mail0000\tmail\tbn\n");
  dir.write("soup/mail0000.MSG", framed_message(mail("to-the-list", "dev@lists.example.net")));
  RunResult r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string sent;
  for (int i = 0; i < 100 && sent.empty(); ++i) {
    for (const auto& e : fs::directory_iterator(dir / "world/new")) sent = read_file(e.path());
    if (sent.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_NE(sent.find("Message-ID: <to-the-list@example.net>"), std::string::npos) << sent;
  dir.write("box/new/1.list", "List-Id: Developers <dev.lists.example.net>\n" + sent);
  dir.write("box/new/2.direct", sent);
  dir.write("box/cur/3.other:2,S", "List-Id: <other.lists.example.net>\n" + mail("other-post"));
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_subjects(dir / "soup"),
            (std::map<std::string, int>{{"to-the-list", 1}, {"other-post", 1}}));
  EXPECT_NE(r.err.find("Mail: 2 message(s) from " + dir.path() +
                       "/box/ (skipped: 1 list copies taken or sent before)\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(maildir_subjects(dir / "box").empty());
}

// Before the first mail the Maildir may not exist: collect says so, takes
// the news all the same and ends with 0; once the MTA has made it, its mail
// comes. CHECK warns about it (see SoupSideCheck).
TEST(SoupSideMail, FirstCollectWithoutMaildirStillCollectsNews) {
  ScratchDir dir;
  dir.mkdir("spool/local.test");
  dir.write("spool/local.test/1", article("local.test", "n1"));
  Peer nntp(dir, "nntp", {dir / "spool"});
  ASSERT_NE(nntp.port(), 0) << read_file(dir / "nntp.log");
  dir.write("q.cfg", minimal_config(dir) + "SoupMaildir " + dir.path() +
                         "/Maildir/\nNntpServer 127.0.0.1\nNntpPort " +
                         std::to_string(nntp.port()) + "\nNntpGroup local.test\nLogFile " +
                         dir.path() + "/q.log\n");
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("* " + dir.path() + "/Maildir does not exist (yet): no mail is collected\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(read_file(dir / "q.log").find("/Maildir does not exist (yet)"), std::string::npos);
  EXPECT_EQ(packet_sequence(dir / "soup"), std::vector<std::string>{"n1"});
  make_maildir(dir, "Maildir");
  dir.write("Maildir/new/1.first", mail("m1"));
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_sequence(dir / "soup"), (std::vector<std::string>{"n1", "m1"}));
}

// A message root put into a Maildir directory the gateway's user cannot
// write: collect takes it into the packet, says once that it cannot remove
// it, and later runs pass it without a word (no stop, exit status 0). One
// it cannot read is said once too, and taken once it can be read.
TEST(SoupSideMail, MessageCollectCannotRemoveIsReportedOnceAndPassed) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can run collect as another user; test skipped";
  if (!have_program("setpriv")) GTEST_SKIP() << "setpriv is not installed; test skipped";
  ScratchDir dir;
  make_maildir(dir, "box");
  dir.write("q.cfg", minimal_config(dir) + "SoupMaildir " + dir.path() + "/box\n");
  dir.write("box/new/1.root", mail("root's"));
  dir.write("box/cur/2.secret:2,S", mail("unreadable"));
  dir.write("box/cur/3.plain:2,S", mail("plain"));
  ASSERT_EQ(shell("chown -R 65534:65534 " + quote(dir.path()) + " && chown 0:0 " +
                  quote(dir / "box/new") + " " + quote(dir / "box/new/1.root") + " " +
                  quote(dir / "box/cur/2.secret:2,S") + " && chmod 600 " +
                  quote(dir / "box/cur/2.secret:2,S")),
            0);
  auto collect = [&] {
    RunResult r;
    r.exit_code = shell("cd " + quote(dir.path()) +
                            " && ASAN_OPTIONS=verify_asan_link_order=0 setpriv --reuid=65534 "
                            "--regid=65534 --clear-groups " +
                            quote(QUILLMAR_SOUP_BINARY) + " collect /C=./q.cfg 2>&1",
                        &r.err);
    return r;
  };
  RunResult r = collect();
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_NE(r.err.find("! " + dir.path() +
                       "/box/new/1.root: cannot remove it: Permission denied; it stays in the "
                       "Maildir, and later runs pass it\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("! cannot read " + dir.path() + "/box/cur/2.secret:2,S"), std::string::npos)
      << r.err;
  EXPECT_FALSE(exists(dir / "soup/COLLECT.JNL"));
  std::map<std::string, int> packet = {{"root's", 1}, {"plain", 1}};
  EXPECT_EQ(packet_subjects(dir / "soup"), packet);
  for (int run = 0; run < 2; ++run) {
    r = collect();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err.find("!"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Nothing new collected"), std::string::npos) << r.err;
    EXPECT_EQ(packet_subjects(dir / "soup"), packet);
  }
  ASSERT_EQ(shell("chmod 644 " + quote(dir / "box/cur/2.secret:2,S")), 0);
  r = collect();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  packet["unreadable"] = 1;
  EXPECT_EQ(packet_subjects(dir / "soup"), packet);
  EXPECT_TRUE(exists(dir / "box/new/1.root"));
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

// The lock file is removed at the end of a run, while the run still holds
// the lock: a run that waited for it takes the lock on a new file. A
// deliver whose mail command takes a second and a collect started while
// it runs both do their work, one after the other, and leave no lock file.
TEST(SoupSideLock, LockFileIsRemovedAtTheEndOfEachRun) {
  ScratchDir dir;
  make_maildir(dir, "box");
  dir.write("q.cfg", minimal_config(dir) + "SoupMaildir " + dir.path() +
                         "/box\nSoupSendmail /bin/sh -c \"sleep 1; cat >>'" + dir.path() +
                         "/sent.txt'\"\n");
  struct Case {
    const char* command;
    const char* what;  // the message the run takes
  } cases[] = {{"collect", "box/new/1"}, {"deliver", "soup/mail0000.MSG"}};
  for (const Case& c : cases) {
    if (std::string(c.command) == "collect") {
      dir.write(c.what, mail("c1"));
    } else {
      dir.write("soup/REPLIES", "mail0000\tmail\tbn\n");
      dir.write(c.what, framed_message(mail("d1")));
    }
    RunResult r = run_soup(dir.path(), {c.command, "/C=./q.cfg"});
    EXPECT_EQ(r.exit_code, 0) << c.command << "\n" << r.err;
    EXPECT_FALSE(exists(dir / c.what)) << c.command;
    EXPECT_FALSE(exists(dir / "soup/QUILLMAR.LCK")) << c.command;
  }

  dir.write("soup/REPLIES", "mail0001\tmail\tbn\n");
  dir.write("soup/mail0001.MSG", framed_message(mail("d2")));
  dir.write("box/new/2", mail("c2"));
  std::string deliver = "cd " + quote(dir.path()) + " && ASAN_OPTIONS=verify_asan_link_order=0 " +
                        quote(QUILLMAR_SOUP_BINARY) + " deliver /C=./q.cfg >deliver.txt 2>&1; " +
                        "echo $? >deliver.rc";
  ASSERT_EQ(shell("(" + deliver + ") >/dev/null 2>&1 & true"), 0);
  for (int i = 0; i < 50 && !exists(dir / "soup/QUILLMAR.LCK"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  auto start = std::chrono::steady_clock::now();
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  for (int i = 0; i < 100 && !exists(dir / "deliver.rc"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(read_file(dir / "deliver.rc"), "0\n") << read_file(dir / "deliver.txt");
  EXPECT_EQ(read_file(dir / "sent.txt"), mail("d1") + mail("d2"));
  EXPECT_EQ(packet_subjects(dir / "soup"), (std::map<std::string, int>{{"c1", 1}, {"c2", 1}}));
  EXPECT_FALSE(exists(dir / "soup/QUILLMAR.LCK"));
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
  EXPECT_EQ(output.rfind("quillmar-soup (Quillmar) 1.04, Linux ", 0), 0u) << output;
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

}  // namespace
}  // namespace quillmar::testing
