#include "lists/distribution.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "lists/list_mail.hpp"

namespace quillmar::test {
namespace {

using testing_support::have_tool;

// Five members who receive list mail (chain 0 first, then by letter, each
// chain in file order), one barred member and one removed record.
const char kUsers[] =
    "ListUsers\n"
    "+\nzed@x.net\n\n1\n\n"
    "+\nBob@x.net\nBob\n1\n\n"
    "+\ncarl@x.net\n\n3\n\n"
    "*\nold@x.net\n\n1\n\n"
    "+\nalice@x.net\nAlice\n0\n\n"
    "+\nbert@x.net\n\n2\n\n"
    "+\n1st@x.net\n\n1\n\n";

class DistributionTest : public ListMailTest {
 protected:
  MessageFile file;
  int64_t body_start = 0;
  int64_t message_end = 0;

  // A message file holding a header, `body` and then bytes of the next
  // message, which no copy may take along.
  void posting(const std::string& body) {
    std::string head = "From: someone\nSubject: whatever\n\n";
    std::string path = dir / "0000001.MSG";
    file.close();
    write_file(path, head + body + std::string("\0\0\0\x12", 4) + "From: next@x.net\n\n");
    ASSERT_TRUE(file.open(path));
    body_start = static_cast<int64_t>(head.size());
    message_end = body_start + static_cast<int64_t>(body.size());
  }

  void sender(const std::string& address, const std::string& name) {
    from(address, name, "Hello all", "m1@x.net");
    ParsedDate& d = message_work.header->date;
    d = ParsedDate{28, 5, 1999, 10, 11, 12};
  }
};

TEST_F(DistributionTest, OneMailToAllMembers) {
  ListRecord& list = load(list_top() + kUsers);
  settings->Organization = "Gate";
  sender("alice@x.net", "Alice A.");
  message_work.header->date_zone = "+0200";
  message_work.header->reply_ref.id_text = "parent@y.net";
  posting("Hi all,\nhow are you?\n");
  EXPECT_TRUE(
      distribute_posting(list, file, body_start, message_end,
                         ListRequest{*message_work.header, import_state.file_counters.replies}));
  std::vector<std::string> all = replies();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0],
            "Bcc: <1st@x.net>, <alice@x.net>,\n"
            "   <Bob@x.net>, <bert@x.net>,\n"
            "   <zed@x.net>\n"
            "From: alice@x.net (Alice A.)\n"
            "Reply-to: test-list@example.org\n"
            "Sender: test-list@example.org\n"
            "Subject: Hello all\n"
            "Date: Mon, 28 Jun 1999 10:11:12 +0200\n"
            "Message-ID: <m1@x.net-test-list@example.org>\n"
            "In-Reply-To: <parent@y.net>\n"
            "Organization: Gate\n"
            "X-MailServer: Quillmar/W32 v1.04\n"
            "Mime-version: 1.0\n"
            "Content-Type: text/plain; charset=us-ascii\n"
            "Content-Transfer-Encoding: 7bit\n"
            "\n"
            "Hi all,\nhow are you?\n");
  EXPECT_EQ(import_state.file_counters.replies, 0);
}

TEST_F(DistributionTest, BccLinesHoldTwoAddressesEach) {
  struct Case {
    int members;
    const char* bcc;
  } cases[] = {
      {1, "Bcc: <a1@x.net>\n"},
      {2, "Bcc: <a1@x.net>, <a2@x.net>\n"},
      {3, "Bcc: <a1@x.net>, <a2@x.net>,\n   <a3@x.net>\n"},
      {4, "Bcc: <a1@x.net>, <a2@x.net>,\n   <a3@x.net>, <a4@x.net>\n"},
  };
  for (const Case& c : cases) {
    std::string users = "ListUsers\n";
    for (int i = 1; i <= c.members; ++i) users += "+\na" + std::to_string(i) + "@x.net\n\n1\n\n";
    ListRecord& list = load(list_top() + users);
    sender("a1@x.net", "");
    posting("x\n");
    EXPECT_TRUE(
        distribute_posting(list, file, body_start, message_end,
                           ListRequest{*message_work.header, import_state.file_counters.replies}));
    std::vector<std::string> all = replies();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back().substr(0, all.back().find("From: ")), c.bcc);
  }
}

// A posting without Message-ID, in quoted-printable with lines longer than
// a read and without a line end at the end of the message, is copied byte
// for byte, with its own Content-Type and encoding.
TEST_F(DistributionTest, BodyIsCopiedByteForByte) {
  ListRecord& list = load(list_top() + kUsers);
  sender("zed@x.net", "");
  message_work.header->msgid_ref.id_text.clear();
  message_work.header->content_type = "text/plain; charset=\"utf-8\"; format=flowed";
  message_work.header->transfer_encoding = "quoted-printable";
  message_work.header->charset = "\"utf-8\"";
  std::string body = "caf=C3=A9 =3D soft=\n" + std::string(600, 'q') + "=\r\n\r\n" +
                     std::string(255, 'w') + "\n\ttabbed \n=E2=82=AC at the end";
  posting(body);
  EXPECT_TRUE(
      distribute_posting(list, file, body_start, message_end,
                         ListRequest{*message_work.header, import_state.file_counters.replies}));
  std::vector<std::string> all = replies();
  ASSERT_EQ(all.size(), 1u);
  std::size_t blank = all[0].find("\n\n");
  EXPECT_EQ(all[0].substr(blank + 2), body);
  std::string head = all[0].substr(0, blank + 1);
  EXPECT_NE(head.find("\nMessage-ID: <-test-list@example.org>\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("In-Reply-To"), std::string::npos) << head;
  EXPECT_NE(head.find("\nContent-Type: text/plain; charset=\"utf-8\"; format=flowed\n"
                      "Content-Transfer-Encoding: quoted-printable\n"),
            std::string::npos)
      << head;

  // Without a Content-Type of its own the charset is named.
  message_work.header->content_type.clear();
  message_work.header->transfer_encoding.clear();
  message_work.header->charset = "iso-8859-1";
  EXPECT_TRUE(
      distribute_posting(list, file, body_start, message_end,
                         ListRequest{*message_work.header, import_state.file_counters.replies}));
  all = replies();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_NE(all[1].find("\nContent-Type: text/plain; charset=iso-8859-1\n"
                        "Content-Transfer-Encoding: 7bit\n\n"),
            std::string::npos)
      << all[1];
}

struct RefusedCase {
  const char* label;
  const char* sender;
  const char* answer;
};

// The case's name, not its bytes, in the test list.
void PrintTo(const RefusedCase& c, std::ostream* os) {
  *os << c.label;
}

class DistributionRefusalTest : public DistributionTest,
                                public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(DistributionRefusalTest, AnsweredAndNotDistributed) {
  const RefusedCase& c = GetParam();
  const std::string text = list_top("ListPassword key\n") + kUsers;
  ListRecord& list = load(text);
  sender(c.sender, "");
  posting("spam\n");
  EXPECT_FALSE(
      distribute_posting(list, file, body_start, message_end,
                         ListRequest{*message_work.header, import_state.file_counters.replies}));
  std::vector<std::string> all = replies();
  ASSERT_EQ(all.size(), 1u);
  std::string body = all[0].substr(all[0].find("\n\n") + 2);
  std::string password = member_password(list, c.sender).c_str();
  if (std::string(c.answer) != "SubscribeInfo") password.clear();  // the stored one
  EXPECT_EQ(body, template_body(c.answer, "", c.sender, password));
  EXPECT_EQ(all[0].substr(0, all[0].find('\n')), std::string("To: ") + c.sender);
  EXPECT_EQ(read_file(list_file), text);
  EXPECT_EQ(list.member_count, 6);
  EXPECT_EQ(import_state.file_counters.replies, 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, DistributionRefusalTest,
                         ::testing::Values(RefusedCase{"non_member", "eve@x.net", "SubscribeInfo"},
                                           RefusedCase{"read_only", "bert@x.net", "ReadOnly"},
                                           RefusedCase{"barred", "carl@x.net", "BlackList"}),
                         [](const ::testing::TestParamInfo<RefusedCase>& info) {
                           return info.param.label;
                         });

TEST_F(DistributionTest, NoReplyFileMeansAcceptedWithoutMail) {
  ListRecord& list = load(list_top() + kUsers);
  reset_reply_files();  // no file name chosen
  sender("zed@x.net", "");
  posting("x\n");
  EXPECT_TRUE(
      distribute_posting(list, file, body_start, message_end,
                         ListRequest{*message_work.header, import_state.file_counters.replies}));
}

// The import lists the file once the posting is committed (one file per
// message with SeparateMSG: see the crash tests), never before.
TEST_F(DistributionTest, SeparateMessagesWaitForTheirCommit) {
  ListRecord& list = load(list_top() + kUsers);
  settings->SeparateMSG = true;
  sender("zed@x.net", "");
  posting("x\n");
  EXPECT_TRUE(
      distribute_posting(list, file, body_start, message_end,
                         ListRequest{*message_work.header, import_state.file_counters.replies}));
  EXPECT_FALSE(std::filesystem::exists(soup + "REPLIES"));
  EXPECT_EQ(reply_message_count(kReplyMail), 1);
  EXPECT_EQ(read_file(soup + "mail0000.MSG").find("Bcc: <1st@x.net>"), 4u);
}

TEST_F(DistributionTest, PostingsReadByPythonEmail) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 is not installed";
  ListRecord& list = load(list_top() + kUsers);
  sender("alice@x.net", "Alice");
  message_work.header->date_zone = "-0700";
  posting("plain\n");
  ASSERT_TRUE(
      distribute_posting(list, file, body_start, message_end,
                         ListRequest{*message_work.header, import_state.file_counters.replies}));
  message_work.header->content_type = "text/plain; charset=iso-8859-1";
  message_work.header->transfer_encoding = "quoted-printable";
  message_work.header->reply_ref.id_text = "p@y.net";
  posting("caf=E9 soft=\nbreak\n");
  ASSERT_TRUE(
      distribute_posting(list, file, body_start, message_end,
                         ListRequest{*message_work.header, import_state.file_counters.replies}));
  ASSERT_EQ(replies().size(), 2u);
  EXPECT_EQ(python_check(dir, std::string(reply_file_name(kReplyMail))), "");
}

}  // namespace
}  // namespace quillmar::test
