// Inputs found by the fuzz targets of fuzz/, each run through the real
// binary on a scratch installation.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace quillmar {
namespace {

using testing::framed_messages;
using testing::read_file;
using testing::run_quillmar;
using testing::ScratchDir;

std::string fixture(const char* name) {
  return read_file(std::string(QUILLMAR_SOURCE_DIR) + "/tests/fixtures/fuzz/" + name);
}

// The header lines of a reply message, up to the empty line before its body.
std::vector<std::string> header_lines(const std::string& message) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (;;) {
    std::size_t end = message.find('\n', at);
    if (end == std::string::npos || end == at) break;
    lines.push_back(message.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// A CR or LF in a name, subject or address of a packed message stays inside
// its header line: the fuzzer's packet had a CR in the name the mail goes
// to; the second packet tries to add a Bcc line through the name and an
// X-Injected line through the subject.
TEST(FuzzRegression, LineBreaksInPacketFieldsAddNoHeaderLines) {
  std::string crafted(58, '\0');
  crafted[0] = 1;   // from node 1
  crafted[2] = 6;   // to node 6
  crafted[18] = 2;  // packet type
  crafted[20] = crafted[22] = static_cast<char>(345 & 0xFF);
  crafted[21] = crafted[23] = static_cast<char>(345 >> 8);
  crafted[34] = crafted[36] = 2;  // zones
  const unsigned char packed[14] = {2, 0, 1, 0, 6, 0, 0x59, 1, 0x59, 1, 1, 0, 0, 0};
  crafted.append(reinterpret_cast<const char*>(packed), sizeof packed);
  crafted += std::string("09 Mar 99  14:05:07") + '\0' +
             "someone@example.net\nBcc: victim@example.com" + '\0' + "Joe Sysop" + '\0' +
             "Hi\nX-Injected: yes" + '\0' + "\x01INTL 2:345/6 2:345/1\rHello.\r" + '\0' +
             std::string(2, '\0');

  for (const std::string& packet : {fixture("export_line_break_in_to_name.pkt"), crafted}) {
    ScratchDir dir;
    dir.write("q.cfg", testing::minimal_config(dir));
    // The fuzzer's packet has no closing zero word: an hour old, it is not
    // one a tosser may still be writing.
    std::filesystem::last_write_time(
        dir.write("out/01590006.OUT", packet),
        std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
    testing::RunResult r = run_quillmar(dir.path(), {"EXPORT", "/C=./q.cfg"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> messages = framed_messages(read_file(dir / "soup/mail0000.MSG"));
    ASSERT_EQ(messages.size(), 1u);
    for (const std::string& line : header_lines(messages[0])) {
      EXPECT_EQ(line.find('\r'), std::string::npos) << line;
      EXPECT_NE(line.rfind("Bcc:", 0), 0u) << line;
      EXPECT_NE(line.rfind("X-Injected:", 0), 0u) << line;
      EXPECT_TRUE(line[0] == ' ' || line.find(':') != std::string::npos) << line;
    }
  }
}

// The same for a stored netmail message whose MSGID kludge runs on, without
// its CR, over a line feed into the text: the Message-ID stays one line.
TEST(FuzzRegression, LineBreakInStoredMessageIdentifierAddsNoHeaderLine) {
  ScratchDir dir;
  dir.mkdir("net");
  std::string config = testing::minimal_config(dir);
  config.replace(config.find("MailerType Binkley"), 18, "MailerType ArcMail");
  dir.write("q.cfg", config + "NetmailDir " + dir.path() + "/net\n");
  dir.write("net/1.MSG", fixture("export_line_break_in_msgid.msg"));
  testing::RunResult r = run_quillmar(dir.path(), {"EXPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> messages = framed_messages(read_file(dir / "soup/mail0000.MSG"));
  ASSERT_EQ(messages.size(), 1u);
  for (const std::string& line : header_lines(messages[0])) {
    EXPECT_TRUE(line[0] == ' ' || line.find(':') != std::string::npos) << line;
  }
}

}  // namespace
}  // namespace quillmar
