#include "lists/list_files.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/run_options.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"
#include "lists/test_files.hpp"

namespace quillmar {
namespace {

using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

class ListFilesTest : public testing_support::ListFixture {
 protected:
  // Loads `text` as list file `name`; the warnings printed.
  std::string load(const std::string& name, const std::string& text) {
    write_file(dir / name, text);
    ::testing::internal::CaptureStderr();
    read_list_config(dir / name, 7, dir / "QUILLMAR.CFG", dir / "quillmar");
    return ::testing::internal::GetCapturedStderr();
  }
  std::string warning(const std::string& text, long line, const std::string& name) {
    return "Warning: " + text + " in line " + std::to_string(line) + " of " + (dir / name) + "\n\n";
  }
};

// Addresses in the order of the member index.
std::vector<std::string> members(ListRecord& list) {
  std::vector<std::string> out;
  for (MemberNode* head : list.chains) {
    for (MemberNode* n = head; n != nullptr; n = n->next) {
      UserRecord u;
      EXPECT_TRUE(read_user_record(list, *n, u));
      out.emplace_back(u.address.view());
    }
  }
  close_user_file(list);
  return out;
}

const char kHeader[] =
    "; a comment\n"
    "ListName Test list   \n"
    "\n"
    "ListAddress test-list@example.org\n"
    "listarea TEST.AREA\n"
    "ListPassword key\n"
    "Welcome welcome.txt\n"
    "GoodBye ./texts/bye.txt\n";

TEST_F(ListFilesTest, RecordsStrayLinesAndChains) {
  std::string err = load("TEST.CFG", std::string(kHeader) +
                                         "Colour blue\n"
                                         "LISTUSERS follow\n"
                                         "+\nzed@example.org\nZed\n1\npw1\n"
                                         "*\nold@example.org\n\n1\npw2\n"
                                         "stray line\n"
                                         "+\n7of9@example.net\n\n2\npw3\n"
                                         "+\nAnn@example.org\nAnn\n3\npw4\n"
                                         "+\n_under@example.net\n\n0\npw5\n"
                                         "+\nann2@example.org\nAnn Two\n");
  EXPECT_EQ(err, warning("invalid list configuration keyword", 9, "TEST.CFG") +
                     warning("user list contains erroneous line", 21, "TEST.CFG") +
                     warning("user list ends in incomplete record", 39, "TEST.CFG"));
  ASSERT_EQ(lists().size(), 1u);
  EXPECT_EQ(settings->list_config_count, 1u);
  ListRecord& list = lists()[0];
  EXPECT_EQ(list.ListName->view(), "Test list");
  EXPECT_EQ(list.ListArea->view(), "TEST.AREA");
  EXPECT_EQ(list.Welcome->view(), dir / "welcome.txt");
  EXPECT_EQ(list.GoodBye->view(), "./texts/bye.txt");
  EXPECT_FALSE(list.KeeperName.has_value());
  EXPECT_EQ(list.NewStatus, 1);
  // The cut record at the end was indexed: its address had been read.
  EXPECT_EQ(list.member_count, 5);
  auto crc = [](std::string_view s) { return crc32(s.data(), s.size()); };
  MemberNode* other = list.chains[0];  // digits and punctuation share chain 0
  ASSERT_NE(other, nullptr);
  ASSERT_NE(other->next, nullptr);
  EXPECT_EQ(other->crc, crc("7of9@example.net"));
  EXPECT_EQ(other->next->crc, crc("_under@example.net"));
  EXPECT_EQ(other->next->next, nullptr);
  MemberNode* a = list.chains[1];
  ASSERT_NE(a, nullptr);
  ASSERT_NE(a->next, nullptr);
  EXPECT_EQ(a->crc, crc("Ann@example.org"));
  EXPECT_EQ(a->next->crc, crc("ann2@example.org"));
  ASSERT_NE(list.chains[26], nullptr);
  std::string file = read_file(dir / "TEST.CFG");
  EXPECT_EQ(list.chains[26]->position, static_cast<long>(file.find("+\nzed")));
  EXPECT_EQ(a->next->position, static_cast<long>(file.find("+\nann2")));
}

TEST_F(ListFilesTest, IndexOrderAndRecordReading) {
  load("TEST.CFG", std::string(kHeader) +
                       "ListUsers\n"
                       "+\nzed@example.org\nZed\n1\npw1\n"
                       "+\n7of9@example.net\n\n2\npw3\n"
                       "+\nAnn@example.org\nAnn\n3\npw4\n"
                       "+\n_under@example.net\n\n0\npw5\n");
  ASSERT_EQ(lists().size(), 1u);
  ListRecord& list = lists()[0];
  EXPECT_EQ(members(list), (std::vector<std::string>{"7of9@example.net", "_under@example.net",
                                                     "Ann@example.org", "zed@example.org"}));
  UserRecord u;
  FoundUser found;
  ASSERT_TRUE(find_user(list, "Ann@example.org", u, found));
  EXPECT_EQ(u.name.view(), "Ann");
  EXPECT_EQ(u.status, 3);
  EXPECT_EQ(u.password.view(), "pw4");
  EXPECT_EQ(*found.link, found.node);
  EXPECT_EQ(found.link, &list.chains[1]);
  EXPECT_FALSE(list.user_file.is_open());
  // The CRC-32 is taken on the exact text: another case is another member.
  EXPECT_FALSE(find_user(list, "ann@example.org", u, found));
  ASSERT_TRUE(find_user(list, "_under@example.net", u, found));
  EXPECT_EQ(found.link, &list.chains[0]->next);

  // A file changed by hand after loading is caught.
  std::string text = read_file(list.path.c_str());
  text.replace(text.find("+\nzed"), 1, "*");
  write_file(list.path.c_str(), text);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(find_user(list, "zed@example.org", u, found));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "! internal consistency error in file " + (dir / "TEST.CFG") + "\n");
  std::filesystem::remove(dir / "TEST.CFG");
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(read_user_record(list, *list.chains[1], u));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "! error obtaining user data from file " + (dir / "TEST.CFG") + "\n");
}

TEST_F(ListFilesTest, RequiredKeywordsAndValues) {
  struct Case {
    std::string text;
    bool stored;
    std::string warning;
  };
  const Case cases[] = {
      {"ListName A\nListUsers\n", false,
       warning("required list keyword ListName or ListAddress missing", 2, "L.CFG")},
      {"ListAddress a@b\n; only\n", false,
       warning("required list keyword ListName or ListAddress missing", 2, "L.CFG")},
      {"ListName\nListAddress a@b\nNewStatus\n", true, ""},
  };
  for (const Case& c : cases) {
    reset_lists();
    EXPECT_EQ(load("L.CFG", c.text), c.warning) << c.text;
    EXPECT_EQ(lists().size(), c.stored ? 1u : 0u) << c.text;
  }
  // An empty ListName counts as present; NewStatus without a value is 0.
  EXPECT_EQ(lists()[0].ListName->view(), "");
  EXPECT_EQ(lists()[0].NewStatus, 0);

  const std::pair<const char*, int> statuses[] = {{"7", 1}, {"2", 2}, {"259", 3}, {"-1", 1}};
  for (const auto& [value, status] : statuses) {
    reset_lists();
    load("S.CFG", std::string("ListName A\nListAddress a@b\nNewStatus ") + value + "\n");
    ASSERT_EQ(lists().size(), 1u);
    EXPECT_EQ(lists()[0].NewStatus, status) << value;
  }

  reset_lists();
  ::testing::internal::CaptureStderr();
  read_list_config(dir / "MISSING.CFG", 3, dir / "QUILLMAR.CFG", dir / "quillmar");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            warning("unable to open list configuration file", 0, "MISSING.CFG"));
  EXPECT_TRUE(lists().empty());
}

TEST_F(ListFilesTest, KeyedPasswordsAndNewMembers) {
  load("A.CFG", "ListName A\nListAddress a@b\nListPassword letmein\nNewStatus 2\n");
  load("B.CFG", "ListName B\nListAddress b@b\nListPassword other\n");
  load("C.CFG", "ListName C\nListAddress c@b\nListPassword\n");
  ASSERT_EQ(lists().size(), 3u);
  // CRC-32 of each byte XOR the complement of the key's byte, as "%lx".
  EXPECT_EQ(member_password(lists()[0], "ann@example.org").view(), "ba0b9ee8");
  EXPECT_EQ(member_password(lists()[0], "ann@example.org").view(), "ba0b9ee8");
  EXPECT_NE(member_password(lists()[1], "ann@example.org").view(), "ba0b9ee8");
  EXPECT_EQ(member_password(lists()[2], "ann@example.org").view(), "");

  UserRecord u = new_user_record(lists()[0], "ann@example.org", "ANN@example.org");
  EXPECT_EQ(u.address.view(), "ann@example.org");
  EXPECT_EQ(u.name.view(), "");
  EXPECT_EQ(u.status, 2);
  EXPECT_EQ(u.password.view(), "ba0b9ee8");
  EXPECT_EQ(new_user_record(lists()[1], "a@b", "Ann Point").name.view(), "Ann Point");
}

TEST_F(ListFilesTest, TestModeUsesCopies) {
  run_options.test_mode = true;
  std::filesystem::create_directories(dir / "v1.0");
  std::string text = "ListName A\nListAddress a@b\nListUsers\n+\nx@y\n\n1\n\n";
  write_file(dir / "v1.0/NOEXT", text);
  std::string err = load("DEV.CFG", text);
  ::testing::internal::CaptureStderr();
  read_list_config(dir / "v1.0/NOEXT", 8, dir / "QUILLMAR.CFG", dir / "quillmar");
  err += ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "[Test mode: using list config file duplicates *.~LC]\n\n");
  ASSERT_EQ(lists().size(), 2u);
  EXPECT_EQ(lists()[0].path.view(), dir / "DEV.~LC");
  EXPECT_EQ(lists()[1].path.view(), dir / "v1.0/NOEXT.~LC");
  EXPECT_EQ(read_file(dir / "DEV.~LC"), text);
  EXPECT_EQ(read_file(dir / "v1.0/NOEXT.~LC"), text);
}

}  // namespace
}  // namespace quillmar
