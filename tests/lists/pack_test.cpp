#include "lists/pack.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "config/settings.hpp"
#include "lists/list_files.hpp"
#include "lists/test_files.hpp"

namespace quillmar {
namespace {

using testing_support::base_config;
using testing_support::read_file;
using testing_support::run_quillmar;
using testing_support::TempDir;
using testing_support::write_file;

const char kTop[] =
    "; members of the test list\n"
    "ListName Test list\n"
    "ListAddress test-list@example.org\n"
    "NewStatus 2\n"
    "ListUsers\n";

// The part of the output after the banner and the configuration warnings.
std::string report(const std::string& err) {
  std::size_t at = err.find("Packing list");
  if (at == std::string::npos) at = err.find("No lists");
  return at == std::string::npos ? err : err.substr(at);
}

TEST(PackCommand, RemovesDeletedRecordsAndStrayLinesAndCompletesTheLast) {
  TempDir dir;
  write_file(dir / "lists/TEST.CFG", std::string(kTop) +
                                         "+ joined 1999\nann@example.org\nAnn\n1\npw1\n"
                                         "*\nold@example.org\nOld\n1\npw2\n"
                                         "stray text\n"
                                         "+\nbob@example.com\nBob\n");
  write_file(dir / "lists/OTHER.CFG", "ListName Other\nListAddress o@example.org\n");
  write_file(dir / "QUILLMAR.CFG",
             base_config(dir, "ListConfig ./lists/TEST.CFG\nListConfig ./lists/OTHER.CFG\n"));

  auto r = run_quillmar(dir, "PACK /VERBOSE /CONFIG=./QUILLMAR.CFG");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(report(r.err),
            "Packing list #1: Test list\n"
            "* removed deleted user record old@example.org\n"
            "* removed erroneous line 16: stray text\n"
            "* extended partial user record at end of file\n"
            "--> removed 1 deleted user records\n"
            "    + 1 erroneous lines\n"
            "Packing list #2: Other\n"
            "--> nothing to do\n");
  EXPECT_EQ(read_file(dir / "lists/TEST.CFG"), std::string(kTop) +
                                                   "+\nann@example.org\nAnn\n1\npw1\n"
                                                   "+\nbob@example.com\nBob\n2\n\n");
  EXPECT_EQ(read_file(dir / "lists/OTHER.CFG"), "ListName Other\nListAddress o@example.org\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "lists/LIST0000.TMP"));

  // Without /VERBOSE only the counts are shown.
  write_file(dir / "lists/TEST.CFG", std::string(kTop) + "*\nx@y\n\n1\n\n");
  r = run_quillmar(dir, "P /CONFIG=./QUILLMAR.CFG");
  EXPECT_EQ(report(r.err),
            "Packing list #1: Test list\n--> removed 1 deleted user records\n"
            "    + 0 erroneous lines\nPacking list #2: Other\n--> nothing to do\n");
  EXPECT_EQ(read_file(dir / "lists/TEST.CFG"), kTop);
}

// The packed list keeps its permissions, and a list held by another writer
// is left alone.
TEST(PackCommand, PermissionsAndLocks) {
  TempDir dir;
  std::string list = dir / "lists/TEST.CFG";
  write_file(list, std::string(kTop) + "*\nx@y\n\n1\n\n");
  ::chmod(list.c_str(), 0600);
  write_file(dir / "QUILLMAR.CFG", base_config(dir, "ListConfig ./lists/TEST.CFG\n"));
  auto r = run_quillmar(dir, "PACK /CONFIG=./QUILLMAR.CFG");
  EXPECT_EQ(read_file(list), kTop);
  struct stat st;
  ASSERT_EQ(::stat(list.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  write_file(list, std::string(kTop) + "*\nx@y\n\n1\n\n");
  std::string held = std::string(kTop) + "*\nx@y\n\n1\n\n";
  std::string command = "flock '" + list + "' sh -c \"cd '" + dir.path +
                        "' && ASAN_OPTIONS=verify_asan_link_order=0 '" QUILLMAR_BINARY
                        "' PACK /CONFIG=./QUILLMAR.CFG 2>err.txt >/dev/null\"";
  write_file(list, held);
  // The list is kept for a later run, and the exit code says so.
  ASSERT_EQ(WEXITSTATUS(std::system(command.c_str())), 2);
  EXPECT_EQ(read_file(list), held);
  EXPECT_NE(read_file(dir / "err.txt").find("! error opening"), std::string::npos);
}

TEST(PackCommand, EdgesOfTheUserList) {
  struct Case {
    std::string users;
    std::string packed;
    std::string report;
  };
  const Case cases[] = {
      // Nothing to remove: rewritten all the same, markers normalised.
      {"+x\na@b\n\n1\npw\n", "+\na@b\n\n1\npw\n", "--> nothing to do\n"},
      // A marker as the very last line is dropped without a note.
      {"+\na@b\n\n1\npw\n+\n", "+\na@b\n\n1\npw\n", "--> nothing to do\n"},
      // A last line without a line end is completed before the missing ones.
      {"+\na@b\nName", "+\na@b\nName\n2\n\n",
       "* extended partial user record at end of file\n--> nothing to do\n"},
      // Lines ending in CR LF stay as they are.
      {"+\r\na@b\r\n\r\n1\r\npw\r\n*\r\nc@d\r\n\r\n1\r\n\r\n", "+\r\na@b\r\n\r\n1\r\npw\r\n",
       "--> removed 1 deleted user records\n    + 0 erroneous lines\n"},
      // A deleted record cut short is removed whole.
      {"+\na@b\n\n1\npw\n*\nc@d\n", "+\na@b\n\n1\npw\n",
       "--> removed 1 deleted user records\n    + 0 erroneous lines\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_file(dir / "TEST.CFG", std::string(kTop) + c.users);
    write_file(dir / "QUILLMAR.CFG", base_config(dir, "ListConfig " + (dir / "TEST.CFG") + "\n"));
    auto r = run_quillmar(dir, "PACK /CONFIG=./QUILLMAR.CFG");
    EXPECT_EQ(report(r.err), "Packing list #1: Test list\n" + c.report) << c.users;
    EXPECT_EQ(read_file(dir / "TEST.CFG"), std::string(kTop) + c.packed) << c.users;
  }
}

TEST(PackCommand, FileWithoutUserListAndLongLinesIsKeptAsItIs) {
  TempDir dir;
  std::string text = "ListName L\nListAddress l@example.org\nKeeperName " + std::string(400, 'k') +
                     "\nListUsers: not the marker of PACK\n*\na\n\n1\n\n";
  write_file(dir / "L.CFG", text);
  write_file(dir / "QUILLMAR.CFG", base_config(dir, "ListConfig ./L.CFG\n"));
  auto r = run_quillmar(dir, "PACK /CONFIG=./QUILLMAR.CFG");
  EXPECT_EQ(report(r.err), "Packing list #1: L\n--> nothing to do\n");
  EXPECT_EQ(read_file(dir / "L.CFG"), text);
}

TEST(PackCommand, NoListsAndTestMode) {
  TempDir dir;
  write_file(dir / "QUILLMAR.CFG", base_config(dir));
  auto r = run_quillmar(dir, "PACK /CONFIG=./QUILLMAR.CFG");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(report(r.err), "No lists are configured; cannot PACK\n");

  std::string text = std::string(kTop) + "*\nx@y\n\n1\n\n+\na@b\n\n1\n\n";
  write_file(dir / "LISTS/DEV.CFG", text);
  write_file(dir / "QUILLMAR.CFG", base_config(dir, "ListConfig .\\LISTS\\DEV.CFG\n"));
  r = run_quillmar(dir, "PACK /TEST /CONFIG=./QUILLMAR.CFG");
  EXPECT_NE(r.err.find("[Test mode: using list config file duplicates *.~LC]\n\n"),
            std::string::npos);
  EXPECT_EQ(report(r.err),
            "Packing list #1: Test list\n--> removed 1 deleted user records\n    + 0 erroneous "
            "lines\n");
  EXPECT_EQ(read_file(dir / "LISTS/DEV.CFG"), text);
  EXPECT_EQ(read_file(dir / "LISTS/DEV.~LC"), std::string(kTop) + "+\na@b\n\n1\n\n");
}

// In-process: failures while packing leave the list file as it was.
class PackFailures : public testing_support::ListFixture {};

TEST_F(PackFailures, WriteFailureKeepsTheListAndReportsIt) {
  std::string big(8000, 'n');
  std::string text = std::string(kTop) + "*\nx@y\n\n1\n\n+\na@b\n" + big + "\n1\n\n";
  write_file(dir / "TEST.CFG", text);
  ::testing::internal::CaptureStderr();
  read_list_config(dir / "TEST.CFG", 1, dir / "Q.CFG", dir / "quillmar");
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(lists().size(), 1u);

  struct rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit low = old;
  low.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);
  ::testing::internal::CaptureStderr();
  pack_lists();
  std::string err = ::testing::internal::GetCapturedStderr();
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(err, "Packing list #1: Test list\n! error writing " + (dir / "LIST0000.TMP") + "\n");
  EXPECT_EQ(read_file(dir / "TEST.CFG"), text);
  EXPECT_FALSE(std::filesystem::exists(dir / "LIST0000.TMP"));
}

TEST_F(PackFailures, MissingListFileAndTakenTemporaryNames) {
  write_file(dir / "A.CFG", std::string(kTop));
  write_file(dir / "B.CFG", std::string(kTop) + "*\nx@y\n\n1\n\n");
  ::testing::internal::CaptureStderr();
  read_list_config(dir / "A.CFG", 1, dir / "Q.CFG", dir / "quillmar");
  read_list_config(dir / "B.CFG", 2, dir / "Q.CFG", dir / "quillmar");
  ::testing::internal::GetCapturedStderr();
  std::filesystem::remove(dir / "A.CFG");
  write_file(dir / "LIST0000.TMP", "someone else's");
  ::testing::internal::CaptureStderr();
  pack_lists();
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Packing list #1: Test list\n! error opening " + (dir / "A.CFG") +
                     " for reading\nPacking list #2: Test list\n--> removed 1 deleted user "
                     "records\n    + 0 erroneous lines\n");
  EXPECT_EQ(read_file(dir / "B.CFG"), kTop);
  EXPECT_EQ(read_file(dir / "LIST0000.TMP"), "someone else's");
}

}  // namespace
}  // namespace quillmar
