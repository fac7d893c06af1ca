// The names of decoded files taken from quoted MIME parameters, as Outlook
// and other mailers write them: in a quoted value only a backslash before
// a double quote or a backslash is an escape (Python's email.utils.unquote
// reads them so); any other backslash stays and separates the directories
// of a DOS path, of which only the file name is used. Both import modes,
// through the real binary; Python reads the name and decodes the data.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "import/packet_reader.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

// Prints, for the message on standard input, the file name Python reads
// reduced to what follows its last "/" or "\", and writes the decoded data
// to the file named by the first argument.
constexpr const char* kNameScript = R"(
import email, sys
from email import policy
m = email.message_from_bytes(sys.stdin.buffer.read(), policy=policy.compat32)
for part in m.walk():
    name = part.get_filename()
    if name:
        open(sys.argv[1], 'wb').write(part.get_payload(decode=True))
        print(name.replace('\\', '/').split('/')[-1], end='')
        break
)";

struct NameCase {
  const char* name;
  std::string part_header;  // the header lines of the file's part
  std::string shown;        // the file's name in the inbound
};

std::vector<NameCase> name_cases() {
  const std::string type = "Content-Type: application/octet-stream; name=";
  const std::string b64 = "Content-Transfer-Encoding: base64\n";
  return {
      {"DosPath", type + "\"C:\\docs\\data.bin\"\n" + b64, "data.bin"},
      {"EscapedDosPath", type + "\"C:\\\\docs\\\\data.bin\"\n" + b64, "data.bin"},
      {"EscapedQuote", type + "\"say \\\"hi\\\".bin\"\n" + b64, "say \"hi\".bin"},
      {"UnixPath", type + "\"/tmp/x/report.pdf\"\n" + b64, "report.pdf"},
      {"DispositionDosPath",
       "Content-Type: application/octet-stream\n"
       "Content-Disposition: attachment; filename=\"D:\\in\\scan 1.png\"\n" +
           b64,
       "scan 1.png"},
      {"FoldedDosPath",
       "Content-Type: application/octet-stream;\n\tname=\"E:\\a b\\c.txt\"\n" + b64, "c.txt"},
  };
}

struct NameParam {
  NameCase c;
  bool modern;
};

void PrintTo(const NameParam& p, std::ostream* os) {
  *os << p.c.name << (p.modern ? " with ModernMime Yes" : " with ModernMime No");
}

class AttachmentName : public ::testing::TestWithParam<NameParam> {};

TEST_P(AttachmentName, IsTheFileNameOfTheQuotedPath) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  const NameCase& c = GetParam().c;
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir) + (GetParam().modern ? "ModernMime Yes\n" : ""));
  const std::string message =
      "From: Ann <ann@example.net>\nTo: sysop@example.org\nSubject: file\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b1\"\n\n--b1\nContent-Type: text/plain\n\n"
      "See the file.\n--b1\n" +
      c.part_header + "\nVGhlIGRhdGEgb2YgdGhlIGZpbGUuCg==\n--b1--\n";
  dir.write("soup/AREAS", "MAIL\tEmail\tbn\n");
  dir.write("soup/MAIL.MSG", framed_message(message));
  dir.write("m.eml", message);
  std::string script = dir.write("name.py", kNameScript);
  std::string python_name;
  std::string command = "python3 " + script + " " + (dir / "python.bin") + " < " + (dir / "m.eml");
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[256];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, p)) != 0;) {
      python_name.append(buffer, n);
    }
    pclose(p);
  }
  // The table says what Python reads.
  ASSERT_EQ(python_name, c.shown);

  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(dir / ("in/" + c.shown)), read_file(dir / "python.bin"));
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(dir / "in")) {
    if (e.path().extension() != ".PKT") files.push_back(e.path().filename().string());
  }
  EXPECT_EQ(files, std::vector<std::string>{c.shown});
  std::vector<FidoMessage> messages;
  for (const auto& e : fs::directory_iterator(dir / "in")) {
    if (e.path().extension() != ".PKT") continue;
    std::vector<FidoMessage> m = read_packet(e.path().string());
    messages.insert(messages.end(), m.begin(), m.end());
  }
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(
      messages[0].text.find("[Quillmar decoded MIME-encoded file " + c.shown + " (22 bytes)]"),
      std::string::npos)
      << messages[0].text;
}

std::vector<NameParam> name_params() {
  std::vector<NameParam> out;
  for (bool modern : {false, true}) {
    for (const NameCase& c : name_cases()) out.push_back({c, modern});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(QuotedParameter, AttachmentName, ::testing::ValuesIn(name_params()),
                         [](const ::testing::TestParamInfo<NameParam>& info) {
                           return std::string(info.param.c.name) +
                                  (info.param.modern ? "Modern" : "Default");
                         });

}  // namespace
}  // namespace quillmar::testing
