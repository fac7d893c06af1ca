// The one writer of Internet header lines: its own rules, and the same
// rule seen from every output that uses it. CR, LF and NUL in a value
// become blanks, so that no text of a message adds a header line.
#include "rfc/header_writer.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/run_options.hpp"
#include "export/export_files.hpp"
#include "export/export_fixture.hpp"
#include "export/export_state.hpp"
#include "export/packet_reader.hpp"
#include "fido/fido_state.hpp"
#include "lists/distribution.hpp"
#include "lists/list_mail.hpp"
#include "soup/reply.hpp"
#include "test_support.hpp"

namespace quillmar {
namespace {

// What a writer wrote into a scratch file.
std::string written(const std::function<void(HeaderWriter&)>& write) {
  testing::ScratchDir dir;
  std::string path = dir / "header";
  {
    platform::File file;
    EXPECT_TRUE(file.open(path, platform::OpenMode::write));
    HeaderWriter out(file);
    write(out);
    EXPECT_TRUE(file.close());
  }
  return testing::read_file(path);
}

// The header of a message: everything before its first empty line.
std::string header_of(const std::string& message) {
  return message.substr(0, message.find("\n\n") + 1);
}

// True when a line of the header starts with `name`.
bool has_field(const std::string& header, const std::string& name) {
  return header.compare(0, name.size(), name) == 0 || header.find("\n" + name) != std::string::npos;
}

struct ValueCase {
  const char* name;
  std::string value;
  std::string line;
};

// The case's name, not its bytes, in the test list.
void PrintTo(const ValueCase& c, std::ostream* os) {
  *os << c.name;
}

class Values : public ::testing::TestWithParam<ValueCase> {};

TEST_P(Values, LineBreaksAndNulBecomeBlanks) {
  const ValueCase& c = GetParam();
  EXPECT_EQ(written([&](HeaderWriter& out) { out.field("Subject", c.value); }), c.line);
  EXPECT_EQ(header_value(c.value) + "\n", c.line.substr(9));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Values,
    ::testing::Values(ValueCase{"plain", "Hello", "Subject: Hello\n"},
                      ValueCase{"lf", "Hi\nBcc: x@y.net", "Subject: Hi Bcc: x@y.net\n"},
                      ValueCase{"cr", "Hi\rBcc: x@y.net", "Subject: Hi Bcc: x@y.net\n"},
                      ValueCase{"crlf", "Hi\r\nBcc: x@y.net", "Subject: Hi  Bcc: x@y.net\n"},
                      ValueCase{"nul", std::string("Hi\0there", 8), "Subject: Hi there\n"},
                      ValueCase{"ends", "\nHi\n", "Subject:  Hi \n"},
                      ValueCase{"empty", "", "Subject: \n"}),
    [](const ::testing::TestParamInfo<ValueCase>& info) { return std::string(info.param.name); });

TEST(HeaderWriter, PiecesDateAndProgram) {
  std::string out = written([](HeaderWriter& w) {
    w.start("From");
    w.value("a@b.net\n");
    w.raw(" (");
    w.value("A\rB");
    w.raw(")");
    w.end();
    w.date(HeaderDate{2, 9, 2, 1999, 14, 5, 7}, "+0100\r\nBcc: x@y.net");
    w.date(HeaderDate{0, 1, 0, 2000, 0, 0, 0}, "");
    w.program("X-MailConverter");
    w.finish();
  });
  EXPECT_EQ(out,
            "From: a@b.net  (A B)\n"
            "Date: Tue, 09 Mar 1999 14:05:07 +0100  Bcc: x@y.net\n"
            "Date: Sun, 01 Jan 2000 00:00:00\n"
            "X-MailConverter: Quillmar/W32 v1.04\n"
            "\n");
}

// --- The export conversion ---

const std::string kEvil = "Bcc: evil@example.net";

// The export with an AreaMap entry for news.
class ExportHeaders : public test::ExportFixture {
 protected:
  void SetUp() override {
    ExportFixture::SetUp();
    AreaMapEntry* area = settings->AreaMap.add();
    area->area = "FIDO.TEST";
    area->newsgroup = "alt.test";
  }

  // The header of the one message exported from `m`.
  std::string export_one(const testing::TestMessage& m) {
    Written w = export_messages({m});
    std::vector<std::string> all = w.mail;
    all.insert(all.end(), w.news.begin(), w.news.end());
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? std::string() : header_of(all[0]);
  }
};

struct ExportCase {
  const char* name;
  bool news;
  std::function<void(testing::TestMessage&)> change;
  std::string line;
};

// The case's name, not its bytes, in the test list.
void PrintTo(const ExportCase& c, std::ostream* os) {
  *os << c.name;
}

class ExportFields : public ExportHeaders, public ::testing::WithParamInterface<ExportCase> {};

TEST_P(ExportFields, KeepEveryValueOnItsLine) {
  const ExportCase& c = GetParam();
  testing::TestMessage m;
  m.to_name = c.news ? "All" : "UUCP";
  m.text = c.news ? "AREA:FIDO.TEST\rText\r" : "To: friend@example.net\r\rText\r";
  c.change(m);
  std::string header = export_one(m);
  EXPECT_NE(header.find(c.line), std::string::npos) << header;
  EXPECT_FALSE(has_field(header, "Bcc:")) << header;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExportFields,
    ::testing::Values(
        ExportCase{"Subject", false, [](testing::TestMessage& m) { m.subject = "Hi\n" + kEvil; },
                   "\nSubject: Hi " + kEvil + "\n"},
        ExportCase{"SenderName", false,
                   [](testing::TestMessage& m) { m.from_name = "Joe\n" + kEvil; },
                   "\nFrom: sysop@example.org (Joe " + kEvil + ")\n"},
        ExportCase{"Recipient", false,
                   [](testing::TestMessage& m) {
                     m.text = "To: friend@example.net\n" + kEvil + "\r\rText\r";
                   },
                   "To: friend@example.net " + kEvil + "\n"},
        ExportCase{"CommentTo", true, [](testing::TestMessage& m) { m.to_name = "All\n" + kEvil; },
                   "\nX-Comment-To: All " + kEvil + "\n"},
        ExportCase{"Organization", false,
                   [](testing::TestMessage&) { settings->Organization = "Org\r" + kEvil; },
                   "\nOrganization: Org " + kEvil + "\n"},
        ExportCase{
            "Newsgroups", true,
            [](testing::TestMessage&) { settings->AreaMap[0].newsgroup = "alt.test\n" + kEvil; },
            "Newsgroups: alt.test " + kEvil + "\n"},
        ExportCase{"CrossPost", true,
                   [](testing::TestMessage& m) {
                     m.text = "AREA:FIDO.TEST\rXPost: alt.other\n" + kEvil + "\r\rText\r";
                   },
                   "Newsgroups: alt.test,alt.other " + kEvil + "\n"}),
    [](const ::testing::TestParamInfo<ExportCase>& info) { return std::string(info.param.name); });

// --- The list replies and postings ---

class ListHeaders : public test::ListMailTest {};

struct ListCase {
  const char* name;
  std::string address;
  std::string from_name;
  std::string subject;
  std::string organization;
  std::string line;
};

// The case's name, not its bytes, in the test list.
void PrintTo(const ListCase& c, std::ostream* os) {
  *os << c.name;
}

class ListReplyFields : public ListHeaders, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ListReplyFields, KeepEveryValueOnItsLine) {
  const ListCase& c = GetParam();
  ListRecord& list = test::ListMailTest::load(test::list_top());
  settings->Organization = "Gateway Org";
  from(c.address, c.from_name, c.subject);
  message_work.header->organization = c.organization;
  list_command(list, kCommandSubscribe,
               ListRequest{*message_work.header, import_state.file_counters.replies});
  std::vector<std::string> all = replies();
  ASSERT_EQ(all.size(), 1u);
  std::string header = header_of(all[0]);
  EXPECT_NE(header.find(c.line), std::string::npos) << header;
  EXPECT_FALSE(has_field(header, "Bcc:")) << header;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ListReplyFields,
    ::testing::Values(ListCase{"Subject", "ann@example.net", "Ann", "subscribe\n" + kEvil, "",
                               "\nSubject: Re: subscribe " + kEvil + "\n"},
                      ListCase{"Name", "ann@example.net", "Ann\r" + kEvil, "subscribe", "",
                               "To: ann@example.net (Ann " + kEvil + ")\n"},
                      ListCase{"Organization", "ann@example.net", "Ann", "subscribe",
                               "Org\n" + kEvil, "\nOrganization: Org " + kEvil + "\n"}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

TEST_F(ListHeaders, PostingKeepsEveryValueOnItsLine) {
  ListRecord& list = load(test::list_top() + "ListUsers\n+\nann@example.net\nAnn\n1\n\n");
  from("ann@example.net", "Ann\n" + kEvil, "Hello\r" + kEvil, "m1@x.net");
  message_work.header->date_zone = "+0200\n" + kEvil;
  std::string path = dir / "0000001.MSG";
  test::write_file(path, "Body\n");
  MessageFile file;
  ASSERT_TRUE(file.open(path));
  EXPECT_TRUE(distribute_posting(
      list, file, 0, 5, ListRequest{*message_work.header, import_state.file_counters.replies}));
  std::vector<std::string> all = replies();
  ASSERT_EQ(all.size(), 1u);
  std::string header = header_of(all[0]);
  EXPECT_NE(header.find("\nFrom: ann@example.net (Ann " + kEvil + ")\n"), std::string::npos)
      << header;
  EXPECT_NE(header.find("\nSubject: Hello " + kEvil + "\n"), std::string::npos) << header;
  EXPECT_NE(header.find(" +0200 " + kEvil + "\n"), std::string::npos) << header;
  // The one Bcc line is the member list.
  EXPECT_EQ(header.find("Bcc: <ann@example.net>\n"), 0u) << header;
  EXPECT_EQ(header.find("\nBcc:"), std::string::npos) << header;
}

}  // namespace
}  // namespace quillmar
