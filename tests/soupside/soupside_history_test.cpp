// quillmar-soup's history of Message-IDs against damage, and the news
// server's numbering against the history: a history cut short or scribbled
// over never stops collect (it is set aside, a new one started, and the
// messages taken without it counted); a renumbered group is taken again
// with each article once; a server without an overview gives the
// Message-IDs by STAT before any body is fetched.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include "soupside/soupside_fixture.hpp"
#include "soupside/soupside_messages.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

// The page size of an LMDB file: the first field of the free pages'
// record in the first meta page.
std::size_t page_size_of(const std::string& file) {
  uint32_t size = 0;
  std::memcpy(&size, file.data() + 40, sizeof size);
  return size;
}

struct Damage {
  const char* name;
  std::function<void(std::string&)> apply;
};

const std::vector<Damage>& damages() {
  static const std::vector<Damage> all = {
      {"cut within the first meta page", [](std::string& f) { f.resize(100); }},
      {"cut within the second meta page", [](std::string& f) { f.resize(page_size_of(f) + 100); }},
      {"cut after the meta pages", [](std::string& f) { f.resize(2 * page_size_of(f)); }},
      {"cut by its last page", [](std::string& f) { f.resize(f.size() - page_size_of(f)); }},
      {"first meta page scribbled", [](std::string& f) { std::memset(f.data() + 16, 0, 4); }},
      {"meta pages naming pages beyond the end",
       [](std::string& f) {
         uint64_t last = 1000;
         for (std::size_t meta : {std::size_t{0}, page_size_of(f)}) {
           std::memcpy(f.data() + meta + 136, &last, sizeof last);
         }
       }},
      {"data pages scribbled",
       [](std::string& f) {
         std::mt19937 random(7);
         for (std::size_t i = 2 * page_size_of(f); i < f.size(); ++i) {
           f[i] = static_cast<char>(random());
         }
       }},
      {"data pages without room left",
       [](std::string& f) {
         // Each page's upper bound of free room put at its lower one.
         std::size_t page = page_size_of(f);
         for (std::size_t at = 2 * page; at + page <= f.size(); at += page) {
           std::memcpy(f.data() + at + 14, f.data() + at + 12, 2);
         }
       }},
  };
  return all;
}

// A history cut short or scribbled over: collect ends normally, the
// history is set aside as HISTORY.BAD (the damaged bytes kept) and a new one
// started, the messages taken without it are counted, and the next run
// goes on with the new one without a word about the old.
TEST(SoupSideHistory, DamagedHistoryNeverStopsCollect) {
  std::string why = inn_unavailable();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  for (const Damage& damage : damages()) {
    SCOPED_TRACE(damage.name);
    InnGroup group("damage");
    ASSERT_TRUE(group.ok());
    ASSERT_TRUE(fill_group(group.name(), "d", 3));
    ScratchDir dir;
    auto config = [&](const char* server) {
      dir.write("q.cfg", minimal_config(dir) + "NntpServer " + server + "\nNntpGroup " +
                             group.name() + "\n");
    };
    config("127.0.0.1");
    RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string history = read_file(dir / "soup/HISTORY.MDB");
    ASSERT_GE(history.size(), 3 * page_size_of(history));
    damage.apply(history);
    dir.write("soup/HISTORY.MDB", history);
    ASSERT_TRUE(fill_group(group.name(), "e", 2));

    // Under another name the server's marks are new: what the history held
    // would be passed.
    config("localhost");
    r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string path = dir.path() + "/soup/HISTORY.MDB";
    EXPECT_NE(r.err.find("! the history " + path + " is damaged ("), std::string::npos) << r.err;
    EXPECT_NE(
        r.err.find("); set aside as " + dir.path() + "/soup/HISTORY.BAD, a new one is started"),
        std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("is damaged", r.err.find("is damaged") + 1), std::string::npos)
        << "said once: " << r.err;
    EXPECT_EQ(read_file(dir / "soup/HISTORY.BAD"), history);
    EXPECT_NE(r.err.find("News: 5 article(s) from " + group.name() + "\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("! 5 message(s) taken without the history to check them against; any "
                         "of them may have come before\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(packet_sequence(dir / "soup").size(), 8u);

    // The feed goes on: the new history passes the two new articles, which
    // the first name has not taken yet, and says nothing of the old one.
    config("127.0.0.1");
    r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("News: 0 article(s) from " + group.name() + " (skipped: 2 taken before)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("!"), std::string::npos) << r.err;
  }
}

// The stand-in server (no overview) renumbers its group: articles 1 to 6
// are taken; the group is rebuilt with 5 and 6 as 1 and 2, and two new
// articles as 3 and 4. Collect says so, takes the new ones, passes the old
// ones by their STAT answers without fetching them, and goes on from the
// new numbers.
TEST(SoupSideHistory, RenumberedGroupGivesEachArticleOnce) {
  ScratchDir dir;
  const std::string spool = "spool/local.renum/";
  dir.mkdir(spool);
  for (int i = 1; i <= 6; ++i) {
    dir.write(spool + std::to_string(i), article("local.renum", "r" + std::to_string(i)));
  }
  Peer nntp(dir, "nntp", {dir / "spool"});
  ASSERT_NE(nntp.port(), 0) << read_file(dir / "nntp.log");
  dir.write("q.cfg", minimal_config(dir) + "NntpServer localhost\nNntpPort " +
                         std::to_string(nntp.port()) + "\nNntpGroup local.renum\n");
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_sequence(dir / "soup"), numbered("r", 1, 6));

  for (int i = 1; i <= 6; ++i) fs::remove(dir / (spool + std::to_string(i)));
  dir.write(spool + "1", article("local.renum", "r5"));
  dir.write(spool + "2", article("local.renum", "r6"));
  dir.write(spool + "3", article("local.renum", "n1"));
  dir.write(spool + "4", article("local.renum", "n2"));
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg", "/VERBOSE"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("! group local.renum was renumbered: the server's last article 4 is below "
                       "the one taken before (6); the group is taken again from article 1, "
                       "passing the articles the history has\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("News: 2 article(s) from local.renum (skipped: 2 taken before)"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("> STAT 1\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("> ARTICLE 1\n"), std::string::npos) << "no body fetched twice: " << r.err;
  EXPECT_EQ(r.err.find("> ARTICLE 2\n"), std::string::npos) << "no body fetched twice: " << r.err;
  std::vector<std::string> all = numbered("r", 1, 6);
  all.insert(all.end(), {"n1", "n2"});
  EXPECT_EQ(packet_sequence(dir / "soup"), all);
  EXPECT_NE(read_file(dir / "soup/COLLECT.DAT").find("\tlocal.renum\t4\n"), std::string::npos)
      << read_file(dir / "soup/COLLECT.DAT");

  // The next article of the new numbering comes once, and the group is
  // not renumbered again.
  dir.write(spool + "5", article("local.renum", "n3"));
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find("renumbered"), std::string::npos) << r.err;
  all.push_back("n3");
  EXPECT_EQ(packet_sequence(dir / "soup"), all);
}

// Two servers with the same articles, the second (the stand-in) without an
// overview: its articles' Message-IDs come by STAT, and only the one
// article INN does not have is fetched from it.
TEST(SoupSideHistory, SecondServerWithoutOverviewFetchesNoBodyTwice) {
  std::string why = inn_unavailable();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  InnGroup group("nobody");
  ASSERT_TRUE(group.ok());
  ScratchDir dir;
  ASSERT_TRUE(post_to_inn_and_spool(dir, group.name(), "b", 5));
  Peer nntp(dir, "nntp", {dir / "spool"});
  ASSERT_NE(nntp.port(), 0) << read_file(dir / "nntp.log");
  dir.write("q.cfg", minimal_config(dir) + "NntpServer 127.0.0.1\nNntpGroup " + group.name() +
                         "\nNntpServer localhost\nNntpPort " + std::to_string(nntp.port()) +
                         "\nNntpGroup " + group.name() + "\n");
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg", "/VERBOSE"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_sequence(dir / "soup"),
            (std::vector<std::string>{"b0", "b1", "b2", "b3", "b4", "extra"}));
  std::size_t second = r.err.find("> GROUP ", r.err.find("> GROUP ") + 1);
  ASSERT_NE(second, std::string::npos) << r.err;
  std::string talk = r.err.substr(second);
  for (int n = 1; n <= 6; ++n) {
    EXPECT_NE(talk.find("> STAT " + std::to_string(n) + "\n"), std::string::npos) << talk;
    EXPECT_EQ(talk.find("> ARTICLE " + std::to_string(n) + "\n") != std::string::npos, n == 6)
        << "article " << n << ": " << talk;
  }
  EXPECT_NE(talk.find("News: 1 article(s) from " + group.name() + " (skipped: 5 taken before)"),
            std::string::npos)
      << talk;
}

}  // namespace
}  // namespace quillmar::testing
