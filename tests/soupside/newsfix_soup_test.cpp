// NewsFix with INN 2: collect keeps the server's list of groups for the
// robot, a point asks for a group by netmail, the next collect fetches it
// (its newest NntpFirstFetch articles), IMPORT writes them as echomail in
// the group's derived area, which crashmail tosses; a reply written in that
// area goes back to the group; once given up, the group is no longer
// fetched and its mark stays.
#include <gtest/gtest.h>

#include <filesystem>

#include "export/export_files.hpp"
#include "soupside/soupside_fixture.hpp"
#include "soupside/soupside_messages.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

std::string command_packet(const std::string& lines) {
  TestMessage m;
  m.to_name = "NewsFix";
  m.from_name = "Pat Point";
  m.subject = "Secret";
  m.text = lines;
  return build_packet(FtnAddress{2, 345, 1, 5}, FtnAddress{2, 345, 6, 0}, {m});
}

// The text of the robot's answers in the inbound; the packets removed.
std::string take_answers(const ScratchDir& dir) {
  std::string text;
  for (const auto& e : fs::directory_iterator(dir / "in")) {
    text += read_file(e.path());
    fs::remove(e.path());
  }
  return text;
}

TEST(NewsFixSoup, AGroupAskedForByNetmailIsFetchedGatedAndGivenUp) {
  std::string why = inn_unavailable();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  if (!have_program("crashmail")) GTEST_SKIP() << "crashmail is not installed; test skipped";
  InnGroup group("nf");
  ASSERT_TRUE(group.ok());
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir) +
                         "NntpServer 127.0.0.1\nNntpPort 119\nNntpFirstFetch 2\n"
                         "NewsFixNode 2:345/1.5 Secret\nNewsFixAllow quillmar.test.*\n");
  for (const char* s : {"a1", "a2", "a3"}) {
    ASSERT_TRUE(post_article(dir, 119, article(group.name(), s)));
  }
  // No group is gated yet: collect only keeps the server's list.
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string list = read_file(dir / "soup/NEWSFIX.GRP");
  EXPECT_NE(list.find("\n" + group.name() + "\t"), std::string::npos) << list;
  EXPECT_TRUE(packet_subjects(dir / "soup").empty());

  dir.write("out/01590006.OUT", command_packet("LIST quillmar.test.nf.*\r+" + group.name() + "\r"));
  r = run_quillmar(dir.path(), {"EXPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string tag;
  for (char c : group.name()) tag += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string answer = take_answers(dir);
  EXPECT_NE(answer.find("  " + group.name()), std::string::npos) << answer;
  EXPECT_NE(answer.find(group.name() + " added, area " + tag + "\r"), std::string::npos) << answer;

  // The next collect fetches it: the newest two articles.
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::map<std::string, int> newest = {{"a2", 1}, {"a3", 1}};
  EXPECT_EQ(packet_subjects(dir / "soup"), newest);
  r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(
      crashmail_toss(dir, "AREA \"DEFAULT\" 2:345/6.1 MSG \"" + dir.path() + "/cm/msg/%a\"\n"), 0);
  std::string area_dir = tag;
  for (char& c : area_dir) c = c == '.' ? '_' : c;
  EXPECT_EQ(stored_subjects(dir / ("cm/msg/" + area_dir)), newest) << read_file(dir / "cm/log");

  // A reply in the area goes back to the group.
  TestMessage reply;
  reply.to_name = "All";
  reply.text = "AREA:" + tag + "\rA reply.\r--- ed\r * Origin: here (2:345/1.5)\r";
  reply.subject = "r1";
  dir.write("out/01590006.OUT",
            build_packet(FtnAddress{2, 345, 1, 5}, FtnAddress{2, 345, 6, 0}, {reply}));
  r = run_quillmar(dir.path(), {"EXPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string news = read_file(dir / "soup/news0000.MSG");
  EXPECT_NE(news.find("Newsgroups: " + group.name() + "\n"), std::string::npos) << news;
  fs::remove(dir / "soup/news0000.MSG");
  fs::remove(dir / "soup/REPLIES");

  // Given up: no longer fetched, its mark kept.
  dir.write("out/01590006.OUT", command_packet("-" + group.name() + "\r"));
  r = run_quillmar(dir.path(), {"EXPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(take_answers(dir).find(group.name() + " removed"), std::string::npos);
  ASSERT_TRUE(post_article(dir, 119, article(group.name(), "a4")));
  std::string marks = read_file(dir / "soup/COLLECT.DAT");
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(packet_subjects(dir / "soup").empty());
  EXPECT_EQ(read_file(dir / "soup/COLLECT.DAT"), marks);
  EXPECT_NE(marks.find(group.name() + "\t3\n"), std::string::npos) << marks;
}

}  // namespace
}  // namespace quillmar::testing
