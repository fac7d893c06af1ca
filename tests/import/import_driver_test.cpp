// IMPORT through the real binary on SOUP packets in a scratch installation.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>

#include "import/packet_reader.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

std::string binary_message(const std::string& text) {
  std::string out(4, '\0');
  uint32_t n = static_cast<uint32_t>(text.size());
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((n >> (24 - 8 * i)) & 0xFF);
  return out + text;
}

std::string rnews_message(const std::string& text) {
  return "#! rnews " + std::to_string(text.size()) + "\n" + text;
}

std::string mail(int i) {
  return "From: Ann Other <ann@example.net>\nTo: sysop@example.org\nSubject: mail " +
         std::to_string(i) + "\nMessage-ID: <m" + std::to_string(i) +
         "@example.net>\n\nHello number " + std::to_string(i) + ".\n";
}

std::string article(int i) {
  return "From: bob@example.com\nNewsgroups: comp.test\nSubject: article " + std::to_string(i) +
         "\n\nText " + std::to_string(i) + ".\n";
}

class ImportTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_.write("q.cfg", minimal_config(dir_)); }

  RunResult import(const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {"IMPORT", "/C=./q.cfg"};
    args.insert(args.end(), options.begin(), options.end());
    return run_quillmar(dir_.path(), args);
  }
  // The same with standard error on a terminal, where the progress shows.
  RunResult import_watched(const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {"IMPORT", "/C=./q.cfg"};
    args.insert(args.end(), options.begin(), options.end());
    return run_quillmar_on_terminal(dir_.path(), args);
  }

  std::vector<std::string> packets() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir_ / "in")) out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
  }

  ScratchDir dir_;
};

constexpr const char* kStatistics =
    "-> %d message(s) imported\n"
    "mail: %-5d     news: %-5d     lists: 0        junk: 0    \n"
    "personal: 0     own org: 0      files: 0        ign/txt: 0    \n";

std::string statistics(int imported, int mail, int news) {
  char buf[512];
  std::snprintf(buf, sizeof buf, kStatistics, imported, mail, news);
  return buf;
}

TEST_F(ImportTest, MailAndNewsBecomeFidoNetPackets) {
  dir_.write("soup/AREAS", "MAIL\tEmail\tbn\nNEWS\tcomp.test\tun\n");
  dir_.write("soup/MAIL.MSG", binary_message(mail(1)) + binary_message(mail(2)));
  dir_.write("soup/NEWS.MSG", rnews_message(article(1)));
  RunResult r = import_watched();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "Importing from Soup to PKT\n\nImporting Email\n\r0%\r50%\r100%\r" +
                       statistics(2, 2, 0) + "Importing comp.test\n\r0%\r100%\r" +
                       statistics(1, 0, 1));
  // One packet a message file; the SOUP files are gone.
  std::vector<std::string> p = packets();
  ASSERT_EQ(p.size(), 2u);
  bool ok = false;
  std::vector<FidoMessage> mails = read_packet(p[0], &ok);
  EXPECT_TRUE(ok);
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_EQ(mails[0].from, "Ann Other");
  EXPECT_EQ(mails[0].to, "sysop@example.org");
  EXPECT_EQ(mails[1].subject, "mail 2");
  EXPECT_EQ(body_of(mails[1].text), "Hello number 2.\r");
  std::vector<FidoMessage> news = read_packet(p[1], &ok);
  ASSERT_EQ(news.size(), 1u);
  EXPECT_EQ(news[0].to, "All");
  EXPECT_EQ(news[0].text.rfind("AREA:COMP.TEST\r", 0), 0u);
  EXPECT_FALSE(exists(dir_ / "soup/AREAS"));
  EXPECT_FALSE(exists(dir_ / "soup/MAIL.MSG"));
  EXPECT_FALSE(exists(dir_ / "soup/NEWS.MSG"));
}

TEST_F(ImportTest, TestModeKeepsEverythingAndBadFilesAreRenamed) {
  dir_.write("soup/AREAS", "MAIL\tEmail\tbn\nBAD\tcomp.bad\tun\n");
  dir_.write("soup/MAIL.MSG", binary_message(mail(1)));
  dir_.write("soup/BAD.MSG", rnews_message(article(1)) + "garbage\n");
  RunResult r = import({"/TEST"});
  std::string bad = dir_.path() + "/soup/BAD.MSG";
  std::string renamed = dir_.path() + "/soup/BAD.BAD";
  EXPECT_NE(r.err.find("! Error in message file " + bad + ", renamed to " + renamed + "\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(exists(dir_ / "soup/AREAS"));
  EXPECT_TRUE(exists(dir_ / "soup/MAIL.MSG"));
  EXPECT_TRUE(exists(dir_ / "soup/BAD.MSG"));
  EXPECT_EQ(packets().size(), 2u);  // the output is written all the same
  r = import();
  EXPECT_TRUE(exists(dir_ / "soup/BAD.BAD"));
  EXPECT_FALSE(exists(dir_ / "soup/BAD.MSG"));
  // The message imported before the error stays imported.
  EXPECT_EQ(packets().size(), 4u);
  EXPECT_FALSE(exists(dir_ / "soup/AREAS"));
}

TEST_F(ImportTest, GlobalStatisticsAndNothingToDo) {
  RunResult r = import();
  EXPECT_EQ(r.err, "Importing from Soup to PKT\nNo AREAS found. Nothing to do.\n");
  dir_.write("soup/AREAS", "A\tEmail\tbn\nB\tEmail\tbn\n");
  dir_.write("soup/A.MSG", binary_message(mail(1)));
  dir_.write("soup/B.MSG", binary_message(mail(2)));
  r = import({"/GLOBAL"});
  EXPECT_EQ(r.err.substr(r.err.size() - statistics(2, 2, 0).size()), statistics(2, 2, 0));
  EXPECT_EQ(r.err.find("-> 1 message"), std::string::npos);
  // An empty packet: nothing to import.
  dir_.write("soup/AREAS", "C\tEmail\tbn\n");
  dir_.write("soup/C.MSG", "");
  r = import();
  EXPECT_NE(r.err.find("No inbound messages found. Nothing to do.\n"), std::string::npos);
  EXPECT_FALSE(exists(dir_ / "soup/C.MSG"));
}

TEST_F(ImportTest, UnknownFormatsAndFilesWithoutMessagesAreKept) {
  dir_.write("soup/AREAS", "X\talt.x\tix\nM\tEmail\tMn\n");
  dir_.write("soup/X.MSG", "whatever");
  dir_.write("soup/M.MSG", std::string(10, '\x01'));
  RunResult r = import();
  EXPECT_NE(r.err.find("Unknown message format in line 1 in AREAS\n"), std::string::npos);
  EXPECT_TRUE(exists(dir_ / "soup/AREAS"));
  EXPECT_TRUE(exists(dir_ / "soup/M.MSG"));
  EXPECT_TRUE(packets().empty());
}

// AREAS keeps exactly the lines of files that wait: an unknown format's
// line stays, the line of a file that is gone or from which nothing could
// be imported goes, and an AREAS with no such line is deleted; no later run
// looks for a file that is gone.
TEST_F(ImportTest, AreasKeepsOnlyTheLinesOfFilesThatWait) {
  struct Case {
    const char* name;
    std::string areas;
    std::string left;  // AREAS afterwards; empty: deleted
  };
  const Case cases[] = {
      {"empty file and noise file", "ZERO\tEmail\tbn\nM\tEmail\tMn\n", ""},
      {"a missing file", "GONE\tEmail\tbn\nM\tEmail\tMn\n", ""},
      {"an unknown format", "X\talt.x\tix\nZERO\tEmail\tbn\nM\tEmail\tMn\n", "X\talt.x\tix\n"},
  };
  for (const Case& c : cases) {
    dir_.write("soup/AREAS", c.areas);
    dir_.write("soup/ZERO.MSG", "");
    dir_.write("soup/M.MSG", std::string(10, '\x01'));
    RunResult r = import();
    EXPECT_EQ(r.exit_code, 0) << c.name << "\n" << r.err;
    EXPECT_EQ(exists(dir_ / "soup/ZERO.MSG"), c.areas.find("ZERO\t") == std::string::npos)
        << c.name;
    EXPECT_TRUE(exists(dir_ / "soup/M.MSG")) << c.name;
    EXPECT_EQ(exists(dir_ / "soup/AREAS") ? read_file(dir_ / "soup/AREAS") : "", c.left) << c.name;
    RunResult next = import();
    EXPECT_EQ(next.err.find("Error reading"), std::string::npos) << c.name << "\n" << next.err;
    fs::remove(dir_ / "soup/AREAS");
    fs::remove(dir_ / "soup/ZERO.MSG");
  }
}

TEST_F(ImportTest, PacketsRotateAtMaxPKTSize) {
  dir_.write("q.cfg", minimal_config(dir_) + "MaxPKTSize 4\n");
  std::string messages;
  for (int i = 0; i < 12; ++i) {
    messages += binary_message(mail(i) + std::string(600, 'x') + "\n");
  }
  dir_.write("soup/AREAS", "MAIL\tEmail\tbn\n");
  dir_.write("soup/MAIL.MSG", messages);
  RunResult r = import();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::size_t total = 0;
  for (const std::string& p : packets()) {
    std::string data = read_file(p);
    // A new packet starts once one has reached 2048 bytes.
    std::vector<FidoMessage> m = read_packet(p);
    total += m.size();
    EXPECT_LT(data.size() - 2 - 1200, 2048u) << p;
  }
  EXPECT_EQ(total, 12u);
  EXPECT_GT(packets().size(), 3u);
}

TEST_F(ImportTest, ListCommandsArePostedBackAndCounted) {
  dir_.write("q.cfg", minimal_config(dir_) + "ListConfig " + dir_.path() + "/list.cfg\n");
  dir_.write("list.cfg",
             "ListName Test list\nListAddress list@example.org\nListArea TEST.LIST\n"
             "Welcome " +
                 dir_.path() + "/welcome.txt\nListUsers\n");
  dir_.write("welcome.txt", "Welcome to @LISTNAME@, @YOURNAME@.\n");
  dir_.write("soup/AREAS", "MAIL\tEmail\tbn\n");
  dir_.write("soup/MAIL.MSG",
             binary_message("From: Ann <ann@example.net>\nTo: list@example.org\n"
                            "Subject: subscribe\n\nplease\n") +
                 binary_message("From: Ann <ann@example.net>\nTo: list@example.org\n"
                                "Subject: hello list\n\nA first posting.\n"));
  RunResult r = import();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("listmsg: 1      listcmd: 1      reply: 1    \n"), std::string::npos)
      << r.err;
  // The list now has its member, who got the welcome and the posting.
  EXPECT_NE(read_file(dir_ / "list.cfg").find("+\nann@example.net\nAnn\n1\n"), std::string::npos);
  EXPECT_EQ(read_file(dir_ / "soup/REPLIES"), "mail0000\tmail\tbn\n");
  std::string replies = read_file(dir_ / "soup/mail0000.MSG");
  EXPECT_NE(replies.find("Welcome to Test list, Ann.\n"), std::string::npos);
  EXPECT_NE(replies.find("Bcc: <ann@example.net>\n"), std::string::npos);
  // The posting also went into the list's echo area.
  std::vector<std::string> p = packets();
  ASSERT_EQ(p.size(), 1u);
  std::vector<FidoMessage> m = read_packet(p[0]);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].text.rfind("AREA:TEST.LIST\r", 0), 0u);
}

TEST_F(ImportTest, APacketThatCannotBeWrittenKeepsItsMessages) {
  std::string messages;
  for (int i = 0; i < 6; ++i) messages += binary_message(mail(i) + std::string(600, 'x') + "\n");
  dir_.write("soup/AREAS", "MAIL\tEmail\tbn\n");
  dir_.write("soup/MAIL.MSG", messages);
  // The disk is full after 2 KB: the packet cannot be written whole.
  std::string command = "cd '" + dir_.path() +
                        "' && trap '' XFSZ && ulimit -f 2 && "
                        "ASAN_OPTIONS=verify_asan_link_order=0 '" QUILLMAR_BINARY
                        "' IMPORT /C=./q.cfg >out.txt 2>err.txt";
  // The run says that it kept work for a later run.
  int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 2);
  std::string err = read_file(dir_ / "err.txt");
  EXPECT_NE(err.find("! Error writing packet "), std::string::npos) << err;
  EXPECT_NE(err.find("! Message file " + dir_.path() + "/soup/MAIL.MSG kept"), std::string::npos)
      << err;
  EXPECT_EQ(read_file(dir_ / "soup/MAIL.MSG"), messages);
  EXPECT_TRUE(exists(dir_ / "soup/AREAS"));
  EXPECT_TRUE(packets().empty());
  // With room again, the next run imports the file once and whole.
  RunResult r = import();
  ASSERT_EQ(packets().size(), 1u);
  EXPECT_EQ(read_packet(packets()[0]).size(), 6u);
  EXPECT_FALSE(exists(dir_ / "soup/MAIL.MSG"));
}

TEST_F(ImportTest, VerboseLinesKeepTheirLineEnd) {
  std::string name(150, 'N');
  dir_.write("soup/AREAS", "MAIL\tEmail\tbn\n");
  dir_.write("soup/MAIL.MSG", binary_message("From: " + name +
                                             " <ann@example.net>\nTo: Joe <sysop@example.org>\n"
                                             "Subject: s\n\nx\n"));
  RunResult r = import_watched({"/VERBOSE"});
  EXPECT_NE(r.err.find(") to sysop@example.org (Joe)\n\r100%\r-> 1 message(s) imported"),
            std::string::npos)
      << r.err;
}

TEST_F(ImportTest, AreasNamesOnlyFilesOfTheSoupDirectory) {
  dir_.write("netmail/1.MSG", "From x\nSubject: stored netmail\n\n");
  dir_.write("soup/AREAS", "../netmail/1\tEmail\tmn\n..\tEmail\tmn\n");
  RunResult r = import();
  EXPECT_NE(r.err.find("Error in line 1 in AREAS\nError in line 2 in AREAS\n"), std::string::npos)
      << r.err;
  EXPECT_TRUE(exists(dir_ / "netmail/1.MSG"));
  EXPECT_FALSE(exists(dir_ / "netmail/1.BAD"));
}

TEST_F(ImportTest, BadFilesStayListedWhenTheyCannotBeRenamed) {
  dir_.write("soup/AREAS", "BAD\tcomp.bad\tun\n");
  dir_.write("soup/BAD.MSG", "garbage\n");
  dir_.write("soup/BAD.BAD", "an earlier bad file\n");
  RunResult r = import();
  EXPECT_NE(r.err.find("which could not be renamed to"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(dir_ / "soup/BAD.BAD"), "an earlier bad file\n");
  EXPECT_TRUE(exists(dir_ / "soup/BAD.MSG"));
  EXPECT_TRUE(exists(dir_ / "soup/AREAS"));
}

TEST_F(ImportTest, ADecodedFileThatCannotBeWrittenKeepsItsMessage) {
  std::string uu = "begin 644 big.bin\n";
  for (int i = 0; i < 100; ++i) uu += "M" + std::string(60, 'A') + "\n";
  uu += "`\nend\n";
  dir_.write("soup/AREAS", "MAIL\tEmail\tbn\n");
  std::string messages = binary_message(mail(1) + uu);
  dir_.write("soup/MAIL.MSG", messages);
  // Room for the packet, not for the 4,500-byte file.
  std::string command = "cd '" + dir_.path() +
                        "' && trap '' XFSZ && ulimit -f 3 && "
                        "ASAN_OPTIONS=verify_asan_link_order=0 '" QUILLMAR_BINARY
                        "' IMPORT /C=./q.cfg >out.txt 2>err.txt";
  // The run says that it kept work for a later run.
  int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 2);
  std::string err = read_file(dir_ / "err.txt");
  EXPECT_NE(err.find("! Error writing decoded file"), std::string::npos) << err;
  // Nothing says it was decoded, nor speaks of an earlier run.
  EXPECT_EQ(err.find("-encoded file big.bin"), std::string::npos) << err;
  EXPECT_EQ(err.find("completing the run"), std::string::npos) << err;
  EXPECT_EQ(read_file(dir_ / "soup/MAIL.MSG"), messages);
  EXPECT_TRUE(exists(dir_ / "soup/AREAS"));
  EXPECT_TRUE(packets().empty());
}

// OwnOrgAction kill on a file whose messages are all the gateway's own: as
// the classic import does it (counted as imported, a packet of no message
// left), and with DropKilled (counted as killed, no packet). The file is
// consumed either way. A message of another organisation beside it is
// imported as always.
TEST_F(ImportTest, KilledOwnMessagesLeaveNoPacketWithDropKilled) {
  std::string own =
      "From: Joe Sysop <sysop@example.org>\nTo: ann@example.net\nSubject: own\n"
      "Organization: Gate Org\nMessage-ID: <own@example.org>\n\nMine.\n";
  struct Case {
    const char* config;
    const char* killed_line;  // before the statistics; empty: none
    int imported;
    std::size_t packets;  // with the own message alone
  } cases[] = {
      {"", "", 1, 1},
      {"DropKilled Yes\n", "-> 1 message(s) killed\n", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    for (const std::string& p : packets()) fs::remove(p);
    dir_.write("q.cfg",
               minimal_config(dir_) + "Organization Gate Org\nOwnOrgAction kill\n" + c.config);
    dir_.write("soup/AREAS", "MAIL\tEmail\tbn\n");
    dir_.write("soup/MAIL.MSG", binary_message(own));
    RunResult r = import();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find(std::string(c.killed_line) + statistics(c.imported, 0, 0)),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("killed") != std::string::npos, *c.killed_line != '\0') << r.err;
    ASSERT_EQ(packets().size(), c.packets);
    // The classic packet holds its header and the two zero bytes of its end.
    for (const std::string& p : packets()) EXPECT_EQ(fs::file_size(p), 60u);
    EXPECT_FALSE(exists(dir_ / "soup/MAIL.MSG"));
    EXPECT_FALSE(exists(dir_ / "soup/AREAS"));

    dir_.write("soup/AREAS", "MAIL\tEmail\tbn\n");
    dir_.write("soup/MAIL.MSG", binary_message(own) + binary_message(mail(1)));
    r = import();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find(std::string(c.killed_line) + statistics(c.imported + 1, 1, 0)),
              std::string::npos)
        << r.err;
    std::vector<std::string> p = packets();
    ASSERT_EQ(p.size(), c.packets + 1);
    std::vector<std::string> subjects;
    for (const std::string& name : p) {
      bool ok = false;
      for (const FidoMessage& m : read_packet(name, &ok)) subjects.push_back(m.subject);
      EXPECT_TRUE(ok);
    }
    EXPECT_EQ(subjects, std::vector<std::string>{"mail 1"});
  }
}

}  // namespace
}  // namespace quillmar::testing
