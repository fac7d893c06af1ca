// Header values of real mail as ModernMime reads them: encoded words,
// split and charset-tagged parameters, and recoding into FidoNet charsets.
#include <gtest/gtest.h>

#include "base/charset.hpp"
#include "rfc/mime_words.hpp"

namespace quillmar {
namespace {

TEST(MimeWords, EncodedWordsDecodeAsReadersShowThem) {
  struct Case {
    const char* raw;
    const char* shown;
  } cases[] = {
      // Adjacent words join; the blank between a word and text stays.
      {"=?utf-8?q?Gr=C3=BC?= =?utf-8?b?w59l?= aus", "Grüße aus"},
      {"Re: =?ISO-8859-1?Q?caf=E9_cr=E8me?=", "Re: café crème"},
      {"=?koi8-r?b?8NLJ18XU?=", "Привет"},
      // RFC 2231 language tag in the charset.
      {"=?utf-8*de?q?=C3=A4?=", "ä"},
      // Broken or foreign words stay as they are; raw 8-bit text is read
      // as UTF-8 when it is, else as the fallback charset.
      {"=?utf-8?x?abc?= =?utf-8?q?no end", "=?utf-8?x?abc?= =?utf-8?q?no end"},
      {"na\xC3\xAFve", "naïve"},
      {"caf\xE9", "café"},
      // Control characters cannot end the line or start a kludge.
      {"=?utf-8?q?a=0D=01INTL_b=00c?=", "a  INTL b c"},
      // An unknown charset is read as the fallback.
      {"=?x-unknown?q?caf=E9?=", "café"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode_header_text(c.raw, "windows-1252"), c.shown) << c.raw;
  }
}

TEST(MimeWords, ParametersLoseQuotesAndJoinTheirPieces) {
  struct Case {
    const char* field;
    const char* name;
    const char* value;
  } cases[] = {
      {"attachment; filename=\"a \\\"b\\\".txt\"", "filename", "a \"b\".txt"},
      {"attachment; filename*=utf-8''%C3%9Cbersicht%20M%C3%A4rz.pdf", "filename",
       "Übersicht März.pdf"},
      {"attachment; filename*0*=iso-8859-1'fr'caf%E9; filename*1=\".txt\"", "filename", "café.txt"},
      {"application/pdf; name=\"=?utf-8?b?w5xiZXI=?=.pdf\"", "name", "Über.pdf"},
      {"text/plain; charset=\"UTF-8\"; format=flowed", "charset", "UTF-8"},
      {"multipart/mixed;\tboundary=----=_Part_1 ; x=y", "boundary", "----=_Part_1"},
      // Encoded values in quotes are decoded too; the form a name is first
      // given in counts (as Python's email package reads them).
      {"multipart/mixed; boundary*=\"us-ascii'en'%3D_p\"; boundary=x", "boundary", "=_p"},
      {"multipart/mixed; boundary*0*=\"us-ascii''%3Da\"; boundary*1=\"b\"", "boundary", "=ab"},
      {"attachment; filename=\"old.bin\"; filename*0*=utf-8''gr%C3%BC; filename*1=n", "filename",
       "old.bin"},
      // A backslash is an escape only before a double quote or a backslash.
      {"application/octet-stream; name=\"C:\\docs\\data.bin\"", "name", "C:\\docs\\data.bin"},
      {"application/octet-stream; name=\"C:\\\\docs\\\\data.bin\"", "name", "C:\\docs\\data.bin"},
  };
  for (const Case& c : cases) {
    MimeField f = parse_mime_field(c.field, "windows-1252");
    EXPECT_EQ(f.param(c.name), c.value) << c.field;
  }
  EXPECT_EQ(parse_mime_field("Text/HTML; charset=x", "").value, "text/html");
}

TEST(MimeWords, RecodingKeepsEveryLineAndWholeCharacters) {
  // Characters the target lacks become readable stand-ins.
  EXPECT_EQ(recode("Größe – 5 €", "UTF-8", "CP437"),
            "Gr\x94\xE1"
            "e - 5 EUR");
  EXPECT_EQ(recode("Привет", "UTF-8", "ISO-8859-1").find_first_not_of('?'), std::string::npos);
  EXPECT_EQ(recode("\xF0\xE9", "KOI8-R", "UTF-8"), "ПИ");
  // Bytes that are not UTF-8 cost one "?" each, never the rest.
  EXPECT_EQ(recode("a\xFF"
                   "b\n",
                   "UTF-8", "CP866"),
            "a?b\n");
  EXPECT_EQ(cut_text("aé", 2, true), "a");
  EXPECT_EQ(cut_text("aé", 2, false), "a\xC3");
  const FidoCharsetInfo* latin = find_fido_charset("iso-8859-1");
  ASSERT_NE(latin, nullptr);
  EXPECT_STREQ(latin->chrs, "LATIN-1");
  EXPECT_STREQ(find_fido_charset("cp437")->chrs, "CP437");
  EXPECT_STREQ(find_fido_charset("windows-1251")->chrs, "CP1251");
  EXPECT_EQ(iconv_name_of("IBMPC 2"), "CP437");
  EXPECT_EQ(iconv_name_of("CP866#2"), "CP866");
}

// Text that a label calls base64 is told from base64 that encoders
// write.
TEST(MimeWords, TextLabelledBase64IsToldFromBase64) {
  struct Case {
    const char* label;
    std::string body;
    bool complete;
    bool declared_text;
    bool text;
  } cases[] = {
      {"encoded text", "SGVsbG8gSm9lLAp0aGlzIHRleHQgd2FzIGVuY29kZWQuCg==\n", true, true, false},
      {"encoded lines of 76", std::string(76, 'Q') + "\n" + std::string(76, 'Q') + "\r\nQUJD\n",
       true, false, false},
      {"lines of 61 of one width", std::string(61, 'A') + "\n" + std::string(61, 'A') + "\nQQ==\n",
       true, false, false},
      {"blanks inside a line", "Hello Joe,\nthis was never encoded.\n", true, true, true},
      {"punctuation", "Thanks!\n", true, false, true},
      {"words on lines of their own", "Thanks\nfor\nthe\nhelp\nAnn\n", true, false, true},
      {"a length no base64 has", "QUJDR\n", true, false, true},
      {"that length in the start of a block", "QUJDR", false, false, false},
      {"mostly control bytes, declared text", "AAAAAAAA\n", true, true, true},
      {"mostly control bytes, no type", "AAAAAAAA\n", true, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(plainly_not_base64(c.body, c.complete, c.declared_text), c.text) << c.label;
  }
}

}  // namespace
}  // namespace quillmar
