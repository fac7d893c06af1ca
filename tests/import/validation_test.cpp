// The import side checked from outside: attachments and quoted-printable
// text made by an independent encoder (Python's email package) must come
// out byte for byte, and hostile message files must give their defined
// result or a format error, never a crash, a hang or a write outside the
// decode directories.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/text_reader.hpp"
#include "config/settings.hpp"
#include "fido/fido_state.hpp"
#include "fido/message_record.hpp"
#include "import/import_fixture.hpp"
#include "import/message_pass.hpp"
#include "import/packet_reader.hpp"
#include "import/statistics.hpp"
#include "soup/soup_reader.hpp"
#include "test_support.hpp"

namespace quillmar {
namespace {

using testing::body_of;
using testing::FidoMessage;
using testing::read_file;
using testing::ScratchDir;
using namespace std::string_literals;

class ValidationTest : public test::ImportFixture {
 protected:
  // Cuts `content` into messages as a message file of `format` (the whole
  // file is one message without a format) and runs each through both
  // passes into one packet, which is read back.
  std::vector<FidoMessage> import(const std::string& content,
                                  std::optional<MessageFormat> format = std::nullopt,
                                  MessageKind kind = MessageKind::mail,
                                  const char* area_name = "Email") {
    dir_.write("AREA.MSG", content);
    MessageFile file;
    EXPECT_TRUE(file.open(dir_ / "AREA.MSG"));
    SoupArea area;
    area.kind = kind;
    area.area_name = area_name;
    OutPacket packet;
    EXPECT_TRUE(packet.file.open(dir_ / "OUT.PKT", platform::OpenMode::write));
    write_packet_header(packet);
    format_error_ = false;
    ::testing::internal::CaptureStderr();
    for (int guard = 0; guard < 100; ++guard) {
      MessageExtent extent{0, static_cast<int64_t>(content.size())};
      if (format) {
        ExtentResult r = next_message_extent(file, *format, extent);
        format_error_ = r == ExtentResult::format_error;
        if (r != ExtentResult::message) break;
      }
      parse_message(file, extent, area);
      complete_header(area);
      select_chrs();
      MessageHeader& h = *message_work.header;
      h.area_tag = kind == MessageKind::mail ? "NETMAIL" : "COMP.TEST";
      write_imported_message(false, h.category, false, h.junk_reason, nullptr, file, packet, extent,
                             area);
      if (!format) break;
      file.seek(extent.end);
    }
    console_ = ::testing::internal::GetCapturedStderr();
    close_packet(packet);
    bool ok = false;
    std::vector<FidoMessage> out = testing::read_packet(dir_ / "OUT.PKT", &ok);
    EXPECT_TRUE(ok) << "malformed packet";
    return out;
  }

  std::string inbound(const std::string& name) const { return settings->InboundDir.c_str() + name; }

  std::string console_;
  bool format_error_ = false;
};

// Fixed pseudo-random bytes, the same on every run.
std::string random_bytes(std::size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(generator() & 0xFF);
  return out;
}

// Builds, with Python's email package and binascii, for every payload
// p<n>.bin a MIME mail m<n>.eml (text part and base64 attachment m<n>.bin)
// and uuencoded mails u<n>.eml and s<n>.eml (files u<n>.bin, s<n>.bin), and from
// qp.txt (Latin-1 text) a quoted-printable mail qp.eml.
constexpr const char* kEncoderScript = R"(
import binascii, os, sys
from email import policy
from email.message import EmailMessage

d = sys.argv[1]
def path(name):
    return os.path.join(d, name)
for n in (int(s) for s in sys.argv[2].split(',')):
    data = open(path('p%d.bin' % n), 'rb').read()
    m = EmailMessage(policy=policy.default)
    m['From'] = 'Ann Other <ann@example.net>'
    m['To'] = 'sysop@example.org'
    m['Subject'] = 'file %d' % n
    m.set_content('See the file.\n')
    m.add_attachment(data, maintype='application', subtype='octet-stream',
                     filename='m%d.bin' % n)
    open(path('m%d.eml' % n), 'wb').write(m.as_bytes())
    # Zero bits as grave accents, and as blanks (so data lines may end in one).
    for kind, backtick in (('u', True), ('s', False)):
        out = [b'From: ann@example.net\nSubject: uu %d\n\nSee the file.\n' % n,
               b'begin 644 %s%d.bin\n' % (kind.encode(), n)]
        for i in range(0, len(data), 45):
            out.append(binascii.b2a_uu(data[i:i + 45], backtick=backtick))
        out.append(binascii.b2a_uu(b'', backtick=backtick) + b'end\nAfter the file.\n')
        open(path('%s%d.eml' % (kind, n)), 'wb').write(b''.join(out))
m = EmailMessage(policy=policy.default)
m['From'] = 'ann@example.net'
m['Subject'] = 'qp'
m.set_content(open(path('qp.txt'), 'rb').read().decode('latin-1'), charset='iso-8859-1',
              cte='quoted-printable')
open(path('qp.eml'), 'wb').write(m.as_bytes())
)";

TEST_F(ValidationTest, FilesEncodedByPythonDecodeByteForByte) {
  if (!testing::have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  const std::size_t sizes[] = {0, 1, 2, 3, 57, 100, 100000};
  std::string list;
  for (std::size_t n : sizes) {
    dir_.write("py/p" + std::to_string(n) + ".bin", random_bytes(n, static_cast<uint32_t>(n)));
    list += (list.empty() ? "" : ",") + std::to_string(n);
  }
  // Latin-1 text with 8-bit bytes, "=" signs, a literal "=3D", a tab and
  // lines long enough for soft line breaks; no line longer than 255.
  std::string high;
  for (int c = 0xA0; c <= 0xFF; ++c) high.push_back(static_cast<char>(c));
  const std::vector<std::string> qp_lines = {
      "caf\xE9 cr\xE8me br\xFBl\xE9\x65 a=b c==d x=3Dy",
      high,
      std::string(120, 'a') + "=" + std::string(100, '\xE4') + "\tend",
      "\x80\x81\x9F control-range bytes ending in =",
  };
  std::string qp_text;
  for (const std::string& l : qp_lines) qp_text += l + "\n";
  dir_.write("py/qp.txt", qp_text);
  dir_.write("py/encode.py", kEncoderScript);
  std::string command = "python3 " + (dir_ / "py/encode.py") + " " + (dir_ / "py") + " " + list;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  for (std::size_t n : sizes) {
    const std::string original = random_bytes(n, static_cast<uint32_t>(n));
    const std::string size_text = " (" + std::to_string(n) + " bytes)]";
    for (char kind : {'m', 'u', 's'}) {
      std::string stem = kind + std::to_string(n);
      SCOPED_TRACE(stem);
      std::string name = stem + ".bin";
      std::vector<FidoMessage> m = import(read_file(dir_ / ("py/" + stem + ".eml")));
      ASSERT_EQ(m.size(), 1u);
      EXPECT_NE(m[0].text.find("See the file."), std::string::npos);
      std::string note = std::string("[Quillmar decoded ") + (kind == 'm' ? "MIME" : "UU") +
                         "-encoded file " + name + size_text;
      if (n == 0) {
        // An empty decoded file is removed and not reported.
        EXPECT_FALSE(testing::exists(inbound(name)));
        EXPECT_EQ(m[0].text.find("[Quillmar"), std::string::npos);
        continue;
      }
      EXPECT_EQ(read_file(inbound(name)), original);
      EXPECT_NE(m[0].text.find(note), std::string::npos) << m[0].text.substr(0, 400);
      EXPECT_EQ(m[0].subject, name);
      if (kind != 'm') {
        EXPECT_NE(m[0].text.find("After the file.\r"), std::string::npos);
        // Both encoders' last lines close the block: the empty data line
        // and "end" are gone.
        EXPECT_EQ(m[0].text.find("\rend\r"), std::string::npos) << m[0].text.substr(0, 400);
      }
      // No encoded line is left in the text.
      EXPECT_LT(m[0].text.size(), 1000u);
    }
  }

  std::vector<FidoMessage> qp = import(read_file(dir_ / "py/qp.eml"));
  ASSERT_EQ(qp.size(), 1u);
  std::string expected;
  for (const std::string& l : qp_lines) expected += l + "\r";
  EXPECT_EQ(body_of(qp[0].text), expected);
}

// Header and body lines no line buffer can hold, endless folding, NUL and
// 8-bit bytes, and address and group lists far beyond their tables.
TEST_F(ValidationTest, HostileHeaderAndBodyLines) {
  std::vector<FidoMessage> m = import("Subject: " + std::string(40000, 's') +
                                      "\nTo: " + std::string(70000, 't') + "@x.example\n\nbody\n");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(message_work.header->subject.view(), std::string(127, 's'));
  EXPECT_EQ(body_of(m[0].text), "body\r");

  std::string folded = "Subject: first";
  for (int i = 0; i < 100000; ++i) folded += "\n \tword";
  m = import(folded + "\nX-After: 1\n\nbody\n");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(message_work.header->subject.view().substr(0, 20), "first word word word");
  EXPECT_NE(m[0].text.find("\x01X-After: 1\r"), std::string::npos);
  EXPECT_EQ(body_of(m[0].text), "body\r");

  m = import("Subject: a\0b\xE9\x80\nFrom: J\xF6rg <j\0rg@x.example>\n\nx\0y\xFF\x80\n\0\n"s);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(message_work.header->subject.view(), "a b\xE9\x80");
  EXPECT_EQ(body_of(m[0].text), "x y\xFF\x80\r");

  std::string to = "To: first@x.example";
  std::string groups = "Newsgroups: g1";
  for (int i = 2; i <= 5000; ++i) {
    to += ", a@b";
    groups += ",g" + std::to_string(i);
  }
  m = import(to + "\n" + groups + "\nSubject: wide\n\nbody\n", std::nullopt, MessageKind::news,
             "g7");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(message_work.recipients.size(), 1024u);
  EXPECT_EQ(message_work.header->to_address.view(), "first@x.example");
  // The area's own group is left out of the cross-posts.
  ASSERT_EQ(message_work.cross_posts.size(), 1024u);
  EXPECT_EQ(message_work.cross_posts[5].view(), "g6");
  EXPECT_EQ(message_work.cross_posts[6].view(), "g8");
  EXPECT_EQ(message_work.cross_posts[1023].view(), "g1025");
  EXPECT_NE(m[0].text.find("XPost: g1022, g1023, g1024\rXPost: g1025\r"), std::string::npos);
}

// NUL bytes anywhere in a message file of many buffer windows, also in
// lines that a window boundary cuts: each one becomes a blank, every other
// line stays as it is.
TEST_F(ValidationTest, NulBytesAcrossTheFileWindows) {
  std::string content;
  std::vector<std::string> expected;
  for (int i = 0; i < 90; ++i) {
    std::string body;
    std::string wanted;
    for (int k = 0; k < 120; ++k) {
      std::string text = std::to_string(i) + "." + std::to_string(k) + std::string(k % 61, 'x');
      body += text;
      wanted += text;
      if ((i * 120 + k) % 7 == 3) {
        body += std::string("a\0b", 3) + std::string(k % 13, '\0') + "c";
        wanted += "a b" + std::string(k % 13, ' ') + "c";
      }
      body += "\n";
      wanted += "\r";
    }
    std::string message = "Subject: s\n\n" + body;
    content += "#! rnews " + std::to_string(message.size()) + "\n" + message;
    expected.push_back(wanted);
  }
  ASSERT_GT(content.size(), 300'000u);  // more than one window
  std::vector<FidoMessage> m = import(content, MessageFormat::rnews);
  ASSERT_EQ(m.size(), expected.size());
  for (std::size_t i = 0; i < m.size(); ++i) EXPECT_EQ(body_of(m[i].text), expected[i]) << i;
}

std::string framed(const std::string& text) {
  std::string out(4, '\0');
  out[2] = static_cast<char>(text.size() >> 8);
  out[3] = static_cast<char>(text.size() & 0xFF);
  return out + text;
}

// Message files cut short in every encoding: the messages up to the cut are
// imported through both passes; a cut binary length is a format error.
TEST_F(ValidationTest, TruncatedMessageFiles) {
  const std::string a = "Subject: a\n\nA\n";
  struct Case {
    const char* label;
    MessageFormat format;
    std::string content;
    std::vector<std::string> bodies;
    bool format_error;
  } cases[] = {
      {"rnews count beyond the end",
       MessageFormat::rnews,
       "#! rnews 14\n" + a + "#! rnews 500\nSubject: b\n\nB cut",
       {"A\r", "B cut\r"},
       false},
      {"rnews cut in the header", MessageFormat::rnews, "#! rnews 9000\nSubject: cu", {""}, false},
      {"rnews cut in a base64 block",
       MessageFormat::rnews,
       "#! rnews 900\nContent-Transfer-Encoding: base64\n\nQUJDRE",
       {"Subject: \r\r[Quillmar decoded MIME-encoded file 00000000.ATT (4 bytes)]\r\n\r"},
       false},
      {"rnews cut after a soft line break",
       MessageFormat::rnews,
       "#! rnews 900\nContent-Transfer-Encoding: quoted-printable\n\nsoft=",
       {"soft\r"},
       false},
      {"mailbox without a line end",
       MessageFormat::mailbox,
       "From x\n" + a + "From y\nSubject: b\n\nB cut",
       {"A\r", "B cut\r"},
       false},
      {"MMDF without a line end",
       MessageFormat::mmdf,
       "\x01\x01\x01\x01\n" + a + "\x01\x01\x01\x01\n\x01\x01\x01\x01\nSubject: b\n\nB cut",
       {"A\r", "B cut\r"},
       false},
      {"binary length beyond the file",
       MessageFormat::binary,
       framed(a) + std::string("\0\0\x01\0Subject: b\n\nB", 17),
       {"A\r"},
       true},
      {"binary length field cut short",
       MessageFormat::binary,
       framed(a) + std::string(3, '\0'),
       {"A\r"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<FidoMessage> m = import(c.content, c.format);
    std::vector<std::string> bodies;
    for (const FidoMessage& f : m) bodies.push_back(body_of(f.text));
    EXPECT_EQ(bodies, c.bodies);
    EXPECT_EQ(format_error_, c.format_error);
  }
  // The base64 block cut inside a group still gives the bytes it holds.
  EXPECT_EQ(read_file(inbound("00000000.ATT")), "ABCD");
}

TEST_F(ValidationTest, LongAreasLineIsReadInPieces) {
  // A 10,000-character line is read as pieces of 254 characters, each a
  // line of its own; the line after it is still read and counted.
  std::string line = "pfx\t" + std::string(9992, 'n') + "\tun";
  dir_.write("AREAS", line + "\nok\tcomp.ok\tun\n");
  TextReader areas;
  ASSERT_TRUE(areas.open(dir_ / "AREAS"));
  long number = 0;
  SoupArea area;
  ::testing::internal::CaptureStderr();
  AreaLine result;
  long rejected = 0;
  while ((result = read_area_line(areas, number, area)) == AreaLine::rejected) ++rejected;
  std::string console = ::testing::internal::GetCapturedStderr();
  long pieces = (static_cast<long>(line.size()) + 1 + 253) / 254;
  EXPECT_EQ(rejected, pieces);
  ASSERT_EQ(result, AreaLine::area);
  EXPECT_EQ(number, pieces + 1);
  EXPECT_EQ(area.area_name.view(), "comp.ok");
  EXPECT_EQ(console.rfind("Error in line 1 in AREAS\n", 0), 0u);
  EXPECT_EQ(read_area_line(areas, number, area), AreaLine::end_of_file);
}

// Links planted under the names the decoder will choose are never written
// through: the file gets another name, as for any name already taken.
TEST_F(ValidationTest, PlantedLinksAreNotWrittenThrough) {
  dir_.write("victim.txt", "precious");
  dir_.mkdir("elsewhere");
  dir_.write("in/two.bin", "old");
  struct Case {
    const char* name;    // the attachment name
    const char* link;    // planted in the inbound directory, pointing to `target`
    const char* target;  // relative to the scratch directory
    const char* stored;  // where the decoded file must be
  } cases[] = {
      {"live.bin", "live.bin", "victim.txt", "live.bi0"},
      {"dangling.bin", "dangling.bin", "created.txt", "dangling.bi0"},
      {"upper.bin", "UPPER.BIN", "created-upper.txt", "upper.bi0"},
      {"dir.bin", "dir.bin", "elsewhere", "dir.bi0"},
      {"two.bin", "two.bi0", "created-two.txt", "two.bi1"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(::symlink((dir_ / c.target).c_str(), inbound(c.link).c_str()), 0) << c.link;
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<FidoMessage> m =
        import("Subject: s\n\nbegin 644 " + std::string(c.name) + "\n#86)C\n`\nend\n");
    EXPECT_EQ(read_file(inbound(c.stored)), "abc");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_NE(
        m[0].text.find(std::string("UU-encoded file ") + c.stored + " (3 bytes) (auto-renamed)"),
        std::string::npos);
    EXPECT_EQ(m[0].text.find("#86)C"), std::string::npos);
  }
  EXPECT_EQ(read_file(dir_ / "victim.txt"), "precious");
  EXPECT_EQ(read_file(dir_ / "in/two.bin"), "old");
  for (const char* target : {"created.txt", "created-upper.txt", "created-two.txt"}) {
    EXPECT_FALSE(testing::exists(dir_ / target)) << target;
  }
  struct stat st;
  EXPECT_EQ(::stat((dir_ / "elsewhere").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// Broken encoded data: invalid base64 characters give no bytes for their
// groups, a uuencode line whose count exceeds its data ends the block, and
// names no file system can hold are cut.
TEST_F(ValidationTest, BrokenEncodedBlocks) {
  struct Case {
    const char* label;
    std::string message;
    std::string file;  // empty: not checked
    std::string content;
    std::vector<std::string> in_text;
  } cases[] = {
      {"base64 with invalid characters",
       "Subject: s\nContent-Type: application/octet-stream; name=\"bad.bin\"\n"
       "Content-Transfer-Encoding: base64\n\nQUJD!!!!REVG\nQU*DREVG\n*QUJD\ntext after\n",
       "bad.bin",
       // Stray characters are skipped and the lines are one stream, as
       // Python's email package decodes them.
       "ABCDEFA@\xD1\x11Q",
       {"[Quillmar decoded MIME-encoded file bad.bin (11 bytes)]\r\n*QUJD\rtext after\r"}},
      {"uuencode count larger than its data",
       "Subject: s\n\nbegin 644 c.bin\n#86)C\nM86)C\n`\nend\n",
       "c.bin",
       "abc",
       {"[Quillmar decoded UU-encoded file c.bin (3 bytes)]\r\nM86)C\r`\rend\r"}},
      {"uuencode count with no data at all",
       "Subject: s\n\nbegin 644 d.bin\nM\n",
       "d.bin",
       "",
       {"\rM\r"}},
      {"base64 line longer than the line buffer",
       "Subject: s\nContent-Transfer-Encoding: base64\n\n" + std::string(40000, 'Q') + "\n",
       "",
       "",
       {"MIME-encoded file 00000000.ATT ("}},
      {"uuencoded name longer than a file name",
       "Subject: s\n\nbegin 644 " + std::string(300, 'n') + "\n#86)C\n`\nend\n",
       "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn",
       "abc",
       {"[Quillmar decoded UU-encoded file nnn"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<FidoMessage> m = import(c.message);
    ASSERT_EQ(m.size(), 1u);
    for (const std::string& piece : c.in_text) {
      EXPECT_NE(m[0].text.find(piece), std::string::npos) << m[0].text.substr(0, 300);
    }
    if (c.file.empty()) continue;
    if (c.content.empty()) {
      EXPECT_FALSE(testing::exists(inbound(c.file)));
    } else {
      EXPECT_EQ(read_file(inbound(c.file)), c.content);
    }
  }
}

}  // namespace
}  // namespace quillmar
