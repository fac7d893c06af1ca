// SIGKILL at many points of collect and deliver against real peers, with
// every message counted afterwards.
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
// flight: before each killed run the group gets a batch of new articles,
// so that every run has work to be cut in. Then a clean run: every article
// of the group is in the packet once, in the group's order, and the mark is
// its last article.
TEST(SoupSideKill, PipelinedCollectTakesEveryArticleOnceInOrder) {
  std::string why = inn_unavailable();
  if (!why.empty()) GTEST_SKIP() << why << "; test skipped";
  InnGroup group("pipe");
  ASSERT_TRUE(group.ok());
  constexpr int kBatches = 20;
  constexpr int kBatch = 100;  // a few windows of commands each
  std::string config = "NntpServer 127.0.0.1\nNntpGroup " + group.name() + "\nNntpFirstFetch 0\n";
  // A run of one batch, timed in a directory of its own, sets the range of
  // the kills.
  ASSERT_TRUE(fill_group(group.name(), "b0-", kBatch, 2000));
  ScratchDir timing;
  timing.write("q.cfg", minimal_config(timing) + config);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(run_soup(timing.path(), {"collect", "/C=./q.cfg"}).exit_code, 0);
  auto whole = std::chrono::duration_cast<microseconds>(std::chrono::steady_clock::now() - start);
  ASSERT_EQ(packet_sequence(timing / "soup").size(), static_cast<std::size_t>(kBatch));

  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir) + config);
  std::mt19937 random(20261210);
  std::uniform_int_distribution<long> delay(whole.count() / 10, whole.count() * 6 / 5);
  std::vector<std::string> expected = numbered("b0-", 0, kBatch - 1);
  for (int i = 0; i < kBatches; ++i) {
    if (i > 0) {
      std::string prefix = "b" + std::to_string(i) + "-";
      ASSERT_TRUE(fill_group(group.name(), prefix, kBatch, 2000));
      std::vector<std::string> batch = numbered(prefix, 0, kBatch - 1);
      expected.insert(expected.end(), batch.begin(), batch.end());
    }
    run_soup_killed(dir.path(), {"collect", "/C=./q.cfg"}, microseconds(delay(random)));
  }
  std::size_t before_clean_run = packet_sequence(dir / "soup").size();
  RunResult r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(packet_sequence(dir / "soup"), expected) << read_file(dir / "killed.log");
  EXPECT_EQ(read_file(dir / "soup/COLLECT.DAT"),
            "127.0.0.1:119\t" + group.name() + "\t" + std::to_string(kBatches * kBatch) + "\n");
  EXPECT_FALSE(exists(dir / "soup/COLLECT.JNL"));
  std::string log = read_file(dir / "killed.log") + r.err;
  std::size_t cut = 0;
  for (std::size_t at = log.find("left unfinished by a collect stopped before");
       at != std::string::npos; at = log.find("left unfinished by a collect", at + 1)) {
    ++cut;
  }
  std::cerr << "A run of one batch: " << whole.count() / 1000
            << " ms; runs killed while fetching: " << cut << " of " << kBatches
            << "; articles taken by the killed runs: " << before_clean_run << " of "
            << expected.size() << "\n";
  r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
  EXPECT_NE(r.err.find("Nothing new collected"), std::string::npos) << r.err;
  EXPECT_EQ(packet_sequence(dir / "soup").size(), expected.size());
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
    config += "NntpServer 127.0.0.1\nNntpGroup " + group->name() + "\n";
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
    // Every article went into the history before it was posted, however
    // the runs were killed: collect takes none of them back.
    r = run_soup(dir.path(), {"collect", "/C=./q.cfg"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(
        r.err.find("News: 0 article(s) from " + group->name() + " (skipped: 15 taken before)"),
        std::string::npos)
        << r.err;
    EXPECT_TRUE(packet_sequence(dir / "soup").empty());
  }
}

}  // namespace
}  // namespace quillmar::testing
