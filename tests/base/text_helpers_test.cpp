#include "base/text_helpers.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace quillmar {
namespace {

TEST(TextHelpers, Crc32) {
  EXPECT_EQ(crc32("", 0), 0u);
  EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(crc32("a", 1), 0xE8B7BE43u);
  // Every length, so that the eight-byte steps and the bytes after them
  // meet: against the plain bit-by-bit division.
  unsigned char bytes[40];
  for (std::size_t i = 0; i < sizeof bytes; ++i)
    bytes[i] = static_cast<unsigned char>(i * 37 + 200);
  for (std::size_t length = 0; length <= sizeof bytes; ++length) {
    uint32_t reg = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) {
      reg ^= bytes[i];
      for (int k = 0; k < 8; ++k) reg = (reg & 1) ? 0xEDB88320u ^ (reg >> 1) : reg >> 1;
    }
    EXPECT_EQ(crc32(bytes, length), ~reg) << length;
  }
}

TEST(TextHelpers, DayOfWeek) {
  EXPECT_EQ(day_of_week(1999, 6, 28), 1);
  EXPECT_EQ(day_of_week(2000, 2, 29), 2);
  EXPECT_EQ(day_of_week(2000, 3, 1), 3);
  EXPECT_EQ(day_of_week(1999, 3, 9), 2);
  EXPECT_EQ(day_of_week(2026, 12, 10), 4);
}

TEST(TextHelpers, CharacterConversions) {
  EXPECT_EQ(base64_value('A'), 0);
  EXPECT_EQ(base64_value('z'), 51);
  EXPECT_EQ(base64_value('9'), 61);
  EXPECT_EQ(base64_value('+'), 62);
  EXPECT_EQ(base64_value('/'), 63);
  EXPECT_EQ(base64_value('-'), 63);
  EXPECT_EQ(base64_value('='), -1);
  EXPECT_EQ(base64_value(200), -1);
  EXPECT_EQ(base64_value('\n'), -1);
  EXPECT_EQ(uu_char(0), '`');
  EXPECT_EQ(uu_char(1), '!');
  EXPECT_EQ(uu_char(63), '_');
  EXPECT_EQ(letter_number("apple"), 1);
  EXPECT_EQ(letter_number("Zoo"), 26);
  EXPECT_EQ(letter_number("9a"), 0);
  EXPECT_EQ(letter_number(""), 0);
  EXPECT_EQ(hex_digit_char(9), '9');
  EXPECT_EQ(hex_digit_char(10), 'A');
  EXPECT_EQ(hex_value('g'), 0);
  EXPECT_EQ(hex_value('f'), 15);
  EXPECT_EQ(hex_pair_value("ff"), 255);
  EXPECT_EQ(hex_pair_value("4A"), 74);
}

// Every pair of bytes: equal without regard to case exactly when
// ascii_lower makes them the same.
TEST(TextHelpers, EqualsNocaseTakesEveryByteAsAsciiLowerDoes) {
  std::string a = "Xk";
  std::string b = "xK";
  for (int x = 0; x < 256; ++x) {
    for (int y = 0; y < 256; ++y) {
      a[0] = static_cast<char>(x);
      b[0] = static_cast<char>(y);
      if (equals_nocase(a, b) != (ascii_lower(a[0]) == ascii_lower(b[0]))) {
        ADD_FAILURE() << x << " " << y;
        return;
      }
    }
  }
  EXPECT_TRUE(
      starts_with_nocase("content-transfer-encoding: base64", "Content-Transfer-Encoding:"));
  EXPECT_FALSE(starts_with_nocase("Content-Type: text/plain", "Content-Transfer-Encoding:"));
}

TEST(TextHelpers, Searches) {
  EXPECT_TRUE(contains_nocase("SPAM", "no spam here"));
  EXPECT_FALSE(contains_nocase("", "text"));
  EXPECT_FALSE(contains_nocase("longer than", "text"));
  struct Case {
    const char* word;
    const char* text;
    std::optional<std::size_t> at;
  } cases[] = {
      {"import", "iso-8859-1 IMPORT", 11},
      {"import", "importx", std::nullopt},
      {"EXPORT", "X.EXPORT", std::nullopt},
      {"EXPORT", "X-EXPORT", 2},
      {"EXPORT", "X EXPORT", 2},
      {"EXPORT", "EXPORT2 EXPORT", 8},
      {"", "text", std::nullopt},
      {"text", "tex", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(find_word_nocase(c.word, c.text), c.at) << c.text;
}

TEST(TextHelpers, AddressMatch) {
  struct Case {
    const char* pattern;
    const char* address;
    bool match;
  } cases[] = {
      {"*@b.c", "anyone@b.c", true},
      {"*@b.c", "anyone@x.b.c", false},
      {"*@b.c", "anyone@b.cc", false},
      {"john*@*", "johnny@x.org", true},
      {"john*@*", "jo@x.org", false},
      {"*smith@*.c", "j.smith@a.c", true},
      {"joe", "joe@x", false},
      {"joe@x", "joe", false},
      {"JOE@X", "joe@x", true},
      {"joe", "JOE", true},
      {"a*b@x", "a*b@x", true},
      {"a*b@x", "axxb@x", false},
      {"*@*", "a@b", true},
      {"*toolongpattern@x", "a@x", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(address_match(c.pattern, c.address), c.match) << c.pattern << " " << c.address;
  }
}

TEST(TextHelpers, MailBundleNames) {
  for (const char* yes : {"00FA0012.MO0", "00fa0012.we9", "12345678.PKT", "X.PKT", "x.pkt", "*.SU0",
                          "00000000.FRF"}) {
    EXPECT_TRUE(is_mail_bundle_name(yes)) << yes;
  }
  for (const char* no :
       {"00FA0012.MOX", "0FA0012.MO0", "00FA0012.ZIP", "PKT", ".PKT", "0000000G.MO0", "*.XX0"}) {
    EXPECT_FALSE(is_mail_bundle_name(no)) << no;
  }
}

TEST(TextHelpers, FileNameCompare) {
  EXPECT_EQ(file_name_compare("C:\\OUT\\FILE.ZIP", "/tmp/file.zip"), 0);
  EXPECT_EQ(file_name_compare("a/b\\FILE", "file"), 0);
  EXPECT_LT(file_name_compare("A", "b"), 0);
  EXPECT_GT(file_name_compare("C:\\x\\B", "a"), 0);
}

TEST(TextHelpers, ReplacePlaceholder) {
  char text[64] = "Hello @YOURNAME@!";
  replace_placeholder(text, sizeof text, "@YOURNAME@", "Ann");
  EXPECT_STREQ(text, "Hello Ann!");
  std::strcpy(text, "Hello @YOURNAME@!");
  replace_placeholder(text, sizeof text, "@YOURNAME@", nullptr);
  EXPECT_STREQ(text, "Hello [unknown]!");
  // A value holding the placeholder is not replaced again.
  std::strcpy(text, "@X@ and @X@");
  replace_placeholder(text, sizeof text, "@X@", "<@X@>");
  EXPECT_STREQ(text, "<@X@> and <@X@>");
  // A result that does not fit leaves the rest as it is.
  char small[16] = "@N@ @N@";
  replace_placeholder(small, sizeof small, "@N@", "abcdefgh");
  EXPECT_STREQ(small, "abcdefgh @N@");
  char tiny[12] = "Hi @N@";
  replace_placeholder(tiny, sizeof tiny, "@N@", "a long name");
  EXPECT_STREQ(tiny, "Hi @N@");
}

}  // namespace
}  // namespace quillmar
