// The packets IMPORT writes, tossed by a real tosser: crashmail must take
// every message of them, in the right areas, without a bad packet.
#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

std::string framed(const std::string& text) {
  std::string out(4, '\0');
  uint32_t n = static_cast<uint32_t>(text.size());
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((n >> (24 - 8 * i)) & 0xFF);
  return out + text;
}

std::vector<std::string> stored(const std::string& dir) {
  std::vector<std::string> out;
  if (!fs::is_directory(dir)) return out;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() == ".msg") out.push_back(read_file(e.path().string()));
  }
  return out;
}

TEST(ImportToss, CrashmailTakesEveryMessage) {
  if (!have_program("crashmail")) GTEST_SKIP() << "crashmail is not installed; test skipped";
  ScratchDir dir;
  for (const char* d : {"cm", "cm/out", "cm/tmp", "cm/pkt", "cm/msg"}) dir.mkdir(d);
  dir.write("q.cfg", minimal_config(dir) + "ImportLimit 3000\nPacketPwd QUILL\n");
  std::string long_text;
  for (int i = 0; i < 100; ++i) long_text += "Line " + std::to_string(i) + " of a long mail.\n";
  dir.write("soup/AREAS", "MAIL\tEmail\tbn\nNEWS\tcomp.test\tBn\n");
  dir.write(
      "soup/MAIL.MSG",
      framed("From: Ann <ann@example.net>\nTo: sysop@example.org\nSubject: short\n\nHi.\n") +
          framed("From: bob@example.com\nTo: sysop@example.org\nSubject: long\n\n" + long_text) +
          framed("From: c@example.com\nSubject: file\n\nbegin 644 f.txt\n#86)C\n`\nend\n"));
  dir.write("soup/NEWS.MSG", framed("From: d@example.com\nNewsgroups: comp.test\nSubject: "
                                    "article\n\nText.\n"));
  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;

  std::string cm = dir / "cm";
  dir.write("cm/crashmail.prefs", "SYSOP \"Test\"\nLOGFILE \"" + cm +
                                      "/log\"\nLOGLEVEL 6\nDEFAULTZONE 2\n"
                                      "INBOUND \"" +
                                      dir.path() + "/in\"\nOUTBOUND \"" + cm +
                                      "/out\"\nTEMPDIR \"" + cm + "/tmp\"\nCREATEPKTDIR \"" + cm +
                                      "/tmp\"\nPACKETDIR \"" + cm +
                                      "/pkt\"\n"
                                      "STATSFILE \"" +
                                      cm +
                                      "/stats\"\nAKA 2:345/6.1\nDOMAIN \"FidoNet\"\n"
                                      "NODE 2:345/6.0 \"\" \"QUILL\" AUTOADD\n"
                                      "NETMAIL \"NETMAIL\" 2:345/6.1 MSG \"" +
                                      cm +
                                      "/msg/NETMAIL\"\n"
                                      "AREA \"BAD\" 2:345/6.1 MSG \"" +
                                      cm +
                                      "/msg/BAD\"\n"
                                      "AREA \"DEFAULT\" 2:345/6.1 MSG \"" +
                                      cm + "/msg/%a\"\n");
  std::string command =
      "cd '" + cm + "' && crashmail SETTINGS '" + cm + "/crashmail.prefs' TOSS >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string log = read_file(cm + "/log");
  EXPECT_EQ(log.find("\n!"), std::string::npos) << log;
  for (const auto& e : fs::directory_iterator(dir / "in")) {
    EXPECT_NE(e.path().extension(), ".bad") << e.path();
  }
  // The long mail was split in two; the decoded file stays in the inbound.
  std::vector<std::string> netmail = stored(cm + "/msg/NETMAIL");
  EXPECT_EQ(netmail.size(), 4u) << log;
  std::vector<std::string> news = stored(cm + "/msg/COMP_TEST");
  ASSERT_EQ(news.size(), 1u) << log;
  EXPECT_NE(news[0].find("Text.\r"), std::string::npos);
  EXPECT_TRUE(stored(cm + "/msg/BAD").empty());
}

}  // namespace
}  // namespace quillmar::testing
