// The conversion rules, run in-process over packets written to a scratch
// directory: headers, recipients and their limits, areas, body wrapping and
// encoding, kludges, tearlines and origins, routes and aliases.
#include "export/convert.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/run_options.hpp"
#include "base/text_helpers.hpp"
#include "export/export_driver.hpp"
#include "export/export_files.hpp"
#include "export/export_fixture.hpp"
#include "export/export_state.hpp"
#include "export/packet_reader.hpp"
#include "fido/fido_state.hpp"
#include "soup/reply.hpp"
#include "test_support.hpp"

namespace quillmar {
namespace {

using testing::build_packet;
using testing::ScratchDir;
using testing::TestMessage;

using test::kGateway;
using test::kNode1;
const std::string kMsgId = "\x01MSGID: 2:345/1 0000004d\r";

const std::string kHeaderTail =
    "Date: Tue, 09 Mar 1999 14:05:07 +0100\n"
    "Message-ID: <77@f1.n345.z2.fidonet.org>\n"
    "X-MailConverter: Quillmar/W32 v1.04\n"
    "Mime-version: 1.0\n";

class ConvertTest : public test::ExportFixture {};

TestMessage netmail(std::string to_name, std::string text) {
  TestMessage m;
  m.to_name = std::move(to_name);
  m.text = kMsgId + std::move(text);
  return m;
}

TEST_F(ConvertTest, UucpMailWithGatewayLinesGivesTheWholeHeader) {
  std::string mail =
      one_mail(netmail("UUCP", "To: a@example.net\rTo: b@example.net\r\rHi there\r"));
  EXPECT_EQ(mail,
            "To: a@example.net, b@example.net\n"
            "From: sysop@example.org (Joe Sysop)\n"
            "Reply-to: sysop@example.org (Joe Sysop)\n"
            "Subject: Hello\n" +
                kHeaderTail +
                "Content-Type: text/plain; charset=us-ascii\n"
                "Content-Transfer-Encoding: 7bit\n"
                "\n"
                "Hi there\n");
}

struct RecipientCase {
  const char* name;
  std::string to_name;
  std::string lines;
  uint16_t max_to;
  std::string expected;  // the recipient lines
  bool warned;
};

// The case's name, not its bytes, in the test list.
void PrintTo(const RecipientCase& c, std::ostream* os) {
  *os << c.name;
}

class Recipients : public ConvertTest, public ::testing::WithParamInterface<RecipientCase> {};

TEST_P(Recipients, AreWrittenWithTheirSeparatorsAndLimits) {
  const RecipientCase& c = GetParam();
  settings->ExportMaxTo = c.max_to;
  std::string mail = one_mail(netmail(c.to_name, c.lines + "\rText\r"));
  EXPECT_EQ(mail.substr(0, mail.find("From: ")), c.expected);
  EXPECT_EQ(
      err.find("! To/Copy-limit exceeded in msg from 2:345/1.0 (Joe Sysop)\n") != std::string::npos,
      c.warned)
      << err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Recipients,
    ::testing::Values(
        RecipientCase{"named", "John Smith", "To: A\rTo: B\r", 0, "To: John Smith,\n    A, B\n",
                      false},
        RecipientCase{"copies", "UUCP", "To: T\rCopy: W\rCopy: X\rCopy: Y\rCopy: Z\rBCopy: H\r", 0,
                      "To: T\nCc: W, X, Y,\n    Z\nBcc: H\n", false},
        RecipientCase{"uucp_fourth_breaks", "uucp", "To: A\rTo: B\rTo: C\rTo: D\r", 0,
                      "To: A, B, C,\n    D\n", false},
        RecipientCase{"limit_named", "John Smith", "To: A\rTo: B\r", 2, "To: John Smith,\n    A\n",
                      true},
        RecipientCase{"limit_uucp", "UUCP", "To: A\rTo: B\r", 2, "To: A, B\n", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConvertTest, UucpWithoutAddressWarnsAndWritesAnEmptyTo) {
  std::string mail = one_mail(netmail("UUCP", "Just text\r"));
  EXPECT_EQ(mail.substr(0, 5), "To: \n");
  EXPECT_NE(err.find("! No To-address specified in msg from 2:345/1.0 (Joe Sysop)\n"),
            std::string::npos);
}

TEST_F(ConvertTest, GatewayLinesNameTheSenderAndCrossPosts) {
  settings->ExportMaxXPost = 1;
  TestMessage m = netmail("All", "");
  m.text = "AREA:FIDO.TEST\r" + kMsgId +
           "From: me@own.example\rXPost: alt.one \rXPost: alt.two\r\rBody\r";
  settings->NoSpamText = "nospam.";
  Written w = export_messages({m});
  ASSERT_EQ(w.news.size(), 1u);
  EXPECT_EQ(w.news[0].substr(0, w.news[0].find("Subject:")),
            "Newsgroups: fido.test,alt.one\n"
            "From: nospam.me@own.example (Joe Sysop)\n"
            "Reply-to: me@own.example (Joe Sysop)\n");
  EXPECT_NE(w.news[0].find("X-Comment-To: All\n"), std::string::npos);
  EXPECT_NE(err.find("! XPost-limit exceeded in msg from 2:345/1.0 (Joe Sysop)\n"),
            std::string::npos);
}

TEST_F(ConvertTest, AreasDecideBetweenNewsMailAndNothing) {
  auto echo = [](const char* area, const char* body) {
    TestMessage m;
    m.to_name = "All";
    m.text = std::string("AREA:") + area + "\r" + kMsgId + body;
    return m;
  };
  AreaMapEntry* in_only = settings->AreaMap.add();
  in_only->area = "IN.ONLY";
  in_only->newsgroup = "alt.in";
  in_only->direction = Direction::import_only;
  AreaMapEntry* mapped = settings->AreaMap.add();
  mapped->area = "MAPPED";
  mapped->newsgroup = "alt.mapped";
  Written w = export_messages({echo("FIDO.TEST", "one\r"), echo("IN.ONLY", "two\r"),
                               echo("JUNKMAIL", "three\r"), echo("MAPPED", "four\r"),
                               echo("mapped", "five\r"), echo("NETMAIL", "six\r")});
  EXPECT_EQ(w.result, 1);
  ASSERT_EQ(w.news.size(), 3u);
  EXPECT_EQ(w.news[0].substr(0, 23), "Newsgroups: fido.test\nF");
  EXPECT_EQ(w.news[1].substr(0, 24), "Newsgroups: alt.mapped\nF");
  // The AreaMap area is compared with regard to case.
  EXPECT_EQ(w.news[2].substr(0, 20), "Newsgroups: mapped\nF");
  EXPECT_TRUE(w.news[2].ends_with("\nfive\n"));
  ASSERT_EQ(w.mail.size(), 1u);
  EXPECT_TRUE(w.mail[0].ends_with("\nsix\n"));
  EXPECT_EQ(export_state.stats.news, 3);
  EXPECT_EQ(export_state.stats.mail, 1);
}

TEST_F(ConvertTest, MessagesWithoutTextAreSkippedUnlessAFileGoesWithThem) {
  std::string file = dir.write("FILE.ZIP", "zip data");
  TestMessage empty = netmail("UUCP", "To: a@example.net\r\r\x01PID: x\r\r");
  TestMessage attach = empty;
  attach.attribute = 0x0010;
  attach.subject = file;
  add_attachment(file);
  Written w = export_messages({empty, attach});
  ASSERT_EQ(w.mail.size(), 1u);
  EXPECT_NE(w.mail[0].find("Content-Type: multipart/mixed; boundary=\"+=Quillmar=+\"\n"
                           "\n--+=Quillmar=+\n"
                           "Content-Type: text/plain; charset=us-ascii\n"),
            std::string::npos);
  EXPECT_TRUE(
      w.mail[0].ends_with("\n\n--+=Quillmar=+\n"
                          "Content-Type: application/octet-stream; name=\"FILE.ZIP\"\n"
                          "Content-Transfer-Encoding: base64\n\n"
                          "emlwIGRhdGE=\n\n\n--+=Quillmar=+--\n"))
      << w.mail[0];
  EXPECT_EQ(export_state.attachments[0].state, kAttachDone);
}

struct BodyCase {
  const char* name;
  std::string text;
  bool use_qp;
  std::string encoding;
  std::string body;
};

// The case's name, not its bytes, in the test list.
void PrintTo(const BodyCase& c, std::ostream* os) {
  *os << c.name;
}

class Bodies : public ConvertTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(Bodies, AreWrappedCutAndEncoded) {
  const BodyCase& c = GetParam();
  settings->UseQP = c.use_qp;
  std::string mail = one_mail(netmail("UUCP", "To: a@b.example\r\r" + c.text));
  std::size_t cte = mail.find("Content-Transfer-Encoding: ");
  ASSERT_NE(cte, std::string::npos);
  std::size_t body = mail.find("\n\n", cte);
  EXPECT_EQ(mail.substr(cte + 27, mail.find('\n', cte) - cte - 27), c.encoding);
  EXPECT_EQ(mail.substr(body + 2), c.body);
}

const std::string k100 =
    "aaaa bbbb cccc dddd eeee ffff gggg hhhh iiii jjjj kkkk llll mmmm nnnn oooo pppp qqqq rrrr "
    "ssss ttttt";

INSTANTIATE_TEST_SUITE_P(
    Table, Bodies,
    ::testing::Values(
        BodyCase{"wrap_at_last_space", k100 + "\r", true, "7bit",
                 k100.substr(0, 70) + "\n" + k100.substr(70) + "\n"},
        BodyCase{"quote_prefix_carried", " AB> " + k100 + "\rnext\r", true, "7bit",
                 " AB> " + k100.substr(0, 65) + "\n AB> " + k100.substr(65) + "\nnext\n"},
        BodyCase{"no_cut_point_keeps_piece", std::string(72, 'x') + "\rafter\r", true, "7bit",
                 std::string(72, 'x') + "\nafter\n"},
        BodyCase{"latin1_qp", "caf\xE9 = ok\r", true, "quoted-printable", "caf=E9 =3D ok\n"},
        BodyCase{"tab_qp", "a\tb\r", true, "quoted-printable", "a=09b\n"},
        BodyCase{"latin1_8bit", "caf\xE9 = ok\r", false, "8bit", "caf\xE9 = ok\n"},
        BodyCase{"tearline_origin_seenby",
                 "text\r\r--- Editor 1.0\r * Origin: Somewhere (2:345/1)\rSEEN-BY: 345/1\r"
                 "\x01PATH: 345/1\r",
                 true, "7bit", "text\n\n"},
        BodyCase{"tearline_via", "text\r---\r\x01via 2:345/6 @19990309\r", true, "7bit", "text\n"},
        BodyCase{"tearline_kept", "text\r--- \rmore text\r", true, "7bit",
                 "text\n--- \nmore text\n"},
        BodyCase{"origin_alone_ends", "text\r * Origin: x\rafter\r", true, "7bit", "text\n"},
        BodyCase{"kludges_dropped", "one\r\x01Via x\rtwo\r\x01" + std::string(300, 'k') + "\rthree",
                 true, "7bit", "one\ntwo\nthree\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// The body of a text the packet reader's window holds is written from the
// window in place, that of a longer one piece by piece: both ways give the
// same message. The long text is the short one with more than a window of
// lines after its origin line, where nothing is written.
struct WindowCase {
  const char* name;
  uint16_t line_width;
  bool use_qp;
  bool modern_mime;
};

// The case's name, not its bytes, in the test list.
void PrintTo(const WindowCase& c, std::ostream* os) {
  *os << c.name;
}

class WholeText : public ConvertTest, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(WholeText, ConvertsAsTextTheWindowCannotHold) {
  const WindowCase& c = GetParam();
  settings->LineWidth = c.line_width;
  settings->UseQP = c.use_qp;
  settings->ModernMime = c.modern_mime;
  const std::size_t w = c.line_width;
  std::string body;
  for (std::size_t n : {w - 1, w, w + 1, 2 * w + 3, std::size_t{300}}) {
    body += std::string(n / 2, 'a') + " " + std::string(n - n / 2 - 1, 'b') + "\r";
    body += std::string(n, 'c') + "\r";
    body += " AB> " + std::string(n, 'q') + "\r";
    body += "\x01KLUDGE " + std::string(n, 'k') + "\r";
  }
  body += "caf\xE9 = 100%\r\r   \r---\rafter a tear line\r-- \r * Origin\r\x01\r";
  const std::string end = "--- Editor\r * Origin: Somewhere (2:345/1)\rSEEN-BY: 345/1\r";
  std::string filler;
  while (filler.size() <= platform::File::kBufferSize) filler += "SEEN-BY: 345/1 345/2 345/3\r";
  TestMessage held = netmail("UUCP", "To: a@b.example\r\r" + body + end + "\x01PATH: 345/1\r");
  TestMessage piecewise =
      netmail("UUCP", "To: a@b.example\r\r" + body + end + filler + "\x01PATH: 345/1\r");
  Written written = export_messages({held, piecewise});
  ASSERT_EQ(written.mail.size(), 2u);
  EXPECT_NE(written.mail[0].find("\ncaf"), std::string::npos);
  EXPECT_EQ(written.mail[0], written.mail[1]);
}

INSTANTIATE_TEST_SUITE_P(Table, WholeText,
                         ::testing::Values(WindowCase{"default", 72, true, false},
                                           WindowCase{"narrow_8bit", 20, false, false},
                                           WindowCase{"widest", 199, true, false},
                                           WindowCase{"modern_mime", 40, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConvertTest, KludgesSetCharsetReplyIdentifierAndFileFlags) {
  CharSetMapEntry* in_only = settings->CharSetMap.add();
  in_only->fido_name = "LATIN-1#2";
  in_only->internet_name = "wrong";
  in_only->direction = Direction::import_only;
  CharSetMapEntry* e = settings->CharSetMap.add();
  e->fido_name = "LATIN-1#2";
  e->internet_name = "iso-8859-1";
  std::string mail =
      one_mail(netmail("UUCP",
                       "\x01"
                       "CHRS: LATIN-1 2\r\x01REPLY: 2:345/9 0000000a\r\x01intl 9:9/9 "
                       "9:9/9\rTo: a@b.example\r\rText\r"));
  EXPECT_NE(mail.find("In-Reply-To: <10@f9.n345.z2.fidonet.org>\n"), std::string::npos);
  EXPECT_NE(mail.find("Content-Type: text/plain; charset=iso-8859-1\n"), std::string::npos);
  // The lower-case kludge is not INTL: the origin stays.
  EXPECT_NE(mail.find("Message-ID: <77@f1.n345.z2.fidonet.org>\n"), std::string::npos);
}

// Names and subjects with 8-bit characters go out as encoded words in the
// message's charset, which Python's email package reads back as written;
// plain ones stay as they are.
TEST_F(ConvertTest, EightBitNamesBecomeEncodedWordsInTheMessagesCharset) {
  if (!testing::have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  CharSetMapEntry* e = settings->CharSetMap.add();
  e->fido_name = "LATIN-1#2";
  e->internet_name = "iso-8859-1";
  struct Case {
    const char* kludge;
    const char* name;  // as the FidoNet message holds it
    const char* utf8;  // as a reader sees it
  } cases[] = {
      {"", "J\x81rgen M\x94ller", "J\u00fcrgen M\u00f6ller"},  // CP437 without CHRS
      {"\x01"
       "CHRS: LATIN-1 2\r",
       "J\xfcrgen M\xf6ller", "J\u00fcrgen M\u00f6ller"},
      {"", "Plain Name", "Plain Name"},
  };
  for (const Case& c : cases) {
    TestMessage m = netmail("UUCP", std::string(c.kludge) + "To: a@b.example\r\rText\r");
    m.from_name = c.name;
    m.subject = std::string("Re: ") + c.name;
    std::string mail = one_mail(m);
    std::string from =
        mail.substr(mail.find("From:"), mail.find("\nReply-to:") - mail.find("From:"));
    for (char ch : from) EXPECT_LT(static_cast<unsigned char>(ch), 0x80) << from;
    std::string script =
        "import email, email.header, email.policy, re, sys\n"
        "m = email.message_from_string(sys.stdin.read(), policy=email.policy.compat32)\n"
        "words = lambda t: str(email.header.make_header(email.header.decode_header(t)))\n"
        "print(words(re.search(r'\\((.*)\\)', m['From'], re.S).group(1)))\n"
        "print(words(m['Subject']))\n";
    std::string read = testing::run_python(script, mail);
    EXPECT_EQ(read, std::string(c.utf8) + "\nRe: " + c.utf8 + "\n") << mail;
  }
}

// 8-bit names in the To and Copy lines go out as encoded words beside
// their addresses; Python's email package reads names and addresses back.
TEST_F(ConvertTest, EightBitRecipientNamesBecomeEncodedWords) {
  if (!testing::have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  TestMessage m = netmail("UUCP",
                          "To: J\x81rgen M\x94ller <jm@example.de>\rTo: plain@example.net\r"
                          "To: \"\x8Fse Berg\" <ase@example.se>\rCopy: ann@example.net (\x8Enne)\r"
                          "\rText\r");
  std::string mail = one_mail(m);
  std::string header = mail.substr(0, mail.find("\n\n"));
  for (char ch : header) EXPECT_LT(static_cast<unsigned char>(ch), 0x80) << header;
  std::string script =
      "import email, email.header, email.policy, re, sys\n"
      "m = email.message_from_string(sys.stdin.read(), policy=email.policy.default)\n"
      "for a in m['To'].addresses: print(a.display_name + '|' + a.addr_spec)\n"
      "print(m['Cc'].addresses[0].addr_spec)\n"
      "raw = email.message_from_string(str(m), policy=email.policy.compat32)['Cc']\n"
      "words = lambda t: str(email.header.make_header(email.header.decode_header(t)))\n"
      "print(words(re.search(r'\\((.*)\\)', raw, re.S).group(1)))\n";
  EXPECT_EQ(testing::run_python(script, mail),
            "J\u00fcrgen M\u00f6ller|jm@example.de\n|plain@example.net\n"
            "\u00c5se Berg|ase@example.se\nann@example.net\n\u00c4nne\n")
      << mail;
}

TEST_F(ConvertTest, MsgidAddressNamesTheSender) {
  settings->MapFidoOrg = true;
  run_options.verbose = true;
  TestMessage m = netmail("UUCP", "");
  m.from_name = "Ann Other";
  m.text = "\x01MSGID: 1:234/5.6 00000001\rTo: a@b.example\r\rText\r";
  std::string mail = one_mail(m);
  EXPECT_EQ(mail.substr(mail.find("From:"), mail.find("Subject:") - mail.find("From:")),
            "From: Ann.Other@p6.f5.n234.z1.fidonet.org (Ann Other)\n"
            "Reply-to: Ann.Other@p6.f5.n234.z1.fidonet.org (Ann Other)\n");
  EXPECT_NE(err.find("- from 1:234/5.6 (Ann Other) to a@b.example\n"), std::string::npos) << err;
}

TEST_F(ConvertTest, RouteMailCarriesPasswordAndSubjectText) {
  RouteEntry* r = settings->Route.add();
  r->address = FtnAddress{2, 345, 7, 0};
  r->email = "node7@example.net";
  r->password = "secret";
  r->subject = "FidoNet mail";
  select_route(*r);
  std::string bundle = dir.write("0000FFFF.MO0", "bundle");
  add_attachment(bundle);
  TestMessage m = netmail("Sysop", "Some text\r");
  m.attribute = 0x0010;
  m.subject = bundle;
  std::string mail = one_mail(m, ExportTarget::route);
  EXPECT_EQ(mail.substr(0, mail.find("From:")), "To: node7@example.net (Sysop)\n");
  EXPECT_NE(mail.find("Subject: FidoNet mail\n"), std::string::npos);
  EXPECT_NE(mail.find("X-MailPassword: secret\n"), std::string::npos);
  EXPECT_NE(mail.find("name=\"0000FFFF.MO0\""), std::string::npos);
  // Gateway lines are only read for the gateway: "To:" is body text here.
  TestMessage plain = netmail("", "To: x@y.example\r\rText\r");
  std::string second = one_mail(plain, ExportTarget::route);
  EXPECT_EQ(second.substr(0, second.find("From:")), "To: node7@example.net\n");
  EXPECT_TRUE(second.ends_with("\nTo: x@y.example\n\nText\n"));
}

TEST_F(ConvertTest, AliasesReplaceNamesAndAddresses) {
  AliasEntry* a = settings->Alias.add();
  a->email = "friend@example.net";
  a->alias = "Friend";
  std::string named = one_mail(netmail("friend", "Hi\r"));
  EXPECT_EQ(named.substr(0, named.find("From:")), "To: friend@example.net\n");
  std::string listed = one_mail(netmail("UUCP", "To: Friend\r\rHi\r"));
  EXPECT_EQ(listed.substr(0, listed.find("From:")), "To: friend@example.net\n");
}

TEST_F(ConvertTest, MailingListAreaBecomesMailToTheList) {
  MailingListEntry* l = settings->MailingList.add();
  l->area = "EXAMPLE.LIST";
  l->list_address = "list@lists.example.net";
  l->sender_address = "gate@example.org";
  TestMessage m;
  m.to_name = "All";
  m.text = "AREA:example.list\r" + kMsgId + "Posting\r";
  Written w = export_messages({m});
  ASSERT_EQ(w.mail.size(), 1u);
  EXPECT_EQ(w.mail[0].substr(0, w.mail[0].find("Subject:")),
            "To: list@lists.example.net\n"
            "From: gate@example.org (Joe Sysop)\n"
            "Reply-to: gate@example.org (Joe Sysop)\n");
  EXPECT_NE(w.mail[0].find("X-Comment-To: All\n"), std::string::npos);
}

TEST_F(ConvertTest, DatesOfEveryForm) {
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"09 Mar 99  14:05:07", "Tue, 09 Mar 1999 14:05:07"},
      {"1 jan 00 00:00:00", "Sat, 01 Jan 2000 00:00:00"},
      {"29 Feb 2024 23:59:58", "Thu, 29 Feb 2024 23:59:58"},
      {"31 Xyz 79 1:2:3", "Tue, 31 Jan 2079 01:02:03"},
  };
  for (const Case& c : cases) {
    FidoDate d = parse_fido_date(c.text);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %02d %-3s %04d %02d:%02d:%02d", kDayNames[d.weekday],
                  d.day, kMonthNames[d.month], d.year, d.hour, d.minute, d.second);
    EXPECT_EQ(std::string(buffer), c.expected) << c.text;
  }
}

TEST_F(ConvertTest, PacketHeadersDecideTheTarget) {
  RouteEntry* r = settings->Route.add();
  r->address = FtnAddress{2, 345, 7, 0};
  r->email = "node7@example.net";
  TestMessage m = netmail("Sysop", "Text\r");
  struct Case {
    FtnAddress to;
    bool plus;
    int result;
    ExportTarget target;
    const char* line;
  } cases[] = {
      {kGateway, true, 1, ExportTarget::gateway,
       "Exporting Type 2+ packet from 2:345/1 to 2:345/6\n"},
      {FtnAddress{2, 345, 7, 0}, true, 1, ExportTarget::route,
       "Exporting Type 2+ packet from 2:345/1 to 2:345/7\n"},
      {FtnAddress{2, 345, 6, 3}, true, 0, ExportTarget::undecided, ""},
      // Plain Type 2: the zones come from the first AddrMap entry.
      {FtnAddress{9, 345, 6, 0}, false, 1, ExportTarget::gateway,
       "Exporting Type 2 packet from 2:345/1 to 2:345/6\n"},
  };
  for (const Case& c : cases) {
    dir.write("T.PKT", build_packet(FtnAddress{c.plus ? uint16_t{2} : uint16_t{7}, 345, 1, 0}, c.to,
                                    {m}, c.plus));
    export_state.target = ExportTarget::undecided;
    platform::File in;
    ASSERT_TRUE(in.open(dir / "T.PKT", platform::OpenMode::read));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(export_packet(in, false), c.result);
    std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(export_state.target, c.target);
    EXPECT_EQ(out.substr(0, out.find('\n') + 1), c.line);
  }
  dir.write("S.PKT", std::string(57, '\x02'));
  platform::File shortp;
  ASSERT_TRUE(shortp.open(dir / "S.PKT", platform::OpenMode::read));
  EXPECT_EQ(export_packet(shortp, false), 0);
}

TEST_F(ConvertTest, MessagesThatCannotBeWrittenKeepTheirPacket) {
  settings->SoupDir = dir.path() + "/missing/";
  reset_reply_files();
  dir.write("pkts/A.PKT", build_packet(kNode1, kGateway, {netmail("UUCP", "To: a@b.c\r\rText\r")}));
  run_options.packet_dir = dir.path() + "/pkts/";
  flush_reply_file(kReplyMail);
  ::testing::internal::CaptureStderr();
  export_pkt_dir();
  std::string out = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(export_state.write_failed);
  EXPECT_EQ(export_state.stats.exported, 0);
  EXPECT_TRUE(testing::exists(dir / "pkts/A.PKT"));
  EXPECT_NE(out.find("A.PKT kept: not all of its messages could be written\n"), std::string::npos)
      << out;
}

TEST_F(ConvertTest, HostilePacketsAreReadToTheirEnd) {
  // Valid headers followed by random text made of the bytes that matter.
  const std::string alphabet = std::string(
                                   "\0\r\x01 >-=*:<\t\xE9"
                                   "aZ9",
                                   15) +
                               "AREA:To:---";
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  for (int round = 0; round < 60; ++round) {
    settings->LineWidth = static_cast<uint16_t>(20 + round % 3 * 60);
    std::string packet = build_packet(kNode1, kGateway, {netmail("UUCP", "To: a@b.c\r\rx\r")});
    packet.resize(58 + next() % 16);  // a message header cut anywhere
    for (std::size_t i = 0, n = next() % 3000; i < n; ++i) {
      packet.push_back(alphabet[next() % alphabet.size()]);
    }
    dir.write("H.PKT", packet);
    export_state.target = ExportTarget::gateway;
    platform::File in;
    ASSERT_TRUE(in.open(dir / "H.PKT", platform::OpenMode::read));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(export_packet(in, true), 1);
    ::testing::internal::GetCapturedStderr();
  }
}

TEST_F(ConvertTest, OutboundNamesFollowZoneAndPoint) {
  Settings& s = *settings;
  s.OutboundDir = "/fido/OUT\\";
  s.BaseZone = 2;
  PathText name;
  ASSERT_TRUE(outbound_base_name(FtnAddress{2, 280, 5, 0}, name));
  EXPECT_EQ(name.view(), "/fido/OUT\\01180005");
  ASSERT_TRUE(outbound_base_name(FtnAddress{1, 123, 4, 7}, name));
  EXPECT_EQ(name.view(), "/fido/OUT.001\\007B0004.PNT\\00000007");
  s.BaseZone = 0;
  ASSERT_TRUE(outbound_base_name(FtnAddress{1, 123, 4, 0}, name));
  EXPECT_EQ(name.view(), "/fido/OUT\\007B0004");
}

}  // namespace
}  // namespace quillmar
