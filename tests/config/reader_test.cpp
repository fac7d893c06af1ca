// The configuration reader and the keyword handlers, read in-process so that
// the stored settings can be looked at.
#include "config/reader.hpp"

#include <gtest/gtest.h>

#include "config/settings.hpp"
#include "test_support.hpp"

namespace quillmar {
namespace {

using testing::ScratchDir;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    allocate_settings();
    settings->EmailArea = "NETMAIL";
    settings->OwnOrgArea = "ARCHIVES";
    settings->JunkArea = "JUNKMAIL";
  }
  void TearDown() override { release_settings(); }

  // Reads `text` as the main configuration; the warnings it gave, without
  // the line below each that shows the keyword and value (kept in full_).
  std::string read(const std::string& text) {
    path_ = dir_.write("gate.cfg", text);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(read_config(path_, program()));
    full_ = ::testing::internal::GetCapturedStderr();
    std::string out;
    bool after_warning = false;
    for (std::size_t pos = 0; pos < full_.size();) {
      std::size_t end = full_.find('\n', pos);
      end = end == std::string::npos ? full_.size() : end + 1;
      std::string line = full_.substr(pos, end - pos);
      pos = end;
      if (!(after_warning && line != "\n")) out += line;
      after_warning = line.starts_with("Warning: ");
    }
    return out;
  }
  std::string program() const { return dir_ / "quillmar"; }
  std::string warning(const std::string& message, long line, const std::string& path = "") {
    return "Warning: " + message + " in line " + std::to_string(line) + " of " +
           (path.empty() ? path_ : path) + "\n\n";
  }

  ScratchDir dir_;
  std::string path_;
  std::string full_;
};

TEST_F(ConfigTest, LineSyntax) {
  std::string err = read(
      "FidoAdr 2:280/464\n"                  // 1: misspelt
      "fidoaddr 2:280/464\n"                 // 2
      "FidoAddr\t2:280/465\n"                // 3: a tab is no separator
      " FidoAddr 2:280/466\n"                // 4: empty keyword
      "   \n"                                // 5: blanks only
      "; FidoAddr 1:1/1\n"                   // 6: comment
      "\n"                                   // 7
      "Origin My BBS ; comment  \r\n"        // 8: the ";" and trailing blanks belong to the value
      "MapFidoOrg Yes \n"                    // 9: so does a trailing blank
      "MailerType Binkley \n"                // 10
      "FidoAddr    2:280/464 ; gateway\n");  // 11
  EXPECT_EQ(err, warning("unknown keyword", 1) + warning("unknown keyword", 3) +
                     warning("unknown keyword", 4) + warning("unknown keyword", 5) +
                     warning("invalid Yes/No parameter", 9) + warning("invalid mailer type", 10));
  EXPECT_EQ(settings->FidoAddr, (FtnAddress{2, 280, 464, 0}));
  EXPECT_EQ(settings->Origin.view(), "My BBS ; comment  ");
  EXPECT_FALSE(settings->MapFidoOrg);
  EXPECT_EQ(settings->mailer_type, MailerType::none);
}

TEST_F(ConfigTest, LongLinesAreReadInPiecesOf254) {
  std::string origin = "Origin " + std::string(247, 'a');  // 254 characters
  std::string err =
      read(origin + "\n" + "Organization " + std::string(287, 'b') + "\nQuoteTo Yes\n");
  // A line of exactly 254 characters leaves its line end to a second, empty
  // read (line 2); the 300-character line is lines 3 and 4, and the rest of
  // it is a keyword of its own.
  EXPECT_EQ(err, warning("unknown keyword", 4));
  EXPECT_EQ(settings->Origin.size(), 63u);
  EXPECT_EQ(settings->Organization.size(), 127u);
  EXPECT_TRUE(settings->QuoteTo);
}

TEST_F(ConfigTest, BinaryAndNulBytesNeverStopTheReader) {
  std::string text = "FidoAddr 2:280/464\n";
  text += std::string("\x01\xff\x80 junk\n", 9);
  text += std::string("Origin a\0b\n", 11);
  text += std::string(5000, 'x') + "\n";
  text += "QuoteTo Yes\x1a";  // no final line end, and the DOS end-of-file mark
  std::string err = read(text);
  EXPECT_EQ(settings->Origin.view(), "a");
  EXPECT_TRUE(settings->QuoteTo);
  EXPECT_NE(err.find("unknown keyword in line 2 "), std::string::npos);
}

TEST_F(ConfigTest, FtnAddressesAndNumbers) {
  std::string err = read(
      "FidoAddr 2:280\n"
      "BaseZone abc\n"
      "ExportMaxTo 70000\n"
      "MaxPKTSize 3\n"
      "ImportLimit 500\n"
      "ExportMaxXPost 10\n");
  EXPECT_EQ(err, warning("invalid FTN address", 1) + warning("invalid number", 2) +
                     warning("limit too small", 4) + warning("limit too small", 5));
  // An address missing its node is no address at all.
  EXPECT_EQ(settings->FidoAddr, (FtnAddress{}));
  EXPECT_EQ(settings->ExportMaxTo, 70000 & 0xFFFF);
  EXPECT_EQ(settings->MaxPKTSize, 4u);
  EXPECT_EQ(settings->ImportLimit, 2048u);
  EXPECT_EQ(settings->ExportMaxXPost, 10);
  read("ImportLimit 1024\nMaxPKTSize 0\nFidoAddr 2:280/464.7@fidonet\n");
  EXPECT_EQ(settings->ImportLimit, 1024u);
  EXPECT_EQ(settings->FidoAddr, (FtnAddress{2, 280, 464, 7}));
}

// Below each warning the keyword and value it is about, as written; an
// address is its first word, read whole (a domain belongs to it, a comment
// may follow a blank), else the setting stays unset.
TEST_F(ConfigTest, WarningsShowTheLineAndAddressesAreReadWhole) {
  struct Case {
    const char* line;
    const char* reason;  // the line below the warning; empty: no warning
    FtnAddress address;
  };
  const Case cases[] = {
      {"LineWith 72", "LineWith 72: unknown keyword", {}},
      {"QuoteTo maybe", "QuoteTo maybe: invalid Yes/No parameter", {}},
      {"FidoAddr 2:345-6", "FidoAddr 2:345-6: invalid FTN address", {}},
      {"FidoAddr 2:345/6x", "FidoAddr 2:345/6x: invalid FTN address", {}},
      {"FidoAddr 2:345/6.", "FidoAddr 2:345/6.: invalid FTN address", {}},
      {"FidoAddr 2:345/6", "", {2, 345, 6, 0}},
      {"FidoAddr 2:345/6.7@fidonet", "", {2, 345, 6, 7}},
      {"FidoAddr 2:345/6 ; the gateway", "", {2, 345, 6, 0}},
  };
  for (const Case& c : cases) {
    std::string err = read(std::string(c.line) + "\n");
    if (*c.reason == '\0') {
      EXPECT_EQ(full_, "") << c.line;
    } else {
      std::string message = std::string(c.reason).substr(std::string(c.reason).rfind(": ") + 2);
      EXPECT_EQ(full_, "Warning: " + message + " in line 1 of " + path_ + "\n" + c.reason + "\n\n")
          << c.line;
    }
    EXPECT_EQ(settings->FidoAddr, c.address) << c.line;
    settings->FidoAddr = FtnAddress{};
  }
}

// The wait for a lock held by another run or program: a minute unless set,
// a day at most.
TEST_F(ConfigTest, LockWait) {
  EXPECT_EQ(read(""), "");
  EXPECT_EQ(settings->LockWait, 60u);
  EXPECT_EQ(read("LockWait 5\n"), "");
  EXPECT_EQ(settings->LockWait, 5u);
  EXPECT_EQ(read("LockWait 0\n"), "");
  EXPECT_EQ(settings->LockWait, 0u);
  EXPECT_EQ(read("LockWait 100000\n"), warning("value too large", 1));
  EXPECT_EQ(settings->LockWait, 86400u);
  EXPECT_EQ(read("LockWait soon\n"), warning("invalid number", 1));
}

TEST_F(ConfigTest, AddressMapping) {
  std::string err = read(
      "AddrMap 2:280/464.1 joe@x.org,replies@x.org Joe User\n"
      "AddrMap 2:280/464.2 ann@x.org\n"
      "AddrMap 2:280/464.1\n"
      "AddrMap 2:280/464.3 joe\n"
      "Personal 2:280/464.4 Old Style\n"
      "Personal 2:280/464.5\n"
      "Alias friend@y.org Friend\n"
      "Alias friend@y.org\n"
      "FidoDomain 1-6 fidonet.org\n"
      "FidoDomain 2 fido.example.net\n"
      "FidoDomain two x.org\n"
      "FidoDomain 7\n");
  EXPECT_EQ(err,
            warning("AddrMap misses parameter", 3) + warning("invalid email address", 4) +
                warning("obsolete keyword Personal", 5) + warning("obsolete keyword Personal", 6) +
                warning("Personal misses parameter", 6) + warning("Alias misses parameter", 8) +
                warning("FidoDomain has invalid parameter", 11) +
                warning("FidoDomain misses parameter", 12));
  ASSERT_EQ(settings->AddrMap.size(), 4u);
  const AddrMapEntry& joe = settings->AddrMap[0];
  EXPECT_EQ(joe.ftn_address, (FtnAddress{2, 280, 464, 1}));
  EXPECT_EQ(joe.internet_address.view(), "joe@x.org");
  EXPECT_EQ(joe.reply_address.view(), "replies@x.org");
  EXPECT_EQ(joe.fido_name.view(), "Joe User");
  EXPECT_EQ(settings->AddrMap[1].reply_address.view(), "");
  EXPECT_EQ(settings->AddrMap[2].internet_address.view(), "joe");
  EXPECT_EQ(settings->AddrMap[3].fido_name.view(), "Old Style");
  EXPECT_EQ(settings->AddrMap[3].internet_address.view(), "");
  ASSERT_EQ(settings->Alias.size(), 1u);
  EXPECT_EQ(settings->Alias[0].alias.view(), "Friend");
  ASSERT_EQ(settings->FidoDomain.size(), 2u);
  EXPECT_EQ(settings->FidoDomain[0].zone_low, 1);
  EXPECT_EQ(settings->FidoDomain[0].zone_high, 6);
  EXPECT_EQ(settings->FidoDomain[1].zone_low, 2);
  EXPECT_EQ(settings->FidoDomain[1].zone_high, 2);
  EXPECT_EQ(settings->FidoDomain[1].domain, "fido.example.net");
}

TEST_F(ConfigTest, TablesStopAtTheirCapacity) {
  std::string text;
  for (int i = 0; i < 1025; ++i) text += "AddrMap 2:280/464." + std::to_string(i) + " u@x.org\n";
  text += "Personal 2:280/464.9 Late\n";
  for (int i = 0; i < 10000; ++i) text += "JunkSubj offer " + std::to_string(i) + "\n";
  std::string err = read(text);
  EXPECT_EQ(settings->AddrMap.size(), 1024u);
  EXPECT_EQ(settings->JunkSubj.size(), 2048u);
  EXPECT_NE(err.find(warning("too many AddrMap keywords", 1025)), std::string::npos);
  EXPECT_NE(err.find(warning("obsolete keyword Personal", 1026) +
                     warning("too many AddrMap/Personal keywords", 1026)),
            std::string::npos);
  EXPECT_NE(err.find(warning("too many JunkSubj keywords", 1026 + 2049)), std::string::npos);
}

TEST_F(ConfigTest, AreasRoutesAndLists) {
  std::string err = read(
      "AreaMap fido.test alt.test\n"                                                // 1
      "AreaMap FIDO.IMP alt.imp EXPORT\n"                                           // 2
      "AreaMap FIDO.X alt.x both\n"                                                 // 3
      "AreaMap FIDO.Y\n"                                                            // 4
      "Route 2:2/2 a@b.c SUBJ=packet\n"                                             // 5
      "Route 2:2/3 a@b.c SUBJ=a b\n"                                                // 6
      "Route 2:2/4 a@b.c secret SUBJ=a b\n"                                         // 7
      "Route 2:2/5 a@b.c secret other\n"                                            // 8
      "Route 2:2/6\n"                                                               // 9
      "MailingList L1 list@x.org,owner@x.org [list] TRUNCATE=_____ ;SUBJ:[list]\n"  // 10
      "MailingList L2 list@x.org [list] TRUNCATE=_____;SUBJ:[list]\n"               // 11
      "MailingList L3 list@x.org pattern with blanks\n"                             // 12
      "MailingList L4 list@x.org\n"                                                 // 13
      "MailingList L5 list@x.org p TRUNCATE=;SUBJ:tag\n"                            // 14
      "EmailArea mail.area\n"                                                       // 15
      "JunkArea junk.mail\n");                                                      // 16
  EXPECT_EQ(err, warning("unknown direction", 3) + warning("AreaMap misses parameter", 4) +
                     warning("Route has too many parameters", 6) +
                     warning("Route has invalid parameter", 8) +
                     warning("Route misses parameter", 9) +
                     warning("MailingList misses parameter", 13));
  ASSERT_EQ(settings->AreaMap.size(), 3u);
  EXPECT_EQ(settings->AreaMap[0].area.view(), "FIDO.TEST");
  EXPECT_EQ(settings->AreaMap[0].newsgroup.view(), "alt.test");
  EXPECT_EQ(settings->AreaMap[0].direction, Direction::both);
  EXPECT_EQ(settings->AreaMap[1].direction, Direction::export_only);
  EXPECT_EQ(settings->AreaMap[2].direction, Direction::both);
  ASSERT_EQ(settings->Route.size(), 2u);
  EXPECT_EQ(settings->Route[0].password.view(), "");
  EXPECT_EQ(settings->Route[0].subject.view(), "packet");
  EXPECT_EQ(settings->Route[1].password.view(), "secret");
  EXPECT_EQ(settings->Route[1].subject.view(), "a b");
  ASSERT_EQ(settings->MailingList.size(), 4u);
  const MailingListEntry& l1 = settings->MailingList[0];
  EXPECT_EQ(l1.sender_address.view(), "owner@x.org");
  EXPECT_EQ(l1.pattern.view(), "[list]");
  EXPECT_EQ(l1.truncate_text.view(), "_____");
  EXPECT_EQ(l1.subject_tag.view(), "[list]");
  EXPECT_EQ(settings->MailingList[1].truncate_text.view(), "____");
  EXPECT_EQ(settings->MailingList[2].pattern.view(), "pattern with blanks");
  EXPECT_EQ(settings->MailingList[2].truncate_text.view(), "");
  EXPECT_EQ(settings->MailingList[3].truncate_text.view(), "");
  EXPECT_EQ(settings->MailingList[3].subject_tag.view(), "tag");
  EXPECT_EQ(settings->EmailArea.view(), "MAIL.AREA");
  EXPECT_EQ(settings->JunkArea.view(), "JUNK.MAIL");
  read("EmailArea\n");
  EXPECT_EQ(settings->EmailArea.view(), "NETMAIL");
}

TEST_F(ConfigTest, DirectoriesAndFiles) {
  std::string err = read(
      "InboundDir C:\\FIDO\\IN\n"
      "OutboundDir /var/spool/out/\n"
      "DecodeDir C:\\FILES ALL\n"
      "PacketPwd secret123\n"
      "LogFile gate.log\n");
  EXPECT_EQ(err, "");
  EXPECT_EQ(settings->InboundDir.view(), "C:\\FIDO\\IN\\");
  EXPECT_EQ(settings->OutboundDir.view(), "/var/spool/out/");
  EXPECT_EQ(settings->DecodeDir.view(), "C:\\FILES\\");
  EXPECT_TRUE(settings->decode_all);
  EXPECT_EQ(settings->PacketPwd.view(), "SECRET12");
  EXPECT_EQ(settings->LogFile.view(), dir_ / "gate.log");
  err = read(
      "DecodeDir C:\\FILES NONE\n"
      "DecodeDir C:\\FILES  ALL\n"
      "LogFile .\\gate.log\n");
  EXPECT_EQ(err,
            warning("invalid DecodeDir parameter", 1) + warning("invalid DecodeDir parameter", 2));
  EXPECT_EQ(settings->DecodeDir.view(), "C:\\FILES\\");
  EXPECT_FALSE(settings->decode_all);
  EXPECT_EQ(settings->LogFile.view(), ".\\gate.log");
}

// PacketSender names the Internet senders whose packets may reach the
// tosser, each with its node; AddrMapToName and BounceUnaddressed are
// plain switches.
TEST_F(ConfigTest, PacketSendersAddrMapToNameAndBounceUnaddressed) {
  std::string err = read(
      "PacketSender hub@example.net 2:345/7\n"
      "PacketSender point@example.net 2:345/7.3@fidonet\n"
      "PacketSender lonely@example.net\n"
      "PacketSender nobody 2:345/8\n"
      "AddrMapToName Yes\n"
      "BounceUnaddressed Yes\n");
  EXPECT_EQ(err, warning("PacketSender misses parameter", 3) + warning("invalid email address", 4));
  ASSERT_EQ(settings->PacketSender.size(), 3u);
  EXPECT_EQ(settings->PacketSender[0].email.view(), "hub@example.net");
  EXPECT_EQ(settings->PacketSender[0].node, (FtnAddress{2, 345, 7, 0}));
  EXPECT_EQ(settings->PacketSender[1].node, (FtnAddress{2, 345, 7, 3}));
  EXPECT_TRUE(settings->AddrMapToName);
  EXPECT_TRUE(settings->BounceUnaddressed);
  err = read("AddrMapToName Maybe\n");
  EXPECT_EQ(err, warning("invalid Yes/No parameter", 1));
  EXPECT_FALSE(settings->AddrMapToName);
}

TEST_F(ConfigTest, IncludesNestAndCyclesAreRefused) {
  dir_.write("extra.cfg", "Origin from extra\nInclude " + dir_.path() + "/deeper.cfg\nbad\n");
  dir_.write("deeper.cfg",
             "QuoteTo Yes\nInclude ./none.cfg\nInclude " + dir_.path() + "/gate.cfg\nnope\n");
  std::string err = read("Include extra.cfg\nUseQP No\nwrong\n");
  std::string extra = dir_ / "extra.cfg";
  std::string deeper = dir_.path() + "/deeper.cfg";
  EXPECT_EQ(err, "Error: can't read ./none.cfg\nInclude in line 2 of " + deeper +
                     ": ./none.cfg: No such file or directory\n" +
                     warning("Include of a file that is already being read", 3, deeper) +
                     warning("unknown keyword", 4, deeper) + warning("unknown keyword", 3, extra) +
                     warning("unknown keyword", 3));
  EXPECT_EQ(settings->Origin.view(), "from extra");
  EXPECT_TRUE(settings->QuoteTo);
  EXPECT_FALSE(settings->UseQP);
}

TEST_F(ConfigTest, MessageHandlingKeywords) {
  std::string err = read(
      "HeaderInfo Email Yes\n"                // 1
      "HeaderInfo Name\n"                     // 2
      "HeaderInfo Mail Yes\n"                 // 3
      "CharSetMap IBMPC iso-8859-1 EXPORT\n"  // 4
      "CharSetMap LATIN-1#2 iso-8859-1\n"     // 5
      "CharSetMap CP437 x-cp437  import\n"    // 6
      "CharSetMap ONLY\n"                     // 7
      "QuoteChar > 0-5 0-3\n"                 // 8
      "QuoteChar > 5-0\n"                     // 9
      "QuoteChar > 0-300\n"                   // 10
      "QuoteChar >\n"                         // 11
      "QuoteMask wrote:\n"                    // 12
      "LineWidth abc\n"                       // 13
      "StripKludges Some News\n"              // 14
      "StripKludges Maybe Email\n"            // 15
      "StripKludges Yes Mail\n"               // 16
      "KillOrigin email\n"                    // 17
      "KillOrigin sometimes\n"                // 18
      "EncodeFormat uu\n"                     // 19
      "JunkFrom *@spam.example\n"             // 20
      "JunkCategory News\n"                   // 21
      "JunkFrom *@*\n"                        // 22
      "JunkCategory Sometimes\n"              // 23
      "JunkGroup alt.spam\n"                  // 24
      "JunkAction move\n"                     // 25
      "OwnOrgAction drop\n"                   // 26
      "AttachMail delete\n"                   // 27
      "AttachNews decode\n"                   // 28
      "IgnoreMessageText *daemon@x.org\n");   // 29
  EXPECT_EQ(err, warning("HeaderInfo misses parameter", 2) +
                     warning("HeaderInfo has invalid parameter", 3) +
                     warning("CharSetMap misses parameter", 7) +
                     warning("QuoteChar has invalid parameter", 9) +
                     warning("QuoteChar has invalid parameter", 10) +
                     warning("QuoteChar misses parameter", 11) + warning("invalid number", 13) +
                     warning("line width too small", 13) +
                     warning("unknown StripKludges setting", 15) +
                     warning("unknown StripKludges category", 16) +
                     warning("invalid KillOrigin parameter", 18) + warning("invalid category", 23) +
                     warning("invalid action", 26) + warning("invalid action", 27));
  EXPECT_EQ(settings->header_form, HeaderForm::email);
  EXPECT_EQ(settings->extra_lines, ExtraLines::names);
  ASSERT_EQ(settings->CharSetMap.size(), 3u);
  EXPECT_EQ(settings->CharSetMap[0].internet_name, "iso-8859-1");
  EXPECT_EQ(settings->CharSetMap[0].direction, Direction::export_only);
  EXPECT_EQ(settings->CharSetMap[1].fido_name, "LATIN-1#2");
  EXPECT_EQ(settings->CharSetMap[1].direction, Direction::both);
  EXPECT_EQ(settings->CharSetMap[2].internet_name, "x-cp437");
  EXPECT_EQ(settings->CharSetMap[2].direction, Direction::import_only);
  ASSERT_EQ(settings->QuoteChar.size(), 1u);
  EXPECT_EQ(settings->QuoteChar[0].last_column, 5);
  EXPECT_EQ(settings->QuoteChar[0].most_letters, 3);
  EXPECT_EQ(settings->LineWidth, 20);
  EXPECT_EQ(settings->StripKludges[kKindMail], StripLevel::no);
  EXPECT_EQ(settings->StripKludges[kKindNews], StripLevel::some);
  EXPECT_EQ(settings->StripKludges[kKindList], StripLevel::no);
  EXPECT_EQ(settings->kill_origin, KillOrigin::email);
  EXPECT_EQ(settings->encode_format, EncodeFormat::uu);
  ASSERT_EQ(settings->JunkFrom.size(), 2u);
  EXPECT_EQ(settings->JunkFrom[0].category, JunkCategory::all);
  EXPECT_EQ(settings->JunkFrom[1].category, JunkCategory::news);
  EXPECT_EQ(settings->JunkGroup[0].category, JunkCategory::news);
  EXPECT_EQ(settings->JunkAction, FilterAction::move);
  EXPECT_EQ(settings->OwnOrgAction, FilterAction::ignore);
  EXPECT_EQ(settings->Attach[kKindMail], AttachAction::decode);
  EXPECT_EQ(settings->Attach[kKindNews], AttachAction::decode);
  EXPECT_EQ(settings->IgnoreMessageText[0].text, "*daemon@x.org");
  err = read("HeaderInfo Name No\nLineWidth 250\nStripKludges Yes\nAttachNews delete\n");
  EXPECT_EQ(settings->header_form, HeaderForm::name);
  EXPECT_EQ(settings->extra_lines, ExtraLines::none);
  EXPECT_EQ(settings->LineWidth, 199);
  EXPECT_EQ(settings->StripKludges[kKindList], StripLevel::yes);
  EXPECT_EQ(settings->Attach[kKindNews], AttachAction::ignore);
}

}  // namespace
}  // namespace quillmar
