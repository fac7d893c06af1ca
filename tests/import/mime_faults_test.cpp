// Real Internet mail through the real binary with the default settings:
// MIME parameters come from header blocks only, base64 is one stream per
// block, quoted parameter values lose their quotes, and blank lines before
// base64 data are skipped. Every decoded file must equal what Python's
// email package decodes from the same message.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "import/packet_reader.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

// Writes every named part of each message <case>.eml, decoded by Python,
// as <case>/<name>.
constexpr const char* kDecoderScript = R"(
import email, os, sys
from email import policy
d = sys.argv[1]
for f in sorted(os.listdir(d)):
    if not f.endswith('.eml'):
        continue
    m = email.message_from_bytes(open(os.path.join(d, f), 'rb').read(), policy=policy.compat32)
    out = os.path.join(d, f[:-4])
    os.makedirs(out, exist_ok=True)
    for part in m.walk():
        name = part.get_filename()
        if name:
            open(os.path.join(out, name), 'wb').write(part.get_payload(decode=True))
)";

// 600 bytes of every value, base64-encoded by hand into lines of `width`
// characters (the alphabet is fixed, so the text is the same everywhere).
std::string payload() {
  std::string out;
  for (int i = 0; i < 600; ++i) out.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
  return out;
}
std::string base64_lines(const std::string& data, std::size_t width) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string flat;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(data[i]) << 16;
    if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
    if (i + 2 < data.size()) v |= static_cast<unsigned char>(data[i + 2]);
    flat.push_back(alphabet[(v >> 18) & 63]);
    flat.push_back(alphabet[(v >> 12) & 63]);
    flat.push_back(i + 1 < data.size() ? alphabet[(v >> 6) & 63] : '=');
    flat.push_back(i + 2 < data.size() ? alphabet[v & 63] : '=');
  }
  std::string out;
  for (std::size_t i = 0; i < flat.size(); i += width) out += flat.substr(i, width) + "\n";
  return out;
}

std::string multipart(const std::string& boundary_param, const std::string& boundary,
                      const std::string& part_header, const std::string& data) {
  return "From: Ann <ann@example.net>\nTo: sysop@example.org\nSubject: file\nMIME-Version: 1.0\n"
         "Content-Type: multipart/mixed; boundary=" +
         boundary_param + "\n\n--" + boundary + "\nContent-Type: text/plain\n\nSee the file.\n--" +
         boundary + "\n" + part_header + "\n" + data + "--" + boundary + "--\n";
}

struct FaultCase {
  const char* name;
  std::string message;
  std::vector<std::string> files;        // decoded files, compared with Python's
  std::vector<std::string> body_has;     // texts the FidoNet body shows
  std::vector<std::string> kludges_has;  // texts among the kludge lines
};

std::vector<FaultCase> fault_cases() {
  const std::string part =
      "Content-Type: application/octet-stream; name=\"p.bin\"\n"
      "Content-Transfer-Encoding: base64\n";
  std::string quoted_post =
      "From: Bob <bob@example.com>\nTo: sysop@example.org\nSubject: Re: mime\n\n"
      "You wrote:\nContent-Type: multipart/mixed; boundary=\"snot\"\n\n--snot\n"
      "Content-Type: text/plain; charset=\"utf-8\"\n\n--snot--\nThe line after.\n"
      "Content-Transfer-Encoding: base64\n\nQUJD\nLast line.\n";
  // Padding in the middle of a line ends the data; stray characters are
  // skipped.
  std::string stray = base64_lines(payload(), 76);
  stray.insert(10, "!*");
  return {
      {"quoted",
       quoted_post,
       {},
       {"You wrote:\r", "--snot--\rThe line after.\r", "QUJD\rLast line.\r"},
       {}},
      {"short", multipart("\"b1\"", "b1", part, base64_lines(payload(), 63)), {"p.bin"}, {}, {}},
      {"odd", multipart("b2", "b2", part, base64_lines(payload(), 61)), {"p.bin"}, {}, {}},
      {"stray", multipart("b3", "b3", part, stray + "QUJD\n"), {"p.bin"}, {}, {}},
      {"padded", multipart("b4", "b4", part, "QUJDRA==QUJD\nQUJD\n"), {"p.bin"}, {}, {}},
      {"lonepad", multipart("b7", "b7", part, "QU=JDRA==\n"), {"p.bin"}, {}, {}},
      {"blank",
       multipart("\"b5\"", "b5", part, "\n\n" + base64_lines(payload(), 76)),
       {"p.bin"},
       {"See the file.\r"},
       {}},
      {"qname",
       multipart("\"=_b6 x\"", "=_b6 x",
                 "Content-Type: application/octet-stream; name=\"two words.bin\"\n"
                 "Content-Transfer-Encoding: base64\n",
                 base64_lines(payload(), 76)),
       {"two words.bin"},
       {},
       {}},
      {"charset",
       "From: ann@example.net\nTo: sysop@example.org\nSubject: latin\nMIME-Version: 1.0\n"
       "Content-Type: text/plain; charset=\"iso-8859-1\"\n\ncaf\xE9\n",
       {},
       {"caf\xE9\r"},
       {"\x01"
        "CHRS: LATIN-1 2\r"}},
  };
}

TEST(MimeFaults, DefaultImportKeepsTextAndDecodesAsPythonDoes) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  for (const FaultCase& c : fault_cases()) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    dir.write("q.cfg", minimal_config(dir) + "CharSetMap LATIN-1#2 iso-8859-1 IMPORT\n");
    dir.write("soup/AREAS", "MAIL\tEmail\tbn\n");
    dir.write("soup/MAIL.MSG", framed_message(c.message));
    dir.write("py/" + std::string(c.name) + ".eml", c.message);
    dir.write("py/decode.py", kDecoderScript);
    ASSERT_EQ(std::system(("python3 " + (dir / "py/decode.py") + " " + (dir / "py")).c_str()), 0);
    RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
    ASSERT_EQ(r.exit_code, 0) << r.err;

    std::vector<FidoMessage> messages;
    for (const auto& e : fs::directory_iterator(dir / "in")) {
      if (e.path().extension() != ".PKT") continue;
      bool ok = false;
      std::vector<FidoMessage> m = read_packet(e.path().string(), &ok);
      EXPECT_TRUE(ok);
      messages.insert(messages.end(), m.begin(), m.end());
    }
    ASSERT_EQ(messages.size(), 1u);
    const std::string& text = messages[0].text;
    std::string body = body_of(text);
    for (const std::string& s : c.body_has) EXPECT_NE(body.find(s), std::string::npos) << body;
    for (const std::string& s : c.kludges_has) EXPECT_NE(text.find(s), std::string::npos) << text;
    for (const std::string& name : c.files) {
      std::string expected = read_file(dir / ("py/" + std::string(c.name) + "/" + name));
      ASSERT_FALSE(expected.empty());
      EXPECT_EQ(read_file(dir / ("in/" + name)), expected) << name;
      EXPECT_NE(body.find("[Quillmar decoded MIME-encoded file " + name + " (" +
                          std::to_string(expected.size()) + " bytes)]"),
                std::string::npos)
          << body;
      // No encoded line reaches the text.
      EXPECT_EQ(body.find("QUJD"), std::string::npos) << body;
    }
    if (c.files.empty()) {
      for (const auto& e : fs::directory_iterator(dir / "in")) {
        EXPECT_EQ(e.path().extension(), ".PKT") << e.path();
      }
    }
  }
}

}  // namespace
}  // namespace quillmar::testing
