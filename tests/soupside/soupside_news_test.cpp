// quillmar-soup's news side against INN 2 and the stand-in news server of
// peers.py: pipelined fetching, first contact and limits, oversized and
// vanished articles, broken connections, the history, several servers,
// TLS, logins and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <random>

#include "export/export_files.hpp"
#include "soupside/soupside_fixture.hpp"
#include "soupside/soupside_messages.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::microseconds;

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
  ASSERT_TRUE(post_to_inn_and_spool(dir, group.name(), "t", 5));
  Peer nntp(dir, "nntp", {dir / "spool"});
  ASSERT_NE(nntp.port(), 0) << read_file(dir / "nntp.log");
  dir.write("q.cfg", minimal_config(dir) + "NntpServer 127.0.0.1\nNntpGroup " + group.name() +
                         "\nNntpServer localhost\nNntpPort " + std::to_string(nntp.port()) +
                         "\nNntpGroup " + group.name() + "\nNntpPostServer localhost\n");
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find("Warning"), std::string::npos) << r.err;
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
  EXPECT_NE(r.err.find("NntpPostServer elsewhere: no NntpServer line names this server\n"),
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

// A reply deliver posts, then the next collect of its group: the reply
// does not come back, an article from elsewhere does, and the group's log
// line counts the reply as passed. `overview` says whether the server
// offers OVER: then the reply is known by it, else by the Message-ID that
// STAT gives; either way before its body is asked for.
void own_post_does_not_come_back(const ScratchDir& dir, const std::string& server_lines,
                                 const std::string& group, bool overview,
                                 const std::function<bool(const std::string&)>& outside) {
  dir.write("q.cfg", minimal_config(dir) + server_lines + "NntpGroup " + group + "\n");
  ASSERT_TRUE(outside(article(group, "outside1")));
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  dir.write("soup/REPLIES", "news0000\tnews\tBn\n");
  dir.write("soup/news0000.MSG", framed_message(article(group, "own1")));
  r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("Delivered 0 mail(s) and 1 article(s)"), std::string::npos) << r.err;
  ASSERT_TRUE(outside(article(group, "outside2")));
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg", "/VERBOSE"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_sequence(dir / "soup"), (std::vector<std::string>{"outside1", "outside2"}));
  EXPECT_NE(r.err.find("News: 1 article(s) from " + group + " (skipped: 1 taken before)"),
            std::string::npos)
      << r.err;
  // Its body is never fetched: the overview names it, or else STAT does.
  EXPECT_EQ(r.err.find("> ARTICLE 2\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("> STAT 2\n") != std::string::npos, !overview) << r.err;
  // Nothing of it comes later either.
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_NE(r.err.find("Nothing new collected"), std::string::npos) << r.err;
}

TEST(SoupSideNews, OwnPostIsNotCollectedBackFromInnWithOverview) {
  std::string why = inn_unavailable();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  InnGroup group("echo");
  ASSERT_TRUE(group.ok());
  ScratchDir dir;
  own_post_does_not_come_back(dir, "NntpServer 127.0.0.1\n", group.name(), true,
                              [&](const std::string& a) { return post_article(dir, 119, a); });
  std::map<std::string, int> on_server = {{"outside1", 1}, {"own1", 1}, {"outside2", 1}};
  EXPECT_EQ(group_subjects(119, group.name()), on_server);
}

// The same on the stand-in server, without an overview and with one (where
// INN cannot serve: it does not run here, or pauses under load).
TEST(SoupSideNews, OwnPostIsNotCollectedBackFromTheStandInWithAndWithoutOverview) {
  for (bool overview : {false, true}) {
    SCOPED_TRACE(overview ? "with OVER" : "without OVER");
    ScratchDir dir;
    dir.mkdir("spool/local.echo");
    std::vector<std::string> args = {dir / "spool"};
    if (overview) args.push_back("--over");
    Peer nntp(dir, "nntp", args);
    ASSERT_NE(nntp.port(), 0) << read_file(dir / "nntp.log");
    int number = 0;
    own_post_does_not_come_back(
        dir, "NntpServer 127.0.0.1\nNntpPort " + std::to_string(nntp.port()) + "\n", "local.echo",
        overview, [&](const std::string& a) {
          // Numbered after what the server filed (the reply among them).
          while (exists(dir / ("spool/local.echo/" + std::to_string(number + 1)))) ++number;
          dir.write("spool/local.echo/" + std::to_string(++number), a);
          return true;
        });
    EXPECT_EQ(read_file(dir / "spool/local.echo/2"), article("local.echo", "own1"));
  }
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
  EXPECT_NE(r.err.find("article 1 of " + dir.path() + "/soup/news0000.MSG refused: 441"),
            std::string::npos)
      << r.err;
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
  // fetched, but the history passes what was taken before and the reply
  // the gateway posted itself (this server offers no overview: by the
  // Message-ID of each article fetched).
  r = run_soup(dir.path(), {"collect", "/C=./tls.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_subjects(dir / "soup"),
            (std::map<std::string, int>{{"s1", 1}, {"s2", 1}, {"s4", 1}}));
  EXPECT_NE(r.err.find("News: 1 article(s) from local.test (skipped: 3 taken before)"),
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

// A FidoNet reply whose names have 8-bit characters (CP437, as FidoNet
// editors write them) is exported with encoded words and accepted by INN,
// which refuses raw 8-bit header fields.
TEST(SoupSideNews, ReplyWithEightBitNamesIsAcceptedByInn) {
  std::string why = inn_unavailable();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  InnGroup group("names");
  ASSERT_TRUE(group.ok());
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir) + "AreaMap TEST.NEWS " + group.name() +
                         "\nNntpServer 127.0.0.1\nNntpPort 119\n");
  TestMessage m;
  m.from_name = "J\x81rgen M\x94ller";
  m.to_name = "Fran\x87ois";
  m.subject = "eightbit";
  // Written now: INN refuses articles dated long ago.
  char date[32];
  std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%d %b %y  %H:%M:%S", std::gmtime(&now));
  m.date = date;
  // A Message-ID of its own for every run: INN remembers those it has had.
  char msgid[16];
  std::snprintf(msgid, sizeof msgid, "%08lx",
                static_cast<unsigned long>(std::time(nullptr) ^ (::getpid() << 16)) & 0xFFFFFFFFul);
  m.text = "AREA:TEST.NEWS\r\x01MSGID: 2:345/1 " + std::string(msgid) +
           "\rText\r--- ed\r * Origin: here (2:345/1)\r";
  dir.mkdir("pkts");
  dir.write("pkts/IN.PKT", build_packet(FtnAddress{2, 345, 1, 0}, FtnAddress{2, 345, 6, 0}, {m}));
  RunResult r = run_quillmar(dir.path(), {"EXPORT", "/PKT=" + (dir / "pkts") + "/", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("1 article(s); 0 refused"), std::string::npos) << r.err;
  EXPECT_EQ(group_subjects(119, group.name()), (std::map<std::string, int>{{"eightbit", 1}}));
}

}  // namespace
}  // namespace quillmar::testing
