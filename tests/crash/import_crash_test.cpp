// IMPORT killed at any moment, cut off by a full disk, run twice at once or
// beside a SOUP program and another list writer: afterwards every message
// is in the inbound exactly once, every list reply is listed exactly once,
// and no packet is torn.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <map>
#include <ostream>
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

// Some mails carry a uuencoded file, decoded into the inbound.
bool has_file(int i) {
  return i % 50 == 7;
}

std::string mail(int i) {
  std::string text = "From: Ann <ann@example.net>\nTo: sysop@example.org\nSubject: mail " +
                     std::to_string(i) + "\nMessage-ID: <m" + std::to_string(i) +
                     "@example.net>\n\n" + std::string(200, 'x') + "\n";
  if (has_file(i)) {
    text += "begin 644 att" + std::to_string(i) + ".bin\nM" + std::string(60, 'A') + "\n`\nend\n";
  }
  return text;
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

pid_t start_background(const std::string& cmd) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

int wait_for(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return exit_code(status);
}

// An exclusive lock held by the test, as another program would hold it.
int hold_lock(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0 && ::flock(fd, LOCK_EX) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void pause_ms(int ms) {
  ::usleep(static_cast<useconds_t>(ms) * 1000);
}

// What a directory holds after the runs, counted.
struct Outcome {
  std::map<std::string, int> fido;     // FidoNet subjects in the inbound packets
  std::vector<std::string> files;      // decoded files in the inbound
  std::map<std::string, int> replies;  // list replies listed in REPLIES, by a key line
  std::vector<std::string> problems;
};

// The keys counted otherwise than expected, with both counts.
std::string differences(const std::map<std::string, int>& got,
                        const std::map<std::string, int>& expected) {
  std::string out;
  std::map<std::string, int> all = expected;
  for (const auto& [key, n] : got) all.emplace(key, 0);
  for (const auto& [key, ignored] : all) {
    auto g = got.find(key);
    auto e = expected.find(key);
    int have = g == got.end() ? 0 : g->second;
    int want = e == expected.end() ? 0 : e->second;
    if (have != want) {
      out +=
          "\"" + key + "\": " + std::to_string(have) + " instead of " + std::to_string(want) + "\n";
    }
  }
  return out;
}

class ImportCrashTest : public ::testing::Test {
 protected:
  void SetUp() override { install(dir_); }

  // Whether the file system of `dir` makes files without a name: decoded
  // files are named with linkat there, else created under their names.
  static bool unnamed_files(const ScratchDir& dir) {
    int fd = ::open(dir.path().c_str(), O_TMPFILE | O_WRONLY, 0644);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }

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
      if (e.path().filename().string().rfind("att", 0) == 0) {
        o.files.push_back(e.path().filename().string());
        continue;
      }
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
    // A mail with a file is a file attach: its subject names the file.
    for (int i = 0; i < kMails; ++i) {
      fido_expected[has_file(i) ? "att" + std::to_string(i) + ".bin"
                                : "mail " + std::to_string(i)] = 1;
    }
    for (int i = 0; i < kArticles; ++i) fido_expected["article " + std::to_string(i)] = 1;
    for (int i = 0; i < kPostings; ++i) fido_expected["posting " + std::to_string(i)] = 1;
    std::map<std::string, int> replies_expected;
    for (int i = 0; i < kSubscribers; ++i) {
      replies_expected["Welcome to Test list, " + subscriber(i) + "."] = 1;
    }
    for (int i = 0; i < kPostings; ++i) {
      replies_expected["Subject: posting " + std::to_string(i)] = 1;
    }
    EXPECT_EQ(differences(o.fido, fido_expected), "") << label;
    std::vector<std::string> files_expected;
    for (int i = 0; i < kMails; ++i) {
      if (has_file(i)) files_expected.push_back("att" + std::to_string(i) + ".bin");
    }
    std::sort(o.files.begin(), o.files.end());
    std::sort(files_expected.begin(), files_expected.end());
    EXPECT_EQ(o.files, files_expected) << label;
    EXPECT_EQ(differences(o.replies, replies_expected), "") << label;
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

// A system call and from which of its calls on the run is killed.
struct KillFrom {
  const char* syscall;
  int first;
};
void PrintTo(const KillFrom& k, std::ostream* os) {
  *os << k.syscall << " from call " << k.first;
}

class ImportKillTest : public ImportCrashTest, public ::testing::WithParamInterface<KillFrom> {};

TEST_P(ImportKillTest, EveryMessageOnceAfterAKill) {
  if (!have_program("strace")) GTEST_SKIP() << "strace is not installed";
  if (std::string(GetParam().syscall) == "linkat" && !unnamed_files(dir_)) {
    GTEST_SKIP() << "no files without a name here";
  }
  int kills = sweep(GetParam().syscall, GetParam().first);
  EXPECT_GT(kills, 2) << "the run was hardly ever killed";
}

INSTANTIATE_TEST_SUITE_P(Syscalls, ImportKillTest,
                         ::testing::Values(KillFrom{"unlink", 1}, KillFrom{"rename", 1},
                                           KillFrom{"renameat2", 2}, KillFrom{"fsync", 5},
                                           KillFrom{"linkat", 1}, KillFrom{"openat", 23}),
                         [](const auto& info) { return std::string(info.param.syscall); });

// A decoded file waits without a name until its note is on disk. Killed
// before it was named, the next run leaves alone the file another program
// put under that name meanwhile; and a name taken just before the file
// gets it gives the file the next free name instead.
TEST_F(ImportCrashTest, ADecodedFileNeverTakesAnotherProgramsName) {
  if (!have_program("strace")) GTEST_SKIP() << "strace is not installed";
  if (!unnamed_files(dir_)) GTEST_SKIP() << "no files without a name here";
  write_soup(dir_);
  ASSERT_EQ(killed_run(dir_, "linkat:signal=SIGKILL:when=1"), 137);
  dir_.write("in/att57.bin", "another program's file");
  std::string err;
  ASSERT_EQ(plain_run(dir_, &err), 0) << err;
  EXPECT_EQ(read_file(dir_ / "in/att57.bin"), "another program's file");
  EXPECT_EQ(fs::file_size(dir_ / "in/att57.bi0"), 45u);
  EXPECT_EQ(fs::file_size(dir_ / "in/att7.bin"), 45u);
  EXPECT_EQ(fs::file_size(dir_ / "in/att107.bin"), 45u);

  ScratchDir taken;
  install(taken);
  write_soup(taken);
  std::string cmd =
      command(taken, "strace -f -qq -o /dev/null -e inject=linkat:error=EEXIST:when=1 ") +
      " >/dev/null 2>" + taken.path() + "/err.txt";
  ASSERT_EQ(exit_code(std::system(cmd.c_str())), 0) << read_file(taken / "err.txt");
  std::string log = read_file(taken / "err.txt");
  EXPECT_NE(log.find("att7.bin saved as "), std::string::npos) << log;
  EXPECT_NE(log.find("att7.bi0: the name was taken meanwhile"), std::string::npos) << log;
  EXPECT_FALSE(exists(taken / "in/att7.bin"));
  EXPECT_EQ(fs::file_size(taken / "in/att7.bi0"), 45u);
  EXPECT_EQ(fs::file_size(taken / "in/att57.bin"), 45u);
}

// A killed run frees the inodes of its waiting files, and the file system
// soon gives one to a new file. Another program that writes a file under a
// temporary name and renames it (as mailers do) may put a file with such an
// inode under the very name the note holds: the next run leaves it alone.
TEST_F(ImportCrashTest, AFileThatGotTheInodeOfAKilledRunsFileIsLeftAlone) {
  if (!have_program("strace")) GTEST_SKIP() << "strace is not installed";
  if (!unnamed_files(dir_)) GTEST_SKIP() << "no files without a name here";
  write_soup(dir_);
  ASSERT_EQ(killed_run(dir_, "linkat:signal=SIGKILL:when=1"), 137);
  // The waiting files' notes: inode -> name.
  std::map<uint64_t, std::string> noted;
  std::string journal = read_file(dir_ / "soup/IMPORT.JNL");
  for (std::size_t pos = 0; (pos = journal.find("\nfile\t", pos)) != std::string::npos;) {
    std::size_t end = journal.find('\n', pos + 1);
    std::string line = journal.substr(pos + 6, end - pos - 6);
    pos = end;
    std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string path = line.substr(0, tab);
    std::string name = path.substr(path.find_last_of("\\/") + 1);
    noted[std::stoull(line.substr(tab + 1))] = name;
  }
  ASSERT_EQ(noted.size(), 3u) << journal;
  std::vector<std::string> parts;
  std::string taken;
  for (int i = 0; i < 2000 && taken.empty(); ++i) {
    std::string part = dir_.write("in/.part" + std::to_string(i), "another program's file");
    struct stat st;
    auto it = ::stat(part.c_str(), &st) == 0 ? noted.find(st.st_ino) : noted.end();
    if (it != noted.end() && !exists(dir_ / ("in/" + it->second))) {
      fs::rename(part, dir_ / ("in/" + it->second));
      taken = it->second;
    } else {
      parts.push_back(part);
    }
  }
  for (const std::string& part : parts) fs::remove(part);
  if (taken.empty()) GTEST_SKIP() << "the file system gave no freed inode again";
  std::string err;
  ASSERT_EQ(plain_run(dir_, &err), 0) << err;
  EXPECT_EQ(read_file(dir_ / ("in/" + taken)), "another program's file") << taken;
}

// A run under /TEST after a killed one (whose journal goes on) writes its
// decoded files under their names, as any /TEST run does.
TEST_F(ImportCrashTest, ATestRunAfterAKilledRunWritesItsDecodedFiles) {
  if (!have_program("strace")) GTEST_SKIP() << "strace is not installed";
  if (!unnamed_files(dir_)) GTEST_SKIP() << "no files without a name here";
  write_soup(dir_);
  ASSERT_EQ(killed_run(dir_, "linkat:signal=SIGKILL:when=1"), 137);
  // The SOUP program has unpacked the next packet meanwhile.
  std::string mails;
  for (int i = 0; i < kMails; ++i) mails += framed(mail(i));
  dir_.write("soup/AREAS", "NEXT\tEmail\tbn\n");
  dir_.write("soup/NEXT.MSG", mails);
  std::string cmd = "cd '" + dir_.path() +
                    "' && ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 '" QUILLMAR_BINARY
                    "' IMPORT /TEST /C=./q.cfg >/dev/null 2>err.txt";
  ASSERT_EQ(exit_code(std::system(cmd.c_str())), 0) << read_file(dir_ / "err.txt");
  for (const std::string name : {"att7.bin", "att57.bin", "att107.bin"}) {
    std::string path = dir_ / ("in/" + name);
    ASSERT_TRUE(exists(path)) << name;
    EXPECT_EQ(fs::file_size(path), 45u) << name;
  }
}

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
  EXPECT_GT(sweep("rename", 6, "SeparateMSG Yes\n"), 2);
}

// Killed by the clock at arbitrary moments, the run that completes it
// killed as well: a third run still delivers everything once.
TEST_F(ImportCrashTest, KilledTwiceByTheClockEveryMessageOnce) {
  for (int delay : {40, 90, 160, 250, 400, 600}) {
    ScratchDir dir;
    install(dir);
    write_soup(dir);
    std::string run = "cd '" + dir.path() +
                      "' && ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 exec '" +
                      QUILLMAR_BINARY "' IMPORT /C=./q.cfg >/dev/null 2>&1";
    for (int kill_after : {delay, delay / 2}) {
      pid_t pid = start_background(run);
      pause_ms(kill_after);
      ::kill(pid, SIGKILL);
      wait_for(pid);
    }
    std::string err;
    EXPECT_EQ(plain_run(dir, &err), 0) << err;
    expect_exactly_once(dir, "killed after " + std::to_string(delay) + " ms");
  }
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

// A second run while another holds the lock waits LockWait seconds, then
// ends with 75 and a message naming the lock file, having touched nothing
// (not even the log).
TEST_F(ImportCrashTest, ASecondRunWaitsThenEndsBusy) {
  install(dir_, "LockWait 1\nLogFile " + dir_.path() + "/q.log\n");
  write_soup(dir_);
  std::string lock = dir_ / "soup/QUILLMAR.LCK";
  int fd = hold_lock(lock);
  ASSERT_GE(fd, 0);
  std::string err;
  EXPECT_EQ(plain_run(dir_, &err), 75);
  EXPECT_NE(err.find("Another run of Quillmar holds " + dir_.path() + "/soup/QUILLMAR.LCK"),
            std::string::npos)
      << err;
  EXPECT_TRUE(exists(dir_ / "soup/AREAS"));
  EXPECT_TRUE(exists(dir_ / "soup/MAIL.MSG"));
  EXPECT_FALSE(exists(dir_ / "q.log"));
  EXPECT_TRUE(fs::is_empty(dir_ / "in"));
  // EXPORT and PACK take the same lock; CHECK takes none.
  EXPECT_EQ(run_quillmar(dir_.path(), {"EXPORT", "/C=./q.cfg"}).exit_code, 75);
  EXPECT_EQ(run_quillmar(dir_.path(), {"PACK", "/C=./q.cfg"}).exit_code, 75);
  EXPECT_FALSE(exists(dir_ / "q.log"));
  EXPECT_EQ(run_quillmar(dir_.path(), {"CHECK", "/C=./q.cfg"}).exit_code, 0);
  ::close(fd);
  // Once the lock is free the run goes ahead and removes its lock file.
  EXPECT_EQ(plain_run(dir_, &err), 0) << err;
  expect_exactly_once(dir_, "after the lock");
  EXPECT_FALSE(exists(lock));
}

// The holder removes the lock file as it ends; a run that had opened the
// old file and a run that created a new one must not both go ahead.
TEST_F(ImportCrashTest, ALockFileRemovedByItsHolderIsTakenAgain) {
  install(dir_, "LockWait 20\n");
  write_soup(dir_);
  std::string lock = dir_ / "soup/QUILLMAR.LCK";
  int first = hold_lock(lock);
  ASSERT_GE(first, 0);
  pid_t waiting = start_background(command(dir_) + " >/dev/null 2>&1");
  pause_ms(700);
  // The holder ends: its file goes; a third run has already made a new one.
  ASSERT_EQ(::unlink(lock.c_str()), 0);
  int third = hold_lock(lock);
  ASSERT_GE(third, 0);
  ::close(first);
  pause_ms(1000);
  EXPECT_TRUE(exists(dir_ / "soup/AREAS")) << "the waiting run went ahead beside the third";
  ::close(third);
  EXPECT_EQ(wait_for(waiting), 0);
  expect_exactly_once(dir_, "after the relock");
}

TEST_F(ImportCrashTest, TwoRunsStartedAtOnceImportEachMessageOnce) {
  write_soup(dir_);
  pid_t a = start_background(command(dir_) + " >/dev/null 2>&1");
  pid_t b = start_background(command(dir_) + " >/dev/null 2>&1");
  EXPECT_EQ(wait_for(a), 0);
  EXPECT_EQ(wait_for(b), 0);
  expect_exactly_once(dir_, "two runs");
}

// The SOUP program unpacks a new packet while IMPORT works: the new AREAS
// and message file are left whole for the next run. Every message file of
// a claimed AREAS is claimed with it, so a new file under the name of one
// the run has still to read (NEWS) replaces nothing either.
TEST_F(ImportCrashTest, ASoupPacketUnpackedDuringTheRunWaitsForTheNext) {
  if (!have_program("strace")) GTEST_SKIP() << "strace is not installed";
  struct Case {
    const char* pause;   // where the run waits while the packet is unpacked
    const char* prefix;  // the name of the new packet's message file
  };
  for (const Case& c : {Case{"renameat2:delay_exit=1500000:when=2", "MAIL"},
                        Case{"fsync:delay_exit=1500000:when=1", "NEWS"}}) {
    SCOPED_TRACE(c.prefix);
    ScratchDir dir;
    install(dir);
    write_soup(dir);
    pid_t run = start_background(
        command(dir, std::string("strace -f -qq -o /dev/null -e inject=") + c.pause + " ") +
        " >/dev/null 2>&1");
    pause_ms(700);
    ASSERT_TRUE(exists(dir / "soup/AREAS.QIA"));
    ASSERT_FALSE(exists(dir / (std::string("soup/") + c.prefix + ".MSG")));
    std::string extra;
    for (int i = 0; i < 5; ++i) extra += framed(mail(1000 + i));
    std::string areas = std::string(c.prefix) + "\tEmail\tbn\n";
    dir.write("soup/AREAS", areas);
    dir.write(std::string("soup/") + c.prefix + ".MSG", extra);
    EXPECT_EQ(wait_for(run), 0);
    EXPECT_EQ(read_file(dir / (std::string("soup/") + c.prefix + ".MSG")), extra);
    EXPECT_EQ(read_file(dir / "soup/AREAS"), areas);
    std::string err;
    EXPECT_EQ(plain_run(dir, &err), 0) << err;
    Outcome o = outcome(dir);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(o.fido["mail " + std::to_string(1000 + i)], 1) << i;
    for (int i = 0; i < 5; ++i) o.fido.erase("mail " + std::to_string(1000 + i));
    EXPECT_EQ(o.fido.size(), static_cast<std::size_t>(kMails + kArticles + kPostings));
    EXPECT_TRUE(o.problems.empty()) << o.problems.front();
  }
}

// A writer that still holds the message file appends to it after the
// claim: the run reads only what was there, and the next run the rest.
TEST_F(ImportCrashTest, AMessageFileThatGrowsAfterTheClaimIsFinishedLater) {
  if (!have_program("strace")) GTEST_SKIP() << "strace is not installed";
  write_soup(dir_);
  int writer = ::open((dir_ / "soup/MAIL.MSG").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  pid_t run = start_background(
      command(dir_, "strace -f -qq -o /dev/null -e inject=renameat2:delay_exit=1500000:when=2 ") +
      " >/dev/null 2>&1");
  pause_ms(700);
  ASSERT_TRUE(exists(dir_ / "soup/MAIL.QIM"));
  std::string extra;
  for (int i = 0; i < 5; ++i) extra += framed(mail(2000 + i));
  ASSERT_EQ(::write(writer, extra.data(), extra.size()), static_cast<ssize_t>(extra.size()));
  ::close(writer);
  EXPECT_EQ(wait_for(run), 0);
  std::string err;
  EXPECT_EQ(plain_run(dir_, &err), 0) << err;
  Outcome o = outcome(dir_);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(o.fido["mail " + std::to_string(2000 + i)], 1) << i;
  EXPECT_EQ(o.fido["mail 0"], 1);
  EXPECT_EQ(o.fido["mail 149"], 1);
  EXPECT_TRUE(o.problems.empty()) << o.problems.front();
}

// Another program (PACK of an older run, an editor) holds the list while
// IMPORT subscribes, and replaces it: IMPORT waits, reads the new file and
// adds its members there.
TEST_F(ImportCrashTest, AListHeldAndReplacedByAnotherProgramIsWaitedForAndReadAgain) {
  write_soup(dir_);
  std::string list = dir_ / "list.cfg";
  int holder = hold_lock(list);
  ASSERT_GE(holder, 0);
  pid_t run = start_background(command(dir_) + " >/dev/null 2>&1");
  pause_ms(1500);
  std::string packed = read_file(list) + "+\nold@example.net\n\n1\n\n";
  dir_.write("list.tmp", "; packed\n" + packed);
  ASSERT_EQ(::rename((dir_ / "list.tmp").c_str(), list.c_str()), 0);
  ::close(holder);
  EXPECT_EQ(wait_for(run), 0);
  std::string now = read_file(list);
  EXPECT_EQ(now.rfind("; packed\n", 0), 0u) << now;
  EXPECT_NE(now.find("+\nold@example.net\n"), std::string::npos);
  expect_exactly_once(dir_, "list replaced");
}

// A SOUP directory IMPORT cannot change: nothing is imported (it could not
// be consumed, so it would come again on every run), and the exit code
// says so.
TEST_F(ImportCrashTest, AReadOnlySoupDirectoryImportsNothingAndSaysSo) {
  write_soup(dir_);
  std::string as_user;
  if (::geteuid() == 0) {
    if (!have_program("setpriv")) GTEST_SKIP() << "root, and setpriv is not installed";
    as_user = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    fs::permissions(dir_.path(), fs::perms::all, fs::perm_options::add);
    fs::permissions(dir_ / "in", fs::perms::all, fs::perm_options::add);
    fs::permissions(dir_ / "tmp", fs::perms::all, fs::perm_options::add);
    for (const char* f : {"list.cfg", "q.cfg", "welcome.txt"}) {
      fs::permissions(dir_ / f, fs::perms::others_read, fs::perm_options::add);
    }
  }
  fs::permissions(dir_ / "soup", fs::perms::owner_write, fs::perm_options::remove);
  for (int round = 0; round < 2; ++round) {
    std::string cmd = command(dir_, as_user) + " >/dev/null 2>" + dir_.path() + "/err.txt";
    EXPECT_EQ(exit_code(std::system(cmd.c_str())), 2);
    std::string err = read_file(dir_ / "err.txt");
    EXPECT_NE(err.find("QUILLMAR.LCK: Permission denied"), std::string::npos) << err;
  }
  // With a lock file that can be taken, the claim is what fails.
  fs::permissions(dir_ / "soup", fs::perms::owner_write, fs::perm_options::add);
  dir_.write("soup/QUILLMAR.LCK", "");
  fs::permissions(dir_ / "soup/QUILLMAR.LCK", fs::perms::all, fs::perm_options::add);
  fs::permissions(dir_ / "soup", fs::perms::owner_write, fs::perm_options::remove);
  for (int round = 0; round < 2; ++round) {
    std::string cmd = command(dir_, as_user) + " >/dev/null 2>" + dir_.path() + "/err.txt";
    EXPECT_EQ(exit_code(std::system(cmd.c_str())), 2);
    std::string err = read_file(dir_ / "err.txt");
    EXPECT_NE(err.find("! cannot claim " + dir_.path() + "/soup/AREAS: Permission denied"),
              std::string::npos)
        << err;
    EXPECT_TRUE(fs::is_empty(dir_ / "in"));
  }
  fs::permissions(dir_ / "soup", fs::perms::owner_write, fs::perm_options::add);
  std::string err;
  EXPECT_EQ(plain_run(dir_, &err), 0) << err;
  expect_exactly_once(dir_, "writable again");
}

// A small filesystem that fills up during the run (a tmpfs with room for
// the input and a little more), at several sizes; needs root for mounts.
TEST_F(ImportCrashTest, ASmallFilesystemLosesNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "not root: no tmpfs can be mounted";
  for (int extra_kb : {8, 24, 48, 96}) {
    ScratchDir dir;
    std::string mount = "mount -t tmpfs -o size=16m tmpfs '" + dir.path() + "'";
    if (std::system(mount.c_str()) != 0) GTEST_SKIP() << "tmpfs cannot be mounted here";
    install(dir);
    write_soup(dir);
    struct statvfs fs_info;
    ASSERT_EQ(::statvfs(dir.path().c_str(), &fs_info), 0);
    unsigned long used_kb = (fs_info.f_blocks - fs_info.f_bfree) * fs_info.f_frsize / 1024;
    std::string shrink =
        "mount -o remount,size=" + std::to_string(used_kb + extra_kb) + "k '" + dir.path() + "'";
    std::string grow = "mount -o remount,size=16m '" + dir.path() + "'";
    std::string unmount = "umount '" + dir.path() + "'";
    EXPECT_EQ(std::system(shrink.c_str()), 0);
    std::string err;
    int code = plain_run(dir, &err);
    EXPECT_EQ(code, 2) << extra_kb << " KB free\n" << err;
    EXPECT_EQ(std::system(grow.c_str()), 0);
    EXPECT_EQ(plain_run(dir, &err), 0) << err;
    expect_exactly_once(dir, std::to_string(extra_kb) + " KB free");
    EXPECT_EQ(std::system(unmount.c_str()), 0);
  }
}

// Packet numbers go on from the highest name in use, in the same form.
TEST_F(ImportCrashTest, PacketNumbersContinueFromTheHighestInUse) {
  dir_.write("in/0000002A.PKT", "someone else's");
  dir_.write("soup/AREAS", "MAIL\tEmail\tbn\n");
  dir_.write("soup/MAIL.MSG", framed(mail(1)));
  std::string err;
  ASSERT_EQ(plain_run(dir_, &err), 0) << err;
  EXPECT_TRUE(exists(dir_ / "in/0000002B.PKT"));
  EXPECT_EQ(read_file(dir_ / "in/0000002A.PKT"), "someone else's");
}

// Many one-message files beside many packets: the directories are read a
// few times per run, never once per file (which made a run quadratic in
// the number of files).
TEST_F(ImportCrashTest, ManyFilesAreImportedWithoutSearchingTheDirectoryForEach) {
  if (!have_program("strace")) GTEST_SKIP() << "strace is not installed";
  constexpr int kFiles = 200;
  std::string areas;
  for (int i = 0; i < kFiles; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "F%04d", i);
    areas += std::string(name) + "\tEmail\tbn\n";
    dir_.write(std::string("soup/") + name + ".MSG", framed(mail(2 * i)));
    std::snprintf(name, sizeof name, "%08X.PKT", i);
    dir_.write(std::string("in/") + name, "an older packet");
  }
  dir_.write("soup/AREAS", areas);
  std::string cmd =
      command(dir_, "strace -f -qq -e trace=getdents64 -o '" + dir_.path() + "/trace' ") +
      " >/dev/null 2>&1";
  ASSERT_EQ(exit_code(std::system(cmd.c_str())), 0);
  std::string trace = read_file(dir_ / "trace");
  long reads = std::count(trace.begin(), trace.end(), '\n');
  EXPECT_LT(reads, 40) << trace.substr(0, 2000);
  // One packet per file, numbered on from the highest in use.
  long packets = 0;
  for (const auto& e : fs::directory_iterator(dir_ / "in")) {
    if (e.path().filename().string() >= "000000C8.PKT") ++packets;
  }
  EXPECT_EQ(packets, kFiles);
  EXPECT_TRUE(exists(dir_ / "in/0000018F.PKT"));
}

}  // namespace
}  // namespace quillmar::testing
