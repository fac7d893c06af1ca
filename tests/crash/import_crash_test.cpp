// IMPORT killed at any moment, cut off by a full disk, run twice at once or
// beside a SOUP program and another list writer: afterwards every message
// is in the inbound exactly once, every list reply is listed exactly once,
// and no packet is torn.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "import/packet_reader.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kMails = 150;
constexpr int kArticles = 100;
constexpr int kSubscribers = 20;
constexpr int kPostings = 10;

std::string framed(const std::string& text) {
  std::string out(4, '\0');
  uint32_t n = static_cast<uint32_t>(text.size());
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((n >> (24 - 8 * i)) & 0xFF);
  return out + text;
}

std::string mail(int i) {
  return "From: Ann <ann@example.net>\nTo: sysop@example.org\nSubject: mail " + std::to_string(i) +
         "\nMessage-ID: <m" + std::to_string(i) + "@example.net>\n\n" + std::string(200, 'x') +
         "\n";
}

std::string article(int i) {
  std::string text = "From: bob@example.com\nNewsgroups: comp.test\nSubject: article " +
                     std::to_string(i) + "\n\nText " + std::to_string(i) + ".\n";
  return "#! rnews " + std::to_string(text.size()) + "\n" + text;
}

std::string subscriber(int i) {
  return "user" + std::to_string(i) + "@example.net";
}

// Subscriptions, and postings by members who have just subscribed.
std::string list_traffic() {
  std::string out;
  for (int i = 0; i < kSubscribers; ++i) {
    out += framed("From: User " + std::to_string(i) + " <" + subscriber(i) +
                  ">\nTo: list@example.org\nSubject: subscribe\n\nplease\n");
    if (i < kPostings) {
      out += framed("From: <" + subscriber(i) + ">\nTo: list@example.org\nSubject: posting " +
                    std::to_string(i) + "\nMessage-ID: <p" + std::to_string(i) +
                    "@example.net>\n\nhello list\n");
    }
  }
  return out;
}

int exit_code(int status) {
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What a directory holds after the runs, counted.
struct Outcome {
  std::map<std::string, int> fido;     // FidoNet subjects in the inbound packets
  std::map<std::string, int> replies;  // list replies listed in REPLIES, by a key line
  std::vector<std::string> problems;
};

class ImportCrashTest : public ::testing::Test {
 protected:
  void SetUp() override { install(dir_); }

  void install(const ScratchDir& dir, const std::string& extra = "") {
    dir.write("q.cfg", minimal_config(dir) + "MaxPKTSize 8\nListConfig " + dir.path() +
                           "/list.cfg\n" + extra);
    dir.write("list.cfg",
              "ListName Test list\nListAddress list@example.org\nListArea TEST.LIST\n"
              "Welcome " +
                  dir.path() + "/welcome.txt\nListUsers\n");
    dir.write("welcome.txt", "Welcome to @LISTNAME@, @YOURADDRESS@.\n");
  }

  void write_soup(const ScratchDir& dir) {
    std::string mails;
    for (int i = 0; i < kMails; ++i) mails += framed(mail(i));
    std::string news;
    for (int i = 0; i < kArticles; ++i) news += article(i);
    dir.write("soup/AREAS", "MAIL\tEmail\tbn\nNEWS\tcomp.test\tun\nLIST\tEmail\tbn\n");
    dir.write("soup/MAIL.MSG", mails);
    dir.write("soup/NEWS.MSG", news);
    dir.write("soup/LIST.MSG", list_traffic());
  }

  std::string command(const ScratchDir& dir, const std::string& prefix = "") {
    return "cd '" + dir.path() + "' && ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 " +
           prefix + "'" + QUILLMAR_BINARY "' IMPORT /C=./q.cfg";
  }

  // A run under strace that is killed at the syscall `inject` names; the
  // exit code (137 when killed).
  int killed_run(const ScratchDir& dir, const std::string& inject) {
    std::string cmd =
        command(dir, "strace -f -qq -o /dev/null -e inject=" + inject + " ") + " >/dev/null 2>&1";
    return exit_code(std::system(cmd.c_str()));
  }

  int plain_run(const ScratchDir& dir, std::string* err = nullptr) {
    std::string cmd = command(dir) + " >/dev/null 2>" + dir.path() + "/err.txt";
    int code = exit_code(std::system(cmd.c_str()));
    if (err != nullptr) *err = read_file(dir / "err.txt");
    return code;
  }

  Outcome outcome(const ScratchDir& dir) {
    Outcome o;
    for (const auto& e : fs::directory_iterator(dir / "in")) {
      std::string path = e.path().string();
      if (e.path().extension() != ".PKT") {
        o.problems.push_back("left in the inbound: " + path);
        continue;
      }
      bool ok = false;
      for (const FidoMessage& m : read_packet(path, &ok)) ++o.fido[m.subject];
      if (!ok) o.problems.push_back("torn packet " + path);
    }
    std::vector<std::string> listed;
    std::string replies = exists(dir / "soup/REPLIES") ? read_file(dir / "soup/REPLIES") : "";
    for (std::size_t pos = 0; pos < replies.size();) {
      std::size_t end = replies.find('\n', pos);
      std::string line = replies.substr(pos, end - pos);
      pos = end == std::string::npos ? replies.size() : end + 1;
      std::string file = line.substr(0, line.find('\t')) + ".MSG";
      listed.push_back(file);
      bool ok = false;
      for (const std::string& m : split_framed(read_file(dir / ("soup/" + file)), &ok)) {
        std::size_t at = m.find("Welcome to Test list, ");
        if (at != std::string::npos) ++o.replies[m.substr(at, m.find('\n', at) - at)];
        at = m.find("\nSubject: posting ");
        if (at != std::string::npos) ++o.replies[m.substr(at + 1, m.find('\n', at + 1) - at - 1)];
      }
      if (!ok) o.problems.push_back("torn reply file " + file);
    }
    for (const auto& e : fs::directory_iterator(dir / "soup")) {
      std::string name = e.path().filename().string();
      if (name == "REPLIES") continue;
      if (std::find(listed.begin(), listed.end(), name) == listed.end()) {
        o.problems.push_back("left in the SOUP directory: " + name);
      }
    }
    return o;
  }

  // Every message of write_soup exactly once; nothing else left behind.
  void expect_exactly_once(const ScratchDir& dir, const std::string& label) {
    Outcome o = outcome(dir);
    EXPECT_TRUE(o.problems.empty()) << label << ": " << o.problems.front();
    std::map<std::string, int> fido_expected;
    for (int i = 0; i < kMails; ++i) fido_expected["mail " + std::to_string(i)] = 1;
    for (int i = 0; i < kArticles; ++i) fido_expected["article " + std::to_string(i)] = 1;
    for (int i = 0; i < kPostings; ++i) fido_expected["posting " + std::to_string(i)] = 1;
    std::map<std::string, int> replies_expected;
    for (int i = 0; i < kSubscribers; ++i) {
      replies_expected["Welcome to Test list, " + subscriber(i) + "."] = 1;
    }
    for (int i = 0; i < kPostings; ++i) {
      replies_expected["Subject: posting " + std::to_string(i)] = 1;
    }
    EXPECT_EQ(o.fido, fido_expected) << label;
    EXPECT_EQ(o.replies, replies_expected) << label;
    // The list holds every subscriber once.
    std::string list = read_file(dir / "list.cfg");
    for (int i = 0; i < kSubscribers; ++i) {
      std::string record = "+\n" + subscriber(i) + "\n";
      std::size_t first = list.find(record);
      EXPECT_NE(first, std::string::npos) << label << ": " << subscriber(i);
      EXPECT_EQ(list.find(record, first + 1), std::string::npos) << label << ": " << subscriber(i);
    }
  }

  // Kills a run at the n-th call of `syscall`, for n = 1, 1 + step, ...,
  // until a run ends by itself; each time the next runs must deliver every
  // message exactly once. The number of kills made.
  int sweep(const std::string& syscall, int step, const std::string& extra = "") {
    int kills = 0;
    for (int n = 1; n < 400; n += step) {
      ScratchDir dir;
      install(dir, extra);
      write_soup(dir);
      std::string label = syscall + " #" + std::to_string(n);
      int code = killed_run(dir, syscall + ":signal=SIGKILL:when=" + std::to_string(n));
      if (code != 137) {
        EXPECT_EQ(code, 0) << label;
        break;
      }
      ++kills;
      std::string err;
      EXPECT_EQ(plain_run(dir, &err), 0) << label << "\n" << err;
      expect_exactly_once(dir, label);
      if (::testing::Test::HasFailure()) break;
    }
    return kills;
  }

  ScratchDir dir_;
};

TEST_F(ImportCrashTest, ARunThatIsNotKilledDeliversEverythingOnce) {
  write_soup(dir_);
  std::string err;
  ASSERT_EQ(plain_run(dir_, &err), 0) << err;
  expect_exactly_once(dir_, "plain run");
  // Nothing of the run's own is left: no lock file, journal or claimed file.
  EXPECT_FALSE(exists(dir_ / "soup/QUILLMAR.LCK"));
}

class ImportKillTest : public ImportCrashTest,
                       public ::testing::WithParamInterface<std::pair<const char*, int>> {};

TEST_P(ImportKillTest, EveryMessageOnceAfterAKill) {
  if (!have_program("strace")) GTEST_SKIP() << "strace is not installed";
  int kills = sweep(GetParam().first, GetParam().second);
  EXPECT_GT(kills, 2) << "the run was hardly ever killed";
}

INSTANTIATE_TEST_SUITE_P(Syscalls, ImportKillTest,
                         ::testing::Values(std::make_pair("unlink", 1), std::make_pair("rename", 1),
                                           std::make_pair("renameat2", 2),
                                           std::make_pair("fsync", 5),
                                           std::make_pair("openat", 23)),
                         [](const auto& info) { return std::string(info.param.first); });

// With SeparateMSG each reply is committed and listed with its message, in
// a file of its own, while the packets go on: kills between those commits.
TEST_F(ImportCrashTest, SeparateRepliesOnceAfterAKill) {
  if (!have_program("strace")) GTEST_SKIP() << "strace is not installed";
  write_soup(dir_);
  dir_.write("q.cfg", read_file(dir_ / "q.cfg") + "SeparateMSG Yes\n");
  std::string err;
  ASSERT_EQ(plain_run(dir_, &err), 0) << err;
  expect_exactly_once(dir_, "SeparateMSG");
  std::string replies = read_file(dir_ / "soup/REPLIES");
  EXPECT_EQ(std::count(replies.begin(), replies.end(), '\n'), kSubscribers + kPostings);
  EXPECT_GT(sweep("rename", 4, "SeparateMSG Yes\n"), 2);
}

// A full disk at several sizes: the run says so, nothing is lost, and once
// there is room again everything arrives once.
TEST_F(ImportCrashTest, AFullDiskLosesNothing) {
  for (rlim_t limit : {1024, 4096, 6000, 7000}) {
    ScratchDir dir;
    install(dir);
    write_soup(dir);
    int code = -1;
    std::string err;
    with_file_size_limit(limit, [&] { code = plain_run(dir, &err); });
    EXPECT_EQ(code, 2) << "limit " << limit << "\n" << err;
    std::string again;
    EXPECT_EQ(plain_run(dir, &again), 0) << again;
    expect_exactly_once(dir, "limit " + std::to_string(limit));
  }
}

}  // namespace
}  // namespace quillmar::testing
