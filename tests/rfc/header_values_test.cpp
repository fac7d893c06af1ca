#include "rfc/header_values.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fido/fido_state.hpp"

namespace quillmar {
namespace {

using test::FidoTest;

class HeaderValues : public FidoTest {};

// Runs a changing parser on a copy of `text`.
template <class Parser>
std::string changed(std::string text, Parser parser) {
  text.push_back('\0');
  parser(text.data());
  return std::string(text.c_str());
}

TEST_F(HeaderValues, UnescapeProtectsEscapedBlanksAndKeepsOneOfTwoBackslashes) {
  EXPECT_EQ(changed("a\\ b", unescape_text),
            "a\xFF"
            "b");
  EXPECT_EQ(changed("a\\\\b", unescape_text), "a\\b");
  EXPECT_EQ(changed("\\\"q\\\"", unescape_text), "\"q\"");
  EXPECT_EQ(changed("end\\", unescape_text), "end");
  EXPECT_EQ(changed("a\\\\\\ b", unescape_text),
            "a\\\xFF"
            "b");
}

TEST_F(HeaderValues, RestoreSpacesTurnsEveryProtectedSpaceIntoABlank) {
  EXPECT_EQ(changed("a\xFF"
                    "b\xFF",
                    restore_spaces),
            "a b ");
}

TEST_F(HeaderValues, StripQuotesRemovesMatchingPairsOnly) {
  EXPECT_EQ(changed("\"John\"", strip_quotes), "John");
  EXPECT_EQ(changed("'\"John\"'", strip_quotes), "John");
  EXPECT_EQ(changed("\"John'", strip_quotes), "\"John'");
  EXPECT_EQ(changed("\"", strip_quotes), "\"");
  EXPECT_EQ(changed("\"\"", strip_quotes), "");
}

TEST_F(HeaderValues, TrimSpaceRemovesAllWhiteSpaceAtBothEnds) {
  EXPECT_EQ(changed(" \t\r\n\v\fword two \t\r\n", trim_space), "word two");
  EXPECT_EQ(changed("   ", trim_space), "");
}

TEST_F(HeaderValues, CopyTrimmedSkipsBlanksAndTabsAndKeepsOutputForBlankValues) {
  Text<128> out("old");
  copy_trimmed(" \t ", out);
  EXPECT_EQ(out.view(), "old");
  copy_trimmed("\t Re: Hello\xFFWorld \t", out);
  EXPECT_EQ(out.view(), "Re: Hello World");
  copy_trimmed(std::string(300, 'x'), out);
  EXPECT_EQ(out.size(), 127u);
}

struct AddressCase {
  const char* label;  // the case's name in the test list
  const char* value;
  int kind;
  const char* address;               // first address delivered ("-" for none)
  const char* name;                  // first name delivered ("-" for none)
  std::vector<std::string> entries;  // "address|name" of the table entries
};

void PrintTo(const AddressCase& c, std::ostream* os) {
  *os << c.label;
}

class AddressLists : public HeaderValues, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(AddressLists, DeliverFirstAddressAndNameAndFillTheTable) {
  const AddressCase& c = GetParam();
  Text<128> address("-");
  Text<128> name("-");
  std::string value = c.value;
  parse_address_list(value.data(), &address, &name, c.kind, message_work.recipients);
  EXPECT_EQ(address.view(), c.address);
  EXPECT_EQ(name.view(), c.name);
  std::vector<std::string> entries;
  for (const Recipient& r : message_work.recipients) {
    EXPECT_EQ(r.kind, c.kind);
    entries.push_back(std::string(r.address.view()) + "|" + std::string(r.name.view()));
  }
  EXPECT_EQ(entries, c.entries);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AddressLists,
    ::testing::Values(
        AddressCase{
            "quoted_name", "\"John Smith\" <js@host>", kAddressFrom, "js@host", "John Smith", {}},
        AddressCase{
            "comment_name", "js@host (John Smith)", kAddressFrom, "js@host", "John Smith", {}},
        AddressCase{"bare", "js@host", kAddressFrom, "js@host", "-", {}},
        AddressCase{"brackets", "<js@host>", kAddressReplyTo, "js@host", "-", {}},
        AddressCase{
            "unquoted_name", "John Smith <js@host>", kAddressTo, "js@host", "John Smith", {}},
        AddressCase{
            "to_list", "a@x, \"B\" <b@y>, c@z (C c)", kAddressTo, "a@x", "-", {"b@y|B", "c@z|C c"}},
        AddressCase{"cc_list", "a@x, b@y", kAddressCc, "a@x", "-", {"a@x|", "b@y|"}},
        AddressCase{"bcc_list", "a@x, b@y", kAddressBcc, "a@x", "-", {"a@x|", "b@y|"}},
        AddressCase{"from_list", "a@x, b@y", kAddressFrom, "a@x", "-", {}},
        AddressCase{"reply_to_list", "a@x, b@y", kAddressReplyTo, "a@x", "-", {}},
        AddressCase{"quote_kind", "John Doe <jd@x>", kAddressQuote, "jd@x", "John Doe", {}},
        // A quoted display name with a comma stays one element.
        AddressCase{
            "quoted_comma", "\"Smith, John\" <js@host>", kAddressTo, "js@host", "Smith, John", {}},
        // A comma inside brackets does not end the element either.
        AddressCase{"comment_comma",
                    "js@host (Smith, John), b@y",
                    kAddressTo,
                    "js@host",
                    "Smith, John",
                    {"b@y|"}},
        // The apostrophe opens a quote that never closes: one element.
        AddressCase{"open_apostrophe",
                    "O'Brien <ob@host>, ann@host",
                    kAddressTo,
                    "ob@host",
                    ", ann@host",
                    {}},
        // An escaped blank stays in the address.
        AddressCase{"escaped_blank",
                    "\"J S\" <John\\ Smith@host>",
                    kAddressTo,
                    "John Smith@host",
                    "J S",
                    {}},
        // Without an at sign only a name is delivered and nothing is added.
        AddressCase{"name_only", "All Users", kAddressTo, "-", "All Users", {}},
        AddressCase{"single_quotes", "'Quoted Name' <q@h>", kAddressFrom, "q@h", "Quoted Name", {}},
        AddressCase{"empty", "", kAddressTo, "-", "-", {}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(HeaderValues, TheRecipientTableStopsAt1024Entries) {
  std::string value;
  for (int i = 0; i < 1100; ++i) value += "u" + std::to_string(i) + "@h, ";
  value += "last@h";
  parse_address_list(value.data(), nullptr, nullptr, kAddressCc, message_work.recipients);
  ASSERT_EQ(message_work.recipients.size(), 1024u);
  EXPECT_EQ(message_work.recipients[1023].address.view(), "u1023@h");
}

TEST_F(HeaderValues, AddressesAndNamesAreCutAt127Characters) {
  std::string local(200, 'a');
  std::string value = "\"" + std::string(200, 'N') + "\" <" + local + "@h>";
  Text<128> address, name;
  parse_address_list(value.data(), &address, &name, kAddressFrom, message_work.recipients);
  EXPECT_EQ(address.view(), local.substr(0, 127));
  // 127 characters are taken; the closing quote is cut off, so the opening one stays.
  EXPECT_EQ(name.view(), "\"" + std::string(126, 'N'));
}

TEST_F(HeaderValues, LongAndOddValuesStayBounded) {
  Text<128> address("-"), name("-"), id("-"), zone;
  std::string value(32766, '\\');
  parse_address_list(value.data(), &address, &name, kAddressTo, message_work.recipients);
  EXPECT_EQ(address.view(), "-");
  EXPECT_EQ(name.view(), "\\" + std::string(126, '\\'));

  value = std::string(16000, '"') + "x@y" + std::string(16000, '"');
  parse_address_list(value.data(), &address, &name, kAddressTo, message_work.recipients);
  EXPECT_EQ(address.view(), "\"");  // 127 quotes taken, then stripped in pairs

  value = std::string(20000, '<') + "@" + std::string(20000, '>') + ",,,@,";
  parse_address_list(value.data(), &address, &name, kAddressCc, message_work.recipients);
  EXPECT_EQ(address.view(), "@");

  value = std::string(40000, '@');
  extract_identifier(value.data(), id, true);
  EXPECT_EQ(id.size(), 127u);

  ParsedDate date;
  value = "Mon, 99999 Mar 99999999 99999:99999:99999 " + std::string(500, 'z');
  parse_date(value.data(), date, &zone);
  EXPECT_EQ(zone.size(), 127u);
  // A comma at the very start is no weekday: the commas are the day.
  value = std::string(300, ',') + " 1 2 3";
  parse_date(value.data(), date, &zone);
  EXPECT_EQ(date, (ParsedDate{0, 0, 2002, 3, 0, 0}));
}

TEST_F(HeaderValues, ExtractIdentifierTakesTheFirstOrLastAtSign) {
  Text<128> out("old");
  std::string v = "no identifier";
  extract_identifier(v.data(), out, false);
  EXPECT_EQ(out.view(), "old");

  v = "<1234@host.example>";
  extract_identifier(v.data(), out, false);
  EXPECT_EQ(out.view(), "1234@host.example");

  v = "<a@one> <b@two>\t<c@three>";
  extract_identifier(v.data(), out, true);
  EXPECT_EQ(out.view(), "c@three");

  v = "<a@one> <b@two> <c@three>";
  extract_identifier(v.data(), out, false);
  EXPECT_EQ(out.view(), "a@one");

  v = "Your message of Tuesday <77@f1.n2.z3.fidonet.org>";
  extract_identifier(v.data(), out, true);
  EXPECT_EQ(out.view(), "77@f1.n2.z3.fidonet.org");

  v = "\"x\\ y@h\" (comment)";
  extract_identifier(v.data(), out, false);
  EXPECT_EQ(out.view(), "x y@h");
}

TEST_F(HeaderValues, SplitNewsgroupsLeavesOutTheCurrentGroupAndEmptyElements) {
  split_newsgroups("comp.lang.c, alt.test,,  \tde.talk ,", "ALT.TEST", message_work.cross_posts);
  ASSERT_EQ(message_work.cross_posts.size(), 2u);
  EXPECT_EQ(message_work.cross_posts[0].view(), "comp.lang.c");
  EXPECT_EQ(message_work.cross_posts[1].view(), "de.talk");
}

TEST_F(HeaderValues, SplitNewsgroupsStopsAt1024Groups) {
  std::string value;
  for (int i = 0; i < 1030; ++i) value += "g" + std::to_string(i) + ",";
  split_newsgroups(value, "", message_work.cross_posts);
  EXPECT_EQ(message_work.cross_posts.size(), 1024u);
}

struct DateCase {
  const char* label;  // the case's name in the test list
  const char* value;
  ParsedDate date;
  const char* zone;  // "-" when the zone output is not reached
};

void PrintTo(const DateCase& c, std::ostream* os) {
  *os << c.label;
}

class Dates : public HeaderValues, public ::testing::WithParamInterface<DateCase> {};

TEST_P(Dates, ReadAsTheDateHeaderGivesThem) {
  const DateCase& c = GetParam();
  ParsedDate date{9, 9, 9, 9, 9, 9};
  Text<128> zone("-");
  std::string value = c.value;
  parse_date(value.data(), date, &zone);
  EXPECT_EQ(date, c.date) << c.value;
  EXPECT_EQ(zone.view(), c.zone) << c.value;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Dates,
    ::testing::Values(
        DateCase{"weekday", "Tue, 9 Mar 1999 14:05:07 +0100", {9, 2, 1999, 14, 5, 7}, "+0100"},
        DateCase{"no_weekday", "9 Mar 1999 14:05:07 +0100", {9, 2, 1999, 14, 5, 7}, "+0100"},
        DateCase{"long_weekday_comment",
                 "Tuesday, 9 Mar 1999 14:05:07 +0100 (MET)",
                 {9, 2, 1999, 14, 5, 7},
                 "+0100 (MET)"},
        DateCase{"short_year", "9 Mar 99 14:05", {9, 2, 1999, 14, 5, 0}, ""},
        DateCase{"year_69", "1 jan 69 00:00:01 GMT", {1, 0, 2069, 0, 0, 1}, "GMT"},
        DateCase{"year_70", "1 JAN 70 23:59:59 GMT", {1, 0, 1970, 23, 59, 59}, "GMT"},
        DateCase{"negative_offset", "31 Dec 05 01:02:03 -0500", {31, 11, 2005, 1, 2, 3}, "-0500"},
        DateCase{"tabs", "\t 2  Feb\t2000   10:11:12   EST", {2, 1, 2000, 10, 11, 12}, "EST"},
        // A value that ends with the year keeps the year and time defaults.
        DateCase{"ends_with_year", "Tue, 9 Mar 1999", {9, 2, 1970, 0, 0, 0}, "-"},
        DateCase{"day_month", "9 Mar", {9, 0, 1970, 0, 0, 0}, "-"},
        DateCase{"day", "9", {1, 0, 1970, 0, 0, 0}, "-"},
        DateCase{"empty", "", {1, 0, 1970, 0, 0, 0}, "-"},
        // An unknown month reads as January; a day in letters as 0.
        DateCase{"unknown_month", "9 Xyz 1999 14:05:07", {9, 0, 1999, 14, 5, 7}, ""},
        DateCase{"day_in_letters", "nine Mar 1999 14:05:07", {0, 2, 1999, 14, 5, 7}, ""},
        // A comma too far from the start is no weekday.
        DateCase{"late_comma", "9 March 1999 14:05, really", {9, 2, 1999, 14, 5, 0}, "really"},
        DateCase{"year_2100", "9 Mar 2100 1:2:3 x", {9, 2, 2100, 1, 2, 3}, "x"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(HeaderValues, ParseDateWithoutZoneOutput) {
  ParsedDate date;
  std::string value = "Tue, 9 Mar 1999 14:05:07 +0100";
  parse_date(value.data(), date, nullptr);
  EXPECT_EQ(date, (ParsedDate{9, 2, 1999, 14, 5, 7}));
}

TEST_F(HeaderValues, CharacterClassesOfTheAttributionRule) {
  for (char c : std::string(",;=")) EXPECT_TRUE(is_mask_separator(c));
  for (char c : std::string(" .:<>()")) EXPECT_FALSE(is_mask_separator(c));
  for (char c : std::string(">)")) EXPECT_TRUE(is_mask_closer(c));
  for (char c : std::string("<(,;= ")) EXPECT_FALSE(is_mask_closer(c));
}

}  // namespace
}  // namespace quillmar
