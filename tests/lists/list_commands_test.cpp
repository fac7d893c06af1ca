#include "lists/list_commands.hpp"

#include <gtest/gtest.h>

#include <cinttypes>
#include <filesystem>
#include <string>
#include <vector>

#include "base/text_helpers.hpp"
#include "lists/list_mail.hpp"

namespace quillmar::test {
namespace {

using testing_support::have_tool;

constexpr uint32_t kStep = 0x398A6CDF;

// The Message-ID of the `count`-th administrative reply of the run.
std::string admin_id(const std::string& address, const std::string& subject, uint32_t count) {
  uint32_t t = static_cast<uint32_t>(utc_time(1999, 3, 9, 14, 5, 7));
  uint32_t n = t ^ crc32(address.data(), address.size()) ^ crc32(subject.data(), subject.size()) ^
               (kStep * count);
  return "<admin-" + std::to_string(n) + "-test-list@example.org>";
}

std::string first_word(const std::string& body) {
  return body.substr(0, body.find(' '));
}

class ListCommandTest : public ListMailTest {};

TEST_F(ListCommandTest, SubscribeAndUnsubscribeWithoutPassword) {
  const std::string users = "ListUsers\n+\nbob@example.net\nBob\n1\n\n";
  ListRecord& list = load(list_top("ListArea TEST.AREA\n") + users);
  settings->TimeZone = "+0100";
  settings->Organization = "Gateway Org";
  from("ann@example.net", "Ann Smith", "subscribe", "abc@example.net");
  list_command(
      list, kCommandSubscribe,
      ListRequest{*message_header,
                  import_state.file_counters.replies});

  const std::string added = "+\nann@example.net\nAnn Smith\n1\n\n";
  EXPECT_EQ(read_file(list_file), list_top("ListArea TEST.AREA\n") + users + added);
  EXPECT_EQ(list.member_count, 2);
  EXPECT_EQ(members(list), (std::vector<std::string>{"ann@example.net", "bob@example.net"}));
  std::vector<std::string> all = replies();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0],
            "To: ann@example.net (Ann Smith)\n"
            "From: test-list@example.org (Test list)\n"
            "Reply-to: test-list@example.org\n"
            "Subject: Re: subscribe\n"
            "Date: Tue, 09 Mar 1999 14:05:07 +0100\n"
            "Message-ID: " +
                admin_id("ann@example.net", "subscribe", 1) +
                "\n"
                "In-Reply-To: <abc@example.net>\n"
                "Organization: Gateway Org\n"
                "X-MailServer: Quillmar/W32 v1.04\n"
                "\n" +
                template_body("Welcome", "Ann Smith", "ann@example.net", "", "TEST.AREA"));
  EXPECT_EQ(import_state.file_counters.replies, 1);

  // The new member leaves again: only the marker changes.
  from("ann@example.net", "Ann Smith", "UNSUBSCRIBE please");
  list_command(
      list, kCommandUnsubscribe,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  EXPECT_EQ(read_file(list_file), list_top("ListArea TEST.AREA\n") + users + "*" + added.substr(1));
  EXPECT_EQ(list.member_count, 1);
  EXPECT_EQ(members(list), (std::vector<std::string>{"bob@example.net"}));
  all = replies();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_NE(all[1].find("\n\n" +
                        template_body("GoodBye", "Ann Smith", "ann@example.net", "", "TEST.AREA")),
            std::string::npos)
      << all[1];
  EXPECT_EQ(import_state.file_counters.replies, 2);
}

TEST_F(ListCommandTest, PasswordListNamesThePasswordThenSubscribes) {
  const std::string top = list_top("ListPassword Secret\n") + "ListUsers\n";
  ListRecord& list = load(top);
  const std::string keyed = member_password(list, "ann@example.net").c_str();
  ASSERT_FALSE(keyed.empty());

  // No password, a wrong one and one in another case are all refused.
  std::string upper = keyed;
  for (char& c : upper) c = ascii_upper(c);
  std::vector<std::string> refused = {"subscribe", "subscribe wrong", "subscribe  " + keyed + "x"};
  if (upper != keyed) refused.push_back("subscribe " + upper);
  for (const std::string& subject : refused) {
    from("ann@example.net", "ann@EXAMPLE.net", subject);
    list_command(
        list, kCommandSubscribe,
        ListRequest{*message_header,
                    import_state.file_counters.replies});
  }
  std::vector<std::string> all = replies();
  ASSERT_EQ(all.size(), refused.size());
  for (const std::string& reply : all) {
    EXPECT_NE(reply.find("\n\n" + template_body("PasswordInfo", "", "ann@example.net", keyed)),
              std::string::npos)
        << reply;
    EXPECT_NE(reply.find("To: ann@example.net\n"), std::string::npos) << "name equal to address";
  }
  EXPECT_EQ(read_file(list_file), top);
  EXPECT_EQ(list.member_count, 0);

  // The password the reply named, with more words after it.
  from("ann@example.net", "", "Subscribe\t" + keyed + "  and more");
  list_command(
      list, kCommandSubscribe,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  EXPECT_EQ(read_file(list_file), top + "+\nann@example.net\n\n1\n" + keyed + "\n");
  EXPECT_EQ(members(list), (std::vector<std::string>{"ann@example.net"}));
  all = replies();
  ASSERT_EQ(all.size(), refused.size() + 1);
  EXPECT_EQ(first_word(all.back().substr(all.back().find("\n\n") + 2)), "Welcome");
}

struct RefusalCase {
  const char* label;
  const char* extra;    // more list settings
  const char* users;    // the user list
  const char* sender;   // From address
  const char* subject;  // of the command
  int command;
  const char* answer;  // the template of the reply
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
  *os << c.label;
}

class ListCommandRefusalTest : public ListMailTest,
                               public ::testing::WithParamInterface<RefusalCase> {};

// None of these changes the list file; each is answered with one template.
TEST_P(ListCommandRefusalTest, AnswersWithoutChangingTheList) {
  const RefusalCase& c = GetParam();
  const std::string text = list_top(c.extra) + "ListUsers\n" + c.users;
  ListRecord& list = load(text);
  long count = list.member_count;
  from(c.sender, "", c.subject);
  list_command(
      list, c.command,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  EXPECT_EQ(read_file(list_file), text);
  EXPECT_EQ(list.member_count, count);
  EXPECT_EQ(first_word(only_reply_body()), c.answer);
  EXPECT_NE(replies()[0].find(std::string("To: ") + c.sender + "\n"), std::string::npos);
}

const char kBarred[] = "+\nbad@example.net\n\n3\n6d8f2a1c\n";
const char kMember[] = "+\ncarl@example.net\n\n1\nwanted\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, ListCommandRefusalTest,
    ::testing::Values(
        RefusalCase{"unsubscribe_by_non_member", "", kMember, "dora@example.net", "unsubscribe",
                    kCommandUnsubscribe, "SubscribeInfo"},
        RefusalCase{"changepass_by_non_member", "ListPassword k\n", kMember, "dora@example.net",
                    "changepass a b", kCommandChangepass, "SubscribeInfo"},
        RefusalCase{"address_case_differs", "", kMember, "Carl@example.net", "unsubscribe",
                    kCommandUnsubscribe, "SubscribeInfo"},
        RefusalCase{"barred_subscribe_with_password", "ListPassword k\n", kBarred,
                    "bad@example.net", "subscribe 6d8f2a1c", kCommandSubscribe, "BlackList"},
        RefusalCase{"barred_unsubscribe", "", kBarred, "bad@example.net", "unsubscribe",
                    kCommandUnsubscribe, "BlackList"},
        RefusalCase{"newstatus_3_newcomer", "NewStatus 3\n", kMember, "new@example.net",
                    "subscribe", kCommandSubscribe, "BlackList"},
        RefusalCase{"changepass_without_new_password", "ListPassword k\n", kMember,
                    "carl@example.net", "changepass wanted", kCommandChangepass, "PasswordInfo"},
        RefusalCase{"changepass_wrong_password", "ListPassword k\n", kMember, "carl@example.net",
                    "changepass Wanted new", kCommandChangepass, "PasswordInfo"},
        RefusalCase{"subscribers_wanted_newcomer", "ListPassword k\n", kMember, "new@example.net",
                    "subscribers wanted", kCommandSubscribe, "PasswordInfo"},
        RefusalCase{"subscribers_wanted_member", "ListPassword k\n", kMember, "carl@example.net",
                    "subscribers wanted", kCommandSubscribe, "Welcome"},
        // An empty key gives no passwords, so none can be asked for.
        RefusalCase{"empty_list_password", "ListPassword\n", kMember, "carl@example.net",
                    "subscribe", kCommandSubscribe, "Welcome"},
        RefusalCase{"subscribe_by_member_without_password", "", kMember, "carl@example.net",
                    "subscribe", kCommandSubscribe, "Welcome"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.label; });

TEST_F(ListCommandTest, ChangepassTwiceFindsTheNewRecord) {
  const std::string top = list_top("ListPassword k\n") + "ListUsers\n";
  const std::string old_record = "+\ncarl@example.net\nCarl\n2\nwanted\n";
  ListRecord& list = load(top + old_record);
  from("carl@example.net", "Carl C", "changepass wanted first");
  list_command(
      list, kCommandChangepass,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  from("carl@example.net", "Carl C", "changepass first second-one");
  list_command(
      list, kCommandChangepass,
      ListRequest{*message_header,
                  import_state.file_counters.replies});

  EXPECT_EQ(read_file(list_file), top + "*\ncarl@example.net\nCarl\n2\nwanted\n" +
                                      "*\ncarl@example.net\nCarl\n2\nfirst\n" +
                                      "+\ncarl@example.net\nCarl\n2\nsecond-one\n");
  EXPECT_EQ(list.member_count, 1);
  std::vector<std::string> all = replies();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_NE(all[0].find("\n\n" + template_body("NewPassword", "Carl", "carl@example.net", "first")),
            std::string::npos)
      << all[0];
  EXPECT_NE(
      all[1].find("\n\n" + template_body("NewPassword", "Carl", "carl@example.net", "second-one")),
      std::string::npos)
      << all[1];

  // The next run finds the same member with the last password.
  ListRecord& again = load(read_file(list_file));
  UserRecord user;
  FoundUser found;
  ASSERT_TRUE(find_user(again, "carl@example.net", user, found));
  EXPECT_EQ(user.password.view(), "second-one");
  EXPECT_EQ(again.member_count, 1);
}

TEST_F(ListCommandTest, ChangepassWithoutListPasswordTakesTheNextWord) {
  const std::string top = list_top() + "ListUsers\n";
  ListRecord& list = load(top + "+\ncarl@example.net\n\n1\n\n");
  from("carl@example.net", "", "changepass mine");
  list_command(
      list, kCommandChangepass,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  EXPECT_EQ(read_file(list_file),
            top + "*\ncarl@example.net\n\n1\n\n+\ncarl@example.net\n\n1\nmine\n");
  EXPECT_EQ(first_word(only_reply_body()), "NewPassword");
}

TEST_F(ListCommandTest, RepliesInTheSameSecondGetDifferentMessageIds) {
  ListRecord& list = load(list_top() + "ListUsers\n");
  for (int i = 0; i < 3; ++i) {
    from("x@example.net", "", "unsubscribe");
    list_command(
        list, kCommandUnsubscribe,
        ListRequest{*message_header,
                    import_state.file_counters.replies});
  }
  std::vector<std::string> all = replies();
  ASSERT_EQ(all.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_NE(all[i].find("Message-ID: " + admin_id("x@example.net", "unsubscribe", i + 1) + "\n"),
              std::string::npos)
        << all[i];
  }
  EXPECT_NE(all[0].substr(0, all[0].find("\n\n")), all[1].substr(0, all[1].find("\n\n")));
}

// Optional header lines of the replies: In-Reply-To only for a message with
// an identifier; the message's own Organization wins over the setting.
TEST_F(ListCommandTest, ReferenceAndOrganizationLines) {
  ListRecord& list = load(list_top() + "ListUsers\n");
  struct Case {
    const char* message_id;
    const char* own_org;
    const char* setting;
    const char* lines;  // between Message-ID and X-MailServer
  } cases[] = {
      {"", "", "", ""},
      {"id@host", "", "Gate", "In-Reply-To: <id@host>\nOrganization: Gate\n"},
      {"", "Their Org", "", "Organization: Their Org\n"},
      {"", "Their Org", "Gate", "Organization: Their Org\nX-MailListOrg: Gate\n"},
  };
  for (const Case& c : cases) {
    from("x@example.net", "", "unsubscribe", c.message_id);
    message_header->organization = c.own_org;
    settings->Organization = c.setting;
    list_command(
        list, kCommandUnsubscribe,
        ListRequest{*message_header,
                    import_state.file_counters.replies});
  }
  std::vector<std::string> all = replies();
  ASSERT_EQ(all.size(), std::size(cases));
  for (std::size_t i = 0; i < all.size(); ++i) {
    std::size_t start = all[i].find('\n', all[i].find("Message-ID: ")) + 1;
    std::size_t end = all[i].find("X-MailServer: ");
    EXPECT_EQ(all[i].substr(start, end - start), cases[i].lines) << all[i];
  }
}

TEST_F(ListCommandTest, TemplatesArePiecesWithPlaceholders) {
  quillmar::testing::WatchedConsole watched;  // the report returns over the progress display
  ListRecord& list = load(list_top() + "ListUsers\n");
  // A line of 150 characters arrives in two pieces: the placeholder split
  // between them stays as it is. CR LF line ends become line feeds.
  std::string long_line = std::string(120, '.') + "@YOURADDRESS@" + std::string(17, '-');
  write_file(dir / "SubscribeInfo.txt",
             "Hi @YOURNAME@,\r\n" + long_line + "\r\n@LISTAREA@ @KEEPERADDRESS@ @UNKNOWN@");
  from("x@example.net", "Xavier", "unsubscribe");
  run_options.verbose = true;
  ::testing::internal::CaptureStderr();
  list_command(
      list, kCommandUnsubscribe,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(only_reply_body(), "Hi Xavier,\n" + long_line + "\n[unknown] [unknown] @UNKNOWN@");
  EXPECT_EQ(err, "\r+ reply from test-list@example.org (Test list) to x@example.net (Xavier): " +
                     (dir / "SubscribeInfo.txt") + "\n");

  // A template that is missing or not configured means no reply.
  std::filesystem::remove(dir / "SubscribeInfo.txt");
  list_command(
      list, kCommandUnsubscribe,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  list.SubscribeInfo.reset();
  list_command(
      list, kCommandUnsubscribe,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  EXPECT_EQ(replies().size(), 1u);
  EXPECT_EQ(import_state.file_counters.replies, 1);
}

TEST_F(ListCommandTest, SeparateMessagesAreListedOneByOne) {
  ListRecord& list = load(list_top() + "ListUsers\n");
  settings->SeparateMSG = true;
  for (int i = 0; i < 2; ++i) {
    from("x@example.net", "", "unsubscribe");
    list_command(
        list, kCommandUnsubscribe,
        ListRequest{*message_header,
                    import_state.file_counters.replies});
  }
  EXPECT_EQ(read_file(soup + "REPLIES"), "mail0000\tmail\tbn\nmail0001\tmail\tbn\n");
  EXPECT_EQ(reply_file_name(kReplyMail), soup + "mail0002.MSG");
}

// A record is appended so that it is read back as one: after a line end,
// and after a "ListUsers" line that a file without members lacks.
TEST_F(ListCommandTest, AppendedRecordIsFoundAtTheNextStart) {
  const std::string top = list_top() + "KeeperAddress keeper@example.org";  // no line end
  ListRecord& list = load(top);
  from("ann@example.net", "Ann\nBcc: victim@example.com", "subscribe");
  list_command(
      list, kCommandSubscribe,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  EXPECT_EQ(read_file(list_file),
            top + "\nListUsers\n+\nann@example.net\nAnn Bcc: victim@example.com\n1\n\n");
  std::vector<std::string> all = replies();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].substr(0, all[0].find('\n')),
            "To: ann@example.net (Ann Bcc: victim@example.com)");

  ListRecord& again = load(read_file(list_file));
  EXPECT_EQ(members(again), (std::vector<std::string>{"ann@example.net"}));
  EXPECT_EQ(again.KeeperAddress->view(), "keeper@example.org");
}

// A change that cannot be written leaves the file and the index as they
// were, is reported, and is not answered.
TEST_F(ListCommandTest, WriteFailuresLoseNothing) {
  const std::string text =
      list_top("ListPassword k\n") + "ListUsers\n+\ncarl@example.net\n\n1\nwanted\n";
  ListRecord& list = load(text);
  long size = static_cast<long>(text.size());
  std::string err;
  with_file_size_limit(size, [&] {
    ::testing::internal::CaptureStderr();
    from("ann@example.net", "",
         std::string("subscribe ") + member_password(list, "ann@example.net").c_str());
    list_command(
        list, kCommandSubscribe,
        ListRequest{*message_header,
                    import_state.file_counters.replies});
    from("carl@example.net", "", "changepass wanted other");
    list_command(
        list, kCommandChangepass,
        ListRequest{*message_header,
                    import_state.file_counters.replies});
    err = ::testing::internal::GetCapturedStderr();
  });
  EXPECT_EQ(err, "! unable to add new user to " + list_file + "\n! unable to change user data in " +
                     list_file + "\n");
  EXPECT_EQ(read_file(list_file), text);
  EXPECT_EQ(members(list), (std::vector<std::string>{"carl@example.net"}));
  EXPECT_TRUE(replies().empty());

  // A list file that another program is writing cannot be changed either.
  platform::File writer;
  ASSERT_TRUE(writer.open(list_file, platform::OpenMode::update, platform::Share::deny_write));
  ::testing::internal::CaptureStderr();
  from("carl@example.net", "", "unsubscribe wanted");
  list_command(
      list, kCommandUnsubscribe,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  from("carl@example.net", "", "changepass wanted new");
  list_command(
      list, kCommandChangepass,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  from("dora@example.net", "",
       std::string("subscribe ") + member_password(list, "dora@example.net").c_str());
  list_command(
      list, kCommandSubscribe,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  err = ::testing::internal::GetCapturedStderr();
  writer.close();
  EXPECT_EQ(err, "! unable to delete user from " + list_file +
                     "\n! unable to change user data in " + list_file +
                     "\n! unable to add new user to " + list_file + "\n");
  EXPECT_EQ(read_file(list_file), text);
  EXPECT_EQ(members(list), (std::vector<std::string>{"carl@example.net"}));
  EXPECT_TRUE(replies().empty());
  EXPECT_EQ(import_state.file_counters.replies, 0);
}

TEST_F(ListCommandTest, TestModeChangesOnlyTheCopy) {
  run_options.test_mode = true;
  const std::string text = list_top() + "ListUsers\n";
  ::testing::internal::CaptureStderr();
  ListRecord& list = load(text);
  ::testing::internal::GetCapturedStderr();
  from("ann@example.net", "", "subscribe");
  list_command(
      list, kCommandSubscribe,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  EXPECT_EQ(read_file(list_file), text);
  EXPECT_EQ(read_file(dir / "TEST.~LC"), text + "+\nann@example.net\n\n1\n\n");
}

TEST_F(ListCommandTest, RepliesReadByPythonEmail) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 is not installed";
  ListRecord& list = load(list_top("ListPassword k\n") + "ListUsers\n");
  settings->TimeZone = "-0500";
  settings->Organization = "Gate";
  from("ann@example.net", "Ann O'Neil", "subscribe", "1@example.net");
  list_command(
      list, kCommandSubscribe,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  from("ann@example.net", "Ann",
       std::string("subscribe ") + member_password(list, "ann@example.net").c_str());
  message_header->organization = "Their Org";
  list_command(
      list, kCommandSubscribe,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  from("ann@example.net", "", "unsubscribe x");
  list_command(
      list, kCommandUnsubscribe,
      ListRequest{*message_header,
                  import_state.file_counters.replies});
  ASSERT_EQ(replies().size(), 3u);
  EXPECT_EQ(python_check(dir, std::string(reply_file_name(kReplyMail))), "");
}

}  // namespace
}  // namespace quillmar::test
