// The bundled example installation checks without a single warning.
#include <gtest/gtest.h>

#include <filesystem>

#include "export/export_files.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

TEST(ExampleInstallation, ChecksWithoutWarnings) {
  ScratchDir dir;
  std::filesystem::copy(std::string(QUILLMAR_SOURCE_DIR) + "/examples", dir.path(),
                        std::filesystem::copy_options::recursive);
  // The files that hold passwords are kept from other users, as CHECK asks.
  for (const char* file : {"QUILLMAR.CFG", "lists/DEV.CFG"}) {
    std::filesystem::permissions(dir / file, std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::remove);
  }
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/CONFIG=./QUILLMAR.CFG"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "Configuration checked. Nothing more to do.\n");
  EXPECT_NE(read_file(dir / "quillmar.log").find("Configuration checked."), std::string::npos);
}

TEST(ExampleInstallation, ImportsItsSoupPacket) {
  ScratchDir dir;
  std::filesystem::copy(std::string(QUILLMAR_SOURCE_DIR) + "/examples", dir.path(),
                        std::filesystem::copy_options::recursive);
  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/VERBOSE", "/CONFIG=./QUILLMAR.CFG"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("- from ann@example.net (Ann Other) to sysop@example.org (Joe Sysop)\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("* decoded UU-encoded file hello.txt (14 bytes)\n"), std::string::npos);
  // DecodeDir ALL keeps decoded files out of the tosser's inbound.
  EXPECT_EQ(read_file(dir / "decode/hello.txt"), "Hello, World!\n");
  EXPECT_FALSE(exists(dir / "inbound/hello.txt"));
  EXPECT_FALSE(exists(dir / "soup/AREAS"));
}

TEST(ExampleInstallation, ExportsItsOutbound) {
  ScratchDir dir;
  std::filesystem::copy(std::string(QUILLMAR_SOURCE_DIR) + "/examples", dir.path(),
                        std::filesystem::copy_options::recursive);
  RunResult r = run_quillmar(dir.path(), {"EXPORT", "/CONFIG=./QUILLMAR.CFG"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("-> 2 messages exported\nmail: 1         news: 1         lists: 0    \n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(dir / "soup/REPLIES"), "mail0000\tmail\tbn\nnews0000\tnews\tBn\n");
  std::vector<std::string> mail = framed_messages(read_file(dir / "soup/mail0000.MSG"));
  ASSERT_EQ(mail.size(), 1u);
  EXPECT_NE(mail[0].find("Message-ID: <1@p1.f6.n345.z2.fidonet.org>\n"), std::string::npos);
  EXPECT_FALSE(exists(dir / "outbound/01590006.OUT"));
}

// The CharSetMap lines of the example match the CHRS kludges that FidoNet
// software writes ("IBMPC 2", "CP866 2", "LATIN-1 2", "UTF-8 4"), on
// export and on import.
TEST(ExampleInstallation, CharacterSetsOfFidoNetSoftware) {
  ScratchDir dir;
  std::filesystem::copy(std::string(QUILLMAR_SOURCE_DIR) + "/examples", dir.path(),
                        std::filesystem::copy_options::recursive);
  // CharSetMap serves the classic conversion; the example turns ModernMime on.
  std::string config = read_file(dir / "QUILLMAR.CFG");
  std::size_t modern = config.find("\nModernMime Yes");
  ASSERT_NE(modern, std::string::npos);
  config.replace(modern, 15, "\nModernMime No");
  dir.write("QUILLMAR.CFG", config);
  struct Case {
    const char* chrs;
    const char* charset;
  } cases[] = {{"IBMPC 2", "ibm437"},       {"CP437 2", "ibm437"},
               {"LATIN-1 2", "iso-8859-1"}, {"UTF-8 4", "utf-8"},
               {"CP866 2", "ibm866"},       {"UNKNOWN 1", "iso-8859-1"}};  // DefCharSet
  std::vector<TestMessage> messages;
  for (const Case& c : cases) {
    TestMessage m;
    m.to_name = "ann@example.net";
    m.text = std::string(
                 "\x01MSGID: 2:345/1 00000001\r\x01"
                 "CHRS: ") +
             c.chrs + "\rText \xe4.\r";
    messages.push_back(m);
  }
  dir.write("outbound/01590006.OUT", build_packet({2, 345, 1, 0}, {2, 345, 6, 0}, messages));
  RunResult r = run_quillmar(dir.path(), {"EXPORT", "/CONFIG=./QUILLMAR.CFG"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> mail = framed_messages(read_file(dir / "soup/mail0000.MSG"));
  ASSERT_EQ(mail.size(), std::size(cases));
  for (std::size_t i = 0; i < mail.size(); ++i) {
    EXPECT_NE(mail[i].find(std::string("charset=") + cases[i].charset + "\n"), std::string::npos)
        << cases[i].chrs << "\n"
        << mail[i];
  }

  // Import: the Internet character set gives the CHRS kludge.
  std::string soup;
  for (const char* charset : {"iso-8859-1", "utf-8", "koi8-r"}) {
    std::string text = std::string("From: bob@example.com\nTo: sysop@example.org\nSubject: s\n") +
                       "MIME-Version: 1.0\nContent-Type: text/plain; charset=" + charset +
                       "\n\nText.\n";
    std::string frame(4, '\0');
    for (int b = 0; b < 4; ++b) frame[b] = static_cast<char>((text.size() >> (24 - 8 * b)) & 0xFF);
    soup += frame + text;
  }
  dir.write("soup/AREAS", "CHARSETS\tEmail\tbn\n");
  dir.write("soup/CHARSETS.MSG", soup);
  for (const auto& e : std::filesystem::directory_iterator(dir / "inbound")) {
    std::filesystem::remove(e.path());
  }
  r = run_quillmar(dir.path(), {"IMPORT", "/CONFIG=./QUILLMAR.CFG"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string packet = read_file(dir / "inbound/00000000.PKT");
  std::size_t latin = packet.find(
      "\x01"
      "CHRS: LATIN-1 2\r");
  std::size_t utf8 = packet.find(
      "\x01"
      "CHRS: UTF-8 4\r");
  EXPECT_NE(latin, std::string::npos);
  EXPECT_NE(utf8, std::string::npos);
  EXPECT_LT(latin, utf8);
}

}  // namespace
}  // namespace quillmar::testing
