// Internet messages through the parse pass and the write pass into a
// FidoNet packet that is read back.
#include "import/message_pass.hpp"

#include <gtest/gtest.h>

#include "config/settings.hpp"
#include "fido/fido_state.hpp"
#include "fido/message_record.hpp"
#include "import/import_fixture.hpp"
#include "import/import_state.hpp"
#include "import/packet_reader.hpp"
#include "test_support.hpp"

namespace quillmar {
namespace {

using testing::body_of;
using testing::FidoMessage;
using testing::read_file;
using testing::ScratchDir;

class MessagePassTest : public test::ImportFixture {
 protected:
  // Runs the message through both passes, as the only message of an area of
  // the given kind; the FidoNet messages written.
  std::vector<FidoMessage> import(const std::string& message, MessageKind kind = MessageKind::mail,
                                  const char* area_name = "Email") {
    dir_.write("AREA.MSG", message);
    MessageFile file;
    EXPECT_TRUE(file.open(dir_ / "AREA.MSG"));
    MessageExtent extent{0, static_cast<int64_t>(message.size())};
    SoupArea area;
    area.kind = kind;
    area.area_name = area_name;
    parse_message(file, extent, area);
    complete_header(area);
    select_chrs();
    MessageHeader& h = *message_work.header;
    if (kind == MessageKind::mail) {
      h.area_tag = "NETMAIL";
    } else {
      h.area_tag = "COMP.TEST";
    }
    if (recount_) recount_message(file, extent, area);
    OutPacket packet;
    EXPECT_TRUE(packet.file.open(dir_ / "OUT.PKT", platform::OpenMode::write));
    write_packet_header(packet);
    ::testing::internal::CaptureStderr();
    write_imported_message(false, h.category, false, h.junk_reason, cut_marker_, file, packet,
                           extent, area);
    console_ += ::testing::internal::GetCapturedStderr();
    close_packet(packet);
    bool ok = false;
    std::vector<FidoMessage> out = testing::read_packet(dir_ / "OUT.PKT", &ok);
    EXPECT_TRUE(ok) << "malformed packet";
    return out;
  }

  std::string console_;
  const Text<128>* cut_marker_ = nullptr;
  bool recount_ = false;
};

TEST_F(MessagePassTest, HeaderFields) {
  import(
      "From: \"Ann Other\" <ann@example.net>\n"
      "To: first@example.org\n"
      "To: Second <second@example.org>, third@example.org\n"
      "to: last@example.org\n"
      "X-Comment-To: Ignored\n"
      "Subject:   Re: \tHello\n"
      "  World\n"
      "Date: Tue, 9 Mar 1999 14:05:07 +0100\n"
      "Message-ID: <1234@host.example.net>\n"
      "References: <a@b> <ref@host.example.net>\n"
      "Organization :  not recognised\n"
      "Content-Type: text/plain; charset=iso-8859-1\n"
      "\n"
      "Body.\n");
  const MessageHeader& h = *message_work.header;
  EXPECT_EQ(h.from_address.view(), "ann@example.net");
  EXPECT_EQ(h.from_name.view(), "Ann Other");
  EXPECT_EQ(h.to_address.view(), "last@example.org");
  EXPECT_EQ(h.to_name.view(), "Second");  // a later To without a name keeps it
  EXPECT_EQ(h.subject.view(), "Re: Hello World");
  EXPECT_EQ(h.date.day, 9);
  EXPECT_EQ(h.date.month, 2);
  EXPECT_EQ(h.date.year, 1999);
  EXPECT_EQ(h.date_zone.view(), "+0100");
  EXPECT_EQ(h.msgid_ref.id_text.view(), "1234@host.example.net");
  EXPECT_EQ(h.reply_ref.id_text.view(), "ref@host.example.net");
  EXPECT_EQ(h.organization.view(), "");
  EXPECT_EQ(h.charset.view(), "iso-8859-1");
  // The further To addresses are the recipients; the first of each line is
  // the message's own.
  ASSERT_EQ(message_work.recipients.size(), 1u);
  EXPECT_EQ(message_work.recipients[0].address.view(), "third@example.org");
  EXPECT_EQ(message_work.recipients[0].kind, kAddressTo);
}

TEST_F(MessagePassTest, DefaultsForMailAndNews) {
  std::vector<FidoMessage> mail = import("X-Comment-To: Commented\nSubject: x\n\nText\n");
  ASSERT_EQ(mail.size(), 1u);
  EXPECT_EQ(mail[0].from, "anonymous");
  EXPECT_EQ(mail[0].to, "Commented");
  import("Subject: x\n\nText\n");
  EXPECT_EQ(message_work.header->to_name.view(), "unknown");
  import("Subject: y\n\nText\n", MessageKind::news, "comp.test");
  apply_recipient_name_rule();
  EXPECT_EQ(message_work.header->from_address.view(), "anonymous");
  EXPECT_EQ(message_work.header->to_name.view(), "All");
}

TEST_F(MessagePassTest, QuoteToFindsTheQuotedPerson) {
  settings->QuoteTo = true;
  settings->QuoteMask.add()->text = "wrote:";
  QuoteCharEntry* q = settings->QuoteChar.add();
  q->quote = '>';
  q->last_column = 5;
  q->most_letters = 3;
  import("From: a@b.example\nNewsgroups: comp.test\n\nJohn Doe wrote:\n> quoted text\nMy answer\n",
         MessageKind::news, "comp.test");
  apply_recipient_name_rule();
  EXPECT_EQ(message_work.header->to_name.view(), "John Doe");
  // A later attribution without a name keeps the name found before it.
  import("From: a@b.example\n\nJohn Doe wrote:\njd@example.com wrote:\n> quoted\n",
         MessageKind::news, "comp.test");
  apply_recipient_name_rule();
  EXPECT_EQ(message_work.header->to_name.view(), "John Doe");
  // Without a quoted line soon after it, the attribution does not count.
  import("From: a@b.example\n\nJohn Doe wrote:\n" + std::string(80, 'x') + "\n> late quote\n",
         MessageKind::news, "comp.test");
  apply_recipient_name_rule();
  EXPECT_EQ(message_work.header->to_name.view(), "All");
}

TEST_F(MessagePassTest, LongLinesAreCutIntoChunks) {
  std::string plain(300, 'a');
  std::string blank = std::string(199, 'b') + " " + std::string(100, 'c');
  std::string subject = "Subject: " + std::string(60, 's') + " " + std::string(30, 't');
  std::vector<FidoMessage> m = import(subject + "\n\n" + plain + "\n" + blank + "\n");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(body_of(m[0].text), std::string(255, 'a') + "\r" + std::string(45, 'a') + "\r" +
                                    std::string(199, 'b') + " \r" + std::string(100, 'c') + "\r");
  // The header line is a kludge of 78 characters, then one of two blanks and the rest.
  std::string expected = "\x01" + subject.substr(0, 70) + "\r\x01  " + subject.substr(70) + "\r";
  EXPECT_NE(m[0].text.find(expected), std::string::npos) << m[0].text;
}

TEST_F(MessagePassTest, BlankLinesAndStrippedKludges) {
  settings->StripKludges[kKindMail] = StripLevel::some;
  std::vector<FidoMessage> m = import(
      "Received: from somewhere\nMessage-ID: <1@x.example>\nX-A: b\nSubject: s\n\n\n\n"
      "First\n\n\n\nSecond  \n\n\n");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(body_of(m[0].text), "First\r\r\r\rSecond\r");
  EXPECT_EQ(m[0].text.find("Received:"), std::string::npos);
  EXPECT_NE(m[0].text.find("\x01Message-ID: <1@x.example>\r"), std::string::npos);
  EXPECT_NE(m[0].text.find("\x01X-A: b\r"), std::string::npos);
}

TEST_F(MessagePassTest, SplitAtTheImportLimit) {
  settings->ImportLimit = 2488;  // 3000 as configured, lowered by the import
  std::string message = "Subject: split\n\n";
  // Lines of 99 characters and a line end: 100 bytes each; 22 of them
  // make 2200 bytes, so a 23rd of 40 characters needs a new message.
  for (int i = 0; i < 22; ++i) message += std::string(99, 'a' + i % 26) + "\n";
  message += std::string(40, 'z') + "\n";
  std::vector<FidoMessage> m = import(message);
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(message_work.header->part_count, 2);
  std::string first = body_of(m[0].text);
  EXPECT_EQ(first.substr(first.size() - 29), "\r[continued in next message]\r");
  EXPECT_EQ(body_of(m[1].text),
            "[continued from previous message]\r\r" + std::string(40, 'z') + "\r");
  EXPECT_NE(m[1].text.find("\x01SPLIT: "), std::string::npos);
}

// The first pass may end at the first line of text, but not when a later
// line still counts: for the split into parts, in MIME parts, a uuencoded
// file or a junk word in mail.
TEST_F(MessagePassTest, LinesAfterTheFirstStillCount) {
  settings->ImportLimit = 2488;
  std::string article = "Subject: split\n\n";
  for (int i = 0; i < 22; ++i) article += std::string(99, 'a' + i % 26) + "\n";
  article += std::string(40, 'z') + "\n";
  std::vector<FidoMessage> m = import(article, MessageKind::news, "comp.test");
  EXPECT_EQ(m.size(), 2u);
  EXPECT_EQ(message_work.header->part_count, 2);

  // The charset of the text part names the CHRS kludge.
  settings->ImportLimit = 0;
  CharSetMapEntry* map = settings->CharSetMap.add();
  map->fido_name = "KOI8-R#2";
  map->internet_name = "koi8-r";
  m = import(
      "Subject: parts\nContent-Type: multipart/mixed; boundary=\"B\"\n\npreamble\n"
      "--B\nContent-Type: text/plain; charset=koi8-r\n\ntext\n--B--\n",
      MessageKind::news, "comp.test");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_NE(m[0].text.find("\x01"
                           "CHRS: KOI8-R 2\r"),
            std::string::npos);

  m = import("Subject: s\n\nHello\n\nbegin 644 late.txt\n#86)C\n`\nend\n");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].subject, "late.txt");

  JunkEntry* junk = settings->JunkStr.add();
  junk->category = JunkCategory::email;
  junk->text = "viagra";
  import("Subject: s\n\nHello\nthen viagra\n");
  EXPECT_EQ(message_work.header->junk_reason, kJunkBody);
}

// Lines of text after the first: blank lines kept only before more text,
// line ends and trailing blanks dropped, a line longer than a line of the
// text wrapped, NUL bytes as blanks, a uuencoded file after text decoded.
TEST_F(MessagePassTest, BodyLinesAfterPlainText) {
  const std::string wide(300, 'w');
  std::string many_lines;
  std::string many_lines_out;
  for (int i = 0; i < 12000; ++i) {
    many_lines += "line " + std::to_string(i) + " \n";
    many_lines_out += "line " + std::to_string(i) + "\r";
  }
  struct Case {
    std::string body;
    std::string expected;
  } cases[] = {
      {"one\n\n\ntwo  \r\nthree\n\n\n", "one\r\r\rtwo\rthree\r"},
      {"one\n" + wide + "\nafter\n",
       "one\r" + wide.substr(0, 255) + "\r" + wide.substr(255) + "\rafter\r"},
      {"one\n" + std::string(255, 'x') + "\n", "one\r" + std::string(255, 'x') + "\r"},
      {std::string("one\nn\0ul\n", 9), "one\rn ul\r"},
      {"one\n\nbeginning\n", "one\r\rbeginning\r"},
      // A text longer than the file's window holds at once.
      {"one\n" + many_lines + std::string("n\0ul\n\nbeginning\n", 16),
       "one\r" + many_lines_out + "n ul\r\rbeginning\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    std::vector<FidoMessage> m = import("Subject: s\n\n" + c.body, MessageKind::news, "comp.test");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(body_of(m[0].text), c.expected);
  }
  std::vector<FidoMessage> m =
      import("Subject: s\n\ntext\n\nbegin 644 b.txt\n#86)C\n`\nend\nafter\n");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(read_file(settings->InboundDir.c_str() + std::string("b.txt")), "abc");
  // The blank line before the file stays pending until the next text.
  EXPECT_EQ(body_of(m[0].text),
            "Subject: s\r\rtext\r[Quillmar decoded UU-encoded file b.txt (3 bytes)]\r\n\rafter\r");
}

TEST_F(MessagePassTest, QuotedPrintable) {
  std::vector<FidoMessage> m = import(
      "Subject: qp\nContent-Transfer-Encoding: quoted-printable\n\n"
      "caf=E9 a=3Db soft=\n break =4a=4A =ZZ end=00x\n");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(body_of(m[0].text), "caf\xE9 a=b soft break JJ =ZZ end x\r");
}

TEST_F(MessagePassTest, MultipartWithBase64Attachment) {
  testing::WatchedConsole watched;  // the report returns over the progress display
  std::vector<FidoMessage> m = import(
      "From: ann@example.net\nSubject: report\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"XYZ\"\n\n"
      "preamble\n"
      "--XYZ\nContent-Type: text/plain\n\nHello.\n"
      "--XYZ\nContent-Type: application/octet-stream; name=\"data.bin\"\n"
      "Content-Transfer-Encoding: base64\n\n"
      "AAECA/8=\n\n"
      "--XYZ--\nepilogue never read\n");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(read_file(settings->InboundDir.c_str() + std::string("data.bin")),
            std::string("\x00\x01\x02\x03\xff", 5));
  EXPECT_EQ(m[0].subject, "data.bin");
  EXPECT_TRUE(m[0].attribute & 0x0010);
  EXPECT_NE(m[0].text.find("\x01"
                           "Content-Type: text/plain\r"),
            std::string::npos);
  EXPECT_NE(m[0].text.find("Hello.\r"), std::string::npos);
  EXPECT_NE(m[0].text.find("[Quillmar decoded MIME-encoded file data.bin (5 bytes)]\r\n"),
            std::string::npos);
  EXPECT_EQ(m[0].text.find("epilogue"), std::string::npos);
  EXPECT_EQ(console_, "\r* decoded MIME-encoded file data.bin (5 bytes)\n");
  EXPECT_EQ(import_state.file_counters.files, 1);
}

TEST_F(MessagePassTest, UuencodeKeptWhenIgnoredAndNotDecodedForJunk) {
  const std::string uu = "begin 644 a.txt\n#86)C\n`\nend\n";
  std::vector<FidoMessage> news =
      import("Subject: s\n\n" + uu + "after\n", MessageKind::news, "comp.test");
  ASSERT_EQ(news.size(), 1u);
  EXPECT_EQ(body_of(news[0].text), "begin 644 a.txt\r#86)C\r`\rend\rafter\r");
  EXPECT_EQ(console_, "");

  console_.clear();
  std::vector<FidoMessage> mail = import("Subject: s\n\n" + uu + "after\n");
  // The FidoNet subject names the file, so the Internet subject goes into the text.
  EXPECT_EQ(mail[0].subject, "a.txt");
  EXPECT_EQ(body_of(mail[0].text),
            "Subject: s\r\r[Quillmar decoded UU-encoded file a.txt (3 bytes)]\r\nafter\r");
  EXPECT_EQ(read_file(settings->InboundDir.c_str() + std::string("a.txt")), "abc");

  settings->JunkStr.add()->text = "viagra";
  settings->JunkStr[0].category = JunkCategory::all;
  std::vector<FidoMessage> junk = import("Subject: s\n\nviagra\n" + uu);
  recount_message(*std::make_unique<MessageFile>(), MessageExtent{}, SoupArea{});
  EXPECT_EQ(message_work.header->junk_reason, kJunkBody);
  EXPECT_NE(body_of(junk[0].text).find("begin 644 a.txt\r"), std::string::npos);
  EXPECT_FALSE(testing::exists(settings->InboundDir.c_str() + std::string("a.tx0")));
}

TEST_F(MessagePassTest, AttachmentNamesStayInTheirDirectory) {
  dir_.write("in/taken.txt", "old");
  const char* names[] = {"../../escape.txt",
                         "..",
                         "C:\\WINDOWS\\evil.txt",
                         "taken.txt",
                         "a\x01"
                         "b.txt",
                         "*.zip"};
  for (const char* name : names) {
    import("Subject: s\n\nbegin 644 " + std::string(name) + "\n#86)C\n`\nend\n");
  }
  EXPECT_EQ(read_file(dir_ / "in/taken.txt"), "old");
  EXPECT_FALSE(testing::exists(dir_.path() + "/escape.txt"));
  for (const char* expect :
       {"escape.txt", "evil.txt", "taken.tx0", "00000000.ATT", "00000001.ATT", "00000000.zip"}) {
    EXPECT_EQ(read_file(dir_ / ("in/" + std::string(expect))), "abc") << expect;
  }
  EXPECT_NE(console_.find("(auto-renamed)"), std::string::npos);
}

}  // namespace
}  // namespace quillmar

namespace quillmar {
namespace {

// The part count written into every part is the number of parts written,
// also when the header information block grows with the attachments found
// further down.
TEST_F(MessagePassTest, PartCountAgreesWithThePartsWritten) {
  recount_ = true;
  std::string message =
      "From: ann@example.net\nSubject: a subject that is not the file name\n"
      "Content-Type: multipart/mixed; boundary=\"B\"\n\n--B\n\n";
  for (int i = 0; i < 30; ++i) message += "line " + std::to_string(i) + std::string(30, '.') + "\n";
  message +=
      "--B\nContent-Type: application/octet-stream; name=\"f.bin\"\n"
      "Content-Transfer-Encoding: base64\n\nAAECAw==\n--B--\n";
  for (uint32_t limit : {700u, 900u, 1100u, 1300u, 1500u}) {
    settings->ImportLimit = limit;
    std::vector<FidoMessage> m = import(message);
    ASSERT_EQ(static_cast<long>(m.size()), message_work.header->part_count) << limit;
    for (std::size_t i = 0; m.size() > 1 && i < m.size(); ++i) {
      char split[16];
      std::snprintf(split, sizeof split, " %02zu/%02zu ", i + 1, m.size());
      EXPECT_NE(m[i].text.find(split), std::string::npos) << limit << " part " << i + 1;
    }
  }
}

TEST_F(MessagePassTest, BlankLinesAfterAUuencodedBlockAreKept) {
  // Blank lines after a block at the start of the body are kept before the
  // next text.
  std::vector<FidoMessage> m = import("Subject: s\n\nbegin 644 b.txt\n#86)C\n`\nend\n\n\nafter\n");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(read_file(settings->InboundDir.c_str() + std::string("b.txt")), "abc");
  EXPECT_NE(m[0].text.find("(3 bytes)]\r\n\r\rafter\r"), std::string::npos) << m[0].text;
}

}  // namespace
}  // namespace quillmar
