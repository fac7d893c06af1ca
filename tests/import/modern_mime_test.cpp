// ModernMime through the real binary: today's mail built by Python's email
// package is imported, and what a FidoNet reader sees (after recoding by
// the CHRS kludge) is compared with Python's reading of the originals;
// crashmail tosses every packet. FidoNet messages in several charsets are
// exported, and Python reads the replies back as the original text.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>

#include "config/settings.hpp"
#include "export/export_files.hpp"
#include "import/packet_reader.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

std::string output_of(const std::string& command) {
  std::string out;
  if (FILE* p = popen((command + " 2>&1").c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, p)) != 0;) out.append(buffer, n);
    pclose(p);
  }
  return out;
}

const std::string kScript = std::string(QUILLMAR_SOURCE_DIR) + "/tests/import/modern_import.py";

std::string modern_config(const ScratchDir& dir) {
  return minimal_config(dir) +
         "ModernMime Yes\n"
         "FidoCharset UTF-8\n"
         "FidoCharset CP866 COMP.CYR\n"
         "FidoCharset LATIN-1 comp.latin\n"
         "FidoCharset IBMPC COMP.PC\n"
         "FallbackCharset windows-1252\n"
         "DecodeDir " +
         dir.mkdir("files") + "\n";
}

// Crashmail tosses the packets of `dir`/in; the number of messages it
// stored outside the bad area, or -1 when it reported a problem.
int crashmail_toss(const ScratchDir& dir) {
  for (const char* d : {"cm", "cm/out", "cm/tmp", "cm/pkt", "cm/msg"}) dir.mkdir(d);
  std::string cm = dir / "cm";
  dir.write("cm/crashmail.prefs",
            "SYSOP \"Test\"\nLOGFILE \"" + cm + "/log\"\nLOGLEVEL 6\nDEFAULTZONE 2\nINBOUND \"" +
                dir.path() + "/in\"\nOUTBOUND \"" + cm + "/out\"\nTEMPDIR \"" + cm +
                "/tmp\"\nCREATEPKTDIR \"" + cm + "/tmp\"\nPACKETDIR \"" + cm +
                "/pkt\"\nSTATSFILE \"" + cm +
                "/stats\"\nAKA 2:345/6.1\nDOMAIN \"FidoNet\"\nNODE 2:345/6.0 \"\" \"\" AUTOADD\n"
                "NETMAIL \"NETMAIL\" 2:345/6.1 MSG \"" +
                cm + "/msg/NETMAIL\"\nAREA \"BAD\" 2:345/6.1 MSG \"" + cm +
                "/msg/BAD\"\nAREA \"DEFAULT\" 2:345/6.1 MSG \"" + cm + "/msg/%a\"\n");
  std::string command =
      "cd '" + cm + "' && crashmail SETTINGS '" + cm + "/crashmail.prefs' TOSS >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return -1;
  if (read_file(cm + "/log").find("\n!") != std::string::npos) return -1;
  int stored = 0;
  for (const auto& area : fs::directory_iterator(cm + "/msg")) {
    if (area.path().filename() == "BAD") continue;
    for (const auto& e : fs::directory_iterator(area.path())) {
      if (e.path().extension() == ".msg") ++stored;
    }
  }
  return stored;
}

TEST(ModernMime, ImportShowsWhatPythonReadsAndCrashmailTossesIt) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  ScratchDir dir;
  dir.write("q.cfg", modern_config(dir));
  ASSERT_EQ(output_of("python3 " + kScript + " make " + dir.path()), "");
  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(output_of("python3 " + kScript + " check " + dir.path()), "ok 14\n");
  if (!have_program("crashmail")) GTEST_SKIP() << "crashmail is not installed";
  EXPECT_EQ(crashmail_toss(dir), 14) << read_file(dir / "cm/log");
}

// The faults of mail a reader could not get at, one case each (built by
// tests/import/modern_faults.py with Python's email package): the text a
// FidoNet reader sees holds what Python reads, in order, without MIME
// structure; every file is decoded as Python decodes it and noted; and
// crashmail tosses the packet.
struct FaultCase {
  const char* name;   // the case of modern_faults.py
  const char* modes;  // the ModernMime settings it holds for: "Yes", "No" or "YesNo"
};

const FaultCase kFaultCases[] = {
    {"ForwardedBodyWithoutHeader", "Yes"},         // a list notice's returned message
    {"ForwardedHeaderThatIsNoHeader", "Yes"},      // its first line is text
    {"InlineImageOfTheHtmlAlternative", "Yes"},    // multipart/related inside alternative
    {"TextLabelledBase64WithWords", "YesNo"},      // blanks inside the lines
    {"TextLabelledBase64OfShortLines", "YesNo"},   // lines no encoder writes
    {"NamedTextPartHoldingBinary", "Yes"},         // a GIF named rzkly.txt
    {"NamedTextPartHoldingText", "Yes"},           // stays text
    {"WholeMessageAsAttachment", "Yes"},           // disposition of the message itself
    {"Rfc2231SplitBoundaryAndName", "Yes"},        // boundary*0*=, filename*0*=
    {"Rfc2231QuotedAndBesideAPlainValue", "Yes"},  // boundary*="...", filename= first
    {"ExternalBody", "Yes"},                       // URL and anon-ftp access
    {"FlowedText", "Yes"},                         // paragraphs, quotes, stuffing
    {"FlowedTextDelSp", "Yes"},                    // DelSp=yes, a long word broken
};

struct FaultParam {
  std::string name;
  bool modern;
};

void PrintTo(const FaultParam& p, std::ostream* os) {
  *os << p.name << (p.modern ? " with ModernMime Yes" : " with ModernMime No");
}

class ModernMimeFault : public ::testing::TestWithParam<FaultParam> {};

const std::string kFaultScript =
    std::string(QUILLMAR_SOURCE_DIR) + "/tests/import/modern_faults.py";

TEST_P(ModernMimeFault, ReaderGetsWhatPythonReads) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  const FaultParam& p = GetParam();
  ScratchDir dir;
  dir.write("q.cfg", p.modern ? modern_config(dir) : minimal_config(dir));
  ASSERT_EQ(output_of("python3 " + kFaultScript + " make " + p.name + " " + dir.path()), "");
  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  dir.write("stderr.txt", r.err);
  EXPECT_EQ(output_of("python3 " + kFaultScript + " check " + p.name + " " + dir.path()), "ok\n");
  if (!have_program("crashmail")) GTEST_SKIP() << "crashmail is not installed";
  EXPECT_EQ(crashmail_toss(dir), 1) << read_file(dir / "cm/log");
}

std::vector<FaultParam> fault_params() {
  std::vector<FaultParam> out;
  for (const FaultCase& c : kFaultCases) {
    std::string modes = c.modes;
    if (modes.find("Yes") != std::string::npos) out.push_back({c.name, true});
    if (modes.find("No") != std::string::npos) out.push_back({c.name, false});
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Faults, ModernMimeFault, ::testing::ValuesIn(fault_params()),
                         [](const ::testing::TestParamInfo<FaultParam>& info) {
                           return info.param.name + (info.param.modern ? "" : "DefaultMode");
                         });

// The charset of an area known only by its FidoNet tag is known after the
// parts were first counted: the parts are counted again in it, so that
// every part says how many there are.
TEST(ModernMime, SplitMessageCountsItsPartsInTheAreaCharset) {
  ScratchDir dir;
  dir.write("q.cfg", modern_config(dir) +
                         "AreaMap RU.CYR comp.cyr\nFidoCharset CP866 RU.CYR\nImportLimit 3000\n");
  std::string text;
  for (int i = 0; i < 600; ++i) {
    text += "\xD0\xA1\xD1\x82\xD1\x80\xD0\xBE\xD0\xBA\xD0\xB0 " + std::to_string(i) + "\n";
  }
  dir.write("soup/AREAS", "NEWS\tcomp.cyr\tBn\n");
  dir.write("soup/NEWS.MSG",
            framed_message("From: ivan@example.ru\nNewsgroups: comp.cyr\nSubject: long\n"
                           "Content-Type: text/plain; charset=utf-8\n\n" +
                           text));
  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<FidoMessage> parts;
  for (const auto& e : fs::directory_iterator(dir / "in")) {
    std::vector<FidoMessage> m = read_packet(e.path().string());
    parts.insert(parts.end(), m.begin(), m.end());
  }
  // 600 lines of 12 bytes in CP866 fill three parts (in UTF-8 they
  // would fill five).
  ASSERT_EQ(parts.size(), 3u);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::string n = std::to_string(i + 1);
    EXPECT_EQ(parts[i].subject, "long (" + n + "/3)");
    EXPECT_NE(parts[i].text.find(" 0" + n + "/03 "), std::string::npos);
    EXPECT_NE(parts[i].text.find("\x01"
                                 "CHRS: CP866 2\r"),
              std::string::npos);
    EXPECT_EQ(parts[i].text.find("\xD0"), std::string::npos) << "UTF-8 left in part " << n;
  }
}

// Text hidden in encodings cannot make kludge lines or break a header
// field of the packet.
TEST(ModernMime, DecodedTextBringsNoKludges) {
  ScratchDir dir;
  dir.write("q.cfg", modern_config(dir));
  dir.write("soup/AREAS", "MAIL\tEmail\tbn\n");
  // "\x01INTL 1:1/1 2:2/2\nhello\n" in base64, and a subject holding CR, ^A and NUL.
  dir.write(
      "soup/MAIL.MSG",
      framed_message("From: a@example.com\nTo: sysop@example.org\n"
                     "Subject: =?utf-8?q?x=0D=01INTL_1:1/1_2:2/2=00y?=\n"
                     "Content-Type: text/plain; charset=utf-8\n"
                     "Content-Transfer-Encoding: base64\n\nAUlOVEwgMToxLzEgMjoyLzIKaGVsbG8K\n"));
  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<FidoMessage> m;
  for (const auto& e : fs::directory_iterator(dir / "in")) {
    bool ok = false;
    m = read_packet(e.path().string(), &ok);
    EXPECT_TRUE(ok);
  }
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].subject, "x  INTL 1:1/1 2:2/2 y");
  EXPECT_EQ(m[0].text.find("\x01INTL 1:1"), std::string::npos) << m[0].text;
  EXPECT_NE(m[0].text.find("\r@INTL 1:1/1 2:2/2\rhello\r"), std::string::npos) << m[0].text;
}

// Without libxml2 (none in the directory the tests name for the run-time
// libraries), HTML is shown with its tags dropped, and the run says once
// why; with it, the same words come out.
TEST(ModernMime, HtmlWithoutLibxml2IsShownWithItsTagsDropped) {
  ScratchDir dir;
  dir.write("q.cfg", modern_config(dir));
  dir.mkdir("nolib");
  std::string html =
      "<html><head><title>T</title><style>p {color: red}</style></head><body>"
      "<p>Hello &amp; good&#160;day,<br>caf&eacute; &#x263A; <a href=\"http://x.example/\" "
      "title=\"a > b\">link</a></p><!-- <p>hidden</p> --><script>var x = \"<p>\";</script>"
      "<P>Second 1 &lt; 2</P></body></html>\n";
  std::string mail;
  for (int i = 0; i < 2; ++i) {
    mail += framed_message(
        "From: a@example.com\nTo: sysop@example.org\nSubject: html " + std::to_string(i) +
        "\nMIME-Version: 1.0\nContent-Type: text/html; charset=utf-8\n\n" + html);
  }
  struct Case {
    std::string env;
    bool logged;
    std::vector<std::string> lines;  // the text lines, in order
  };
  const std::vector<Case> cases = {
      {"QUILLMAR_LIBRARY_DIR=" + (dir / "nolib"),
       true,
       {"Hello & good\xC2\xA0"
        "day,",
        "caf\xC3\xA9 \xE2\x98\xBA link", "", "Second 1 < 2"}},
      {"",
       false,
       {"Hello & good\xC2\xA0"
        "day,",
        "caf\xC3\xA9 \xE2\x98\xBA link <http://x.example/>", "", "Second 1 < 2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env);
    fs::remove_all(dir / "in");
    dir.mkdir("in");
    dir.write("soup/AREAS", "MAIL\tEmail\tbn\n");
    dir.write("soup/MAIL.MSG", mail);
    RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"}, c.env);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string note = "! libxml2.so.2 cannot be used (";
    std::size_t at = r.err.find(note);
    EXPECT_EQ(at != std::string::npos, c.logged) << r.err;
    if (at != std::string::npos) {
      EXPECT_EQ(r.err.find(note, at + 1), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("libxml2.so.2: cannot open shared object file", at), std::string::npos)
          << r.err;
    }
    std::vector<FidoMessage> m;
    for (const auto& e : fs::directory_iterator(dir / "in")) {
      std::vector<FidoMessage> more = read_packet(e.path().string());
      m.insert(m.end(), more.begin(), more.end());
    }
    ASSERT_EQ(m.size(), 2u);
    for (const FidoMessage& msg : m) {
      std::string want;
      for (const std::string& l : c.lines) want += "\r" + l;
      EXPECT_NE(msg.text.find(want + "\r"), std::string::npos) << msg.text;
      for (const char* gone : {"<p", "hidden", "var x", "color", "T\r"}) {
        EXPECT_EQ(msg.text.find(gone), std::string::npos) << gone << " in " << msg.text;
      }
    }
  }
}

// Python's reading of a reply file: per message one line of JSON with the
// decoded subject and From header, the Content-Type charset, the text,
// the defects found and the longest header line.
constexpr const char* kReplyReader = R"PY(
import email, email.policy, json, sys
from email.header import decode_header, make_header
data = open(sys.argv[1], 'rb').read()
pos = 0
while pos + 4 <= len(data):
    n = int.from_bytes(data[pos:pos + 4], 'big')
    raw = data[pos + 4:pos + 4 + n]
    pos += 4 + n
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    old = email.message_from_bytes(raw, policy=email.policy.compat32)
    defects = [type(d).__name__ for p in msg.walk() for d in p.defects]
    defects += [type(d).__name__ for d in msg['subject'].defects]
    header = raw.split(b'\n\n')[0].split(b'\n')
    print(json.dumps({'subject': str(msg['subject']),
                      'from': str(make_header(decode_header(old['from']))),
                      'charset': msg.get_content_charset(), 'text': msg.get_content(),
                      'defects': defects, 'longest': max(len(l) for l in header)},
                     ensure_ascii=False))
)PY";

TEST(ModernMime, ExportWritesWhatPythonReadsAsTheOriginal) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  if (!have_program("faketime")) GTEST_SKIP() << "faketime is not installed";
  const FtnAddress node{2, 345, 1, 0};
  const FtnAddress gateway{2, 345, 6, 0};
  struct Case {
    std::string area;  // empty: netmail
    std::string chrs;  // the CHRS kludge, empty for none
    std::string from, subject, text;
    std::string want_from, want_subject, want_text;  // as Python reads them
  };
  const std::string cp866_line =
      "\x8A\xA0\xAA \xA4\xA5\xAB\xA0? \x82\xE1\xF1 "
      "\xE5\xAE\xE0\xAE\xE8\xAE. ";
  const std::string utf8_words =
      "Gr\xC3\xB6\xC3\x9F"
      "e \xE2\x80\x93 5 \xE2\x82\xAC ";
  std::string cp866_text, want_cp866, utf8_subject, want_utf8_subject, utf8_text, want_utf8;
  for (int i = 0; i < 8; ++i) {
    cp866_text += cp866_line;
    want_cp866 += "Как дела? Всё хорошо. ";
    utf8_text += utf8_words;
    want_utf8 += "Größe – 5 € ";
  }
  for (int i = 0; i < 4; ++i) {
    utf8_subject += utf8_words;
    want_utf8_subject += "Größe – 5 € ";
  }
  const std::vector<Case> cases = {
      {"", "CP866 2", "\x88\xA2\xA0\xAD \x8F\xA5\xE2\xE0\xAE\xA2",
       "\x8F\xE0\xA8\xA2\xA5\xE2, \x84\xA6\xAE", cp866_text, "Иван Петров", "Привет, Джо",
       want_cp866},
      {"FIDO.TEST", "UTF-8 4", "J\xC3\xBCrgen M\xC3\xBCller", utf8_subject, utf8_text,
       "Jürgen Müller", want_utf8_subject, want_utf8},
      {"FIDO.LAT", "", "Ren\xE9", "Caf\xE9",
       "Caf\xE9 cr\xE8me br\xFBl\xE9"
       "e",
       "René", "Café", "Café crème brûlée"},
      {"", "IBMPC 2", "Joe Sysop", "Na\x8Bve", "Na\x8Bve se\xA4or", "Joe Sysop", "Naïve",
       "Naïve señor"},
      // A line end in a subject stays inside it (as an encoded word).
      {"", "", "Joe Sysop", "Hi\nBcc: evil@example.com", "x", "Joe Sysop",
       "Hi Bcc: evil@example.com", "x"},  // a line break in a header value is a blank
  };
  std::vector<TestMessage> messages;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    TestMessage m;
    m.from_name = c.from;
    m.subject = c.subject;
    std::string kludges = "\x01MSGID: 2:345/1 0000001" + std::to_string(i) + "\r";
    if (!c.chrs.empty())
      kludges +=
          "\x01"
          "CHRS: " +
          c.chrs + "\r";
    if (c.area.empty()) {
      m.text = kludges + "To: a@example.net\r\r" + c.text + "\r";
    } else {
      m.to_name = "All";
      m.text = "AREA:" + c.area + "\r" + kludges + c.text +
               "\r--- ed\r * Origin: here (2:345/1)\rSEEN-BY: 345/1\r";
    }
    messages.push_back(m);
  }
  ScratchDir dir;
  dir.write("out/01590006.OUT", build_packet(node, gateway, messages));
  dir.write("q.cfg", modern_config(dir) + "FidoCharset LATIN-1 FIDO.LAT\n");
  RunResult r = run_quillmar(dir.path(), {"EXPORT", "/C=./q.cfg"}, "TZ=UTC", "1999-03-09 14:05:07");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(dir / "soup/mail0000.MSG").find("\nBcc:"), std::string::npos);
  std::string script = dir.write("read.py", kReplyReader);
  std::string seen;
  for (const char* file : {"soup/mail0000.MSG", "soup/news0000.MSG"}) {
    seen += output_of("python3 " + script + " " + (dir / file));
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want_subject);
    std::string json = "{\"subject\": \"" + c.want_subject + "\", \"from\": \"";
    std::size_t at = seen.find(json);
    ASSERT_NE(at, std::string::npos) << seen;
    std::string line = seen.substr(at, seen.find('\n', at) - at);
    EXPECT_NE(line.find("(" + c.want_from + ")\", \"charset\": \"utf-8\""), std::string::npos)
        << line;
    EXPECT_NE(line.find("\"defects\": []"), std::string::npos) << line;
    // Long lines are wrapped; the words stay, in order.
    std::string text = line.substr(line.find("\"text\": \"") + 9);
    text = text.substr(0, text.find("\", \"defects\""));
    std::string joined;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text.compare(i, 2, "\\n") == 0) {
        joined += ' ';
        ++i;
      } else {
        joined += text[i];
      }
    }
    auto words = [](const std::string& s) {
      std::vector<std::string> out;
      std::size_t i = 0;
      while ((i = s.find_first_not_of(' ', i)) != std::string::npos) {
        std::size_t end = s.find(' ', i);
        out.push_back(s.substr(i, end - i));
        i = end;
      }
      return out;
    };
    EXPECT_EQ(words(joined), words(c.want_text)) << line;
    std::size_t longest = std::stoul(line.substr(line.find("\"longest\": ") + 11));
    EXPECT_LE(longest, 78u) << line;
  }
}

// Python's reading of the flowed text of a reply file: per message one
// line of JSON with the Content-Type parameters, the text joined as
// RFC 3676 says (soft line breaks, DelSp=yes, space-stuffing) and the
// longest line as sent, in characters.
constexpr const char* kFlowedReader = R"PY(
import email, email.policy, json, sys
data = open(sys.argv[1], 'rb').read()
pos = 0
while pos + 4 <= len(data):
    n = int.from_bytes(data[pos:pos + 4], 'big')
    msg = email.message_from_bytes(data[pos + 4:pos + 4 + n], policy=email.policy.default)
    pos += 4 + n
    text = msg.get_content()
    delsp = msg.get_param('delsp') == 'yes'
    paragraphs, current = [], None
    for line in text.split('\n')[:-1]:
        if line.startswith(' '):
            line = line[1:]
        soft = line.endswith(' ') and line != '-- '
        current = (current or '') + (line[:-1] if soft and delsp else line)
        if not soft:
            paragraphs.append(current)
            current = None
    print(json.dumps({'subject': str(msg['subject']), 'format': msg.get_param('format'),
                      'delsp': msg.get_param('delsp'), 'charset': msg.get_content_charset(),
                      'paragraphs': paragraphs,
                      'longest': max(len(l) for l in text.split('\n'))}, ensure_ascii=False))
)PY";

// FidoNet paragraphs, on one long line or wrapped by an editor at 79
// columns, go out as format=flowed text: Python joins every line of the
// FidoNet text back as it was written, and no line as sent is longer than
// the line width and its two marks.
TEST(ModernMime, ExportSendsParagraphsAsFlowedText) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  const FtnAddress node{2, 345, 1, 0};
  const FtnAddress gateway{2, 345, 6, 0};
  std::string long_paragraph;
  for (int i = 0; i < 6; ++i) {
    long_paragraph +=
        "Gr\xC3\xBC\xC3\x9F"
        "e aus K\xC3\xB6ln, ein Absatz auf einer Zeile. ";
  }
  long_paragraph += "Ende.";
  const std::vector<std::string> utf8_lines = {
      long_paragraph,
      "",
      "An editor wraps this paragraph at seventy-nine columns and leaves the blank ",
      "at the end of each line it broke, as many FidoNet editors do; the reader ",
      "sees the lines as they were.",
      " JD> A quoted line of the FidoNet kind that is rather long and goes past the width.",
      "> An Internet-style quote, kept as text.",
      "From here on, a line that mailbox readers would take for a separator.",
      "Link: https://example.org/" + std::string(90, 'a') + "/index.html",
      "Trailing blanks of a line that ends a paragraph go.   ",
      "-- ",
      "Joe",
  };
  std::string cp866_paragraph;
  std::string want_cp866;
  for (int i = 0; i < 5; ++i) {
    cp866_paragraph += "\x8A\xA0\xAA \xA4\xA5\xAB\xA0? \x82\xE1\xF1 \xE5\xAE\xE0\xAE\xE8\xAE. ";
    want_cp866 += "Как дела? Всё хорошо. ";
  }
  want_cp866.pop_back();
  std::vector<TestMessage> messages(2);
  messages[0].subject = "utf8";
  messages[0].text =
      "\x01MSGID: 2:345/1 00000001\r\x01"
      "CHRS: UTF-8 4\rTo: a@example.net\r\r";
  for (const std::string& l : utf8_lines) messages[0].text += l + "\r";
  messages[1].subject = "cp866";
  messages[1].text =
      "\x01MSGID: 2:345/1 00000002\r\x01"
      "CHRS: CP866 2\rTo: a@example.net\r\r" +
      cp866_paragraph + "\r";
  ScratchDir dir;
  dir.write("out/01590006.OUT", build_packet(node, gateway, messages));
  dir.write("q.cfg", modern_config(dir));
  RunResult r = run_quillmar(dir.path(), {"EXPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string script = dir.write("flowed.py", kFlowedReader);
  std::string seen = output_of("python3 " + script + " " + (dir / "soup/mail0000.MSG"));
  auto quoted = [](const std::string& s) {
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\\\"") : std::string(1, c);
    return out + "\"";
  };
  std::string want_utf8 = "\"paragraphs\": [";
  for (const std::string& l : utf8_lines) {
    std::string kept = l == "-- " ? l : l.substr(0, l.find_last_not_of(' ') + 1);
    want_utf8 += quoted(kept) + (&l == &utf8_lines.back() ? "]" : ", ");
  }
  for (const std::string& want :
       {"{\"subject\": \"utf8\", \"format\": \"flowed\", \"delsp\": \"yes\", \"charset\": "
        "\"utf-8\", " +
            want_utf8,
        "{\"subject\": \"cp866\", \"format\": \"flowed\", \"delsp\": \"yes\", \"charset\": "
        "\"utf-8\", \"paragraphs\": [" +
            quoted(want_cp866) + "]"}) {
    std::size_t at = seen.find(want);
    EXPECT_NE(at, std::string::npos) << want << "\n" << seen;
    if (at == std::string::npos) continue;
    std::string line = seen.substr(at, seen.find('\n', at) - at);
    EXPECT_LE(std::stoul(line.substr(line.find("\"longest\": ") + 11)), 72u + 2u) << line;
  }
}

}  // namespace
}  // namespace quillmar::testing
