#include "soup/reply.hpp"
#include "export/journal.hpp"
#include "fido/attach_packet.hpp"
#include "rfc/header_writer.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include "test_support.hpp"

#include <csignal>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "base/run_options.hpp"
#include "config/settings.hpp"
#include "lists/test_files.hpp"
#include "platform/clock.hpp"
#include "test_support.hpp"

namespace quillmar {
namespace {

using quillmar::testing::framed_messages;
using quillmar::testing::with_file_size_limit;
using testing_support::have_tool;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

class ReplyTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string soup;

  void SetUp() override {
    allocate_settings();
    AddrMapEntry* e = settings->AddrMap.add();
    e->ftn_address = FtnAddress{2, 345, 1, 7};
    e->internet_address = "sysop@example.org";
    soup = dir.path + "/soup/";
    std::filesystem::create_directories(soup);
    settings->SoupDir = soup;
    settings->encode_format = EncodeFormat::mime;
    settings->PacketPwd = "SECRET";
    run_options = RunOptions{};
    reset_reply_files();
  }
  void TearDown() override {
    reset_reply_files();
    release_settings();
  }

  static bool write_message(int kind, const std::string& text) {
    platform::File f;
    if (!open_reply_message(kind, f)) return false;
    f.write(text);
    return close_reply_message(kind, f);
  }
};

const std::string kMail1 = "To: a@example.net\nSubject: one\n\nbody one\n";
const std::string kMail2 = "To: b@example.net\nSubject: two\n\nbody two\n";
const std::string kNews = "Newsgroups: alt.test\nSubject: three\n\nbody three\n";

TEST_F(ReplyTest, OneFilePerKindListedAtTheEndOfTheRun) {
  ASSERT_TRUE(flush_reply_file(kReplyMail));
  ASSERT_TRUE(flush_reply_file(kReplyNews));
  EXPECT_EQ(reply_file_name(kReplyMail), soup + "mail0000.MSG");
  EXPECT_TRUE(write_message(kReplyMail, kMail1));
  EXPECT_TRUE(write_message(kReplyNews, kNews));
  EXPECT_TRUE(write_message(kReplyMail, kMail2));
  EXPECT_FALSE(std::filesystem::exists(soup + "REPLIES"));
  flush_reply_file(kReplyMail);
  flush_reply_file(kReplyNews);

  EXPECT_EQ(read_file(soup + "REPLIES"), "mail0000\tmail\tbn\nnews0000\tnews\tBn\n");
  EXPECT_EQ(framed_messages(read_file(soup + "mail0000.MSG")),
            (std::vector<std::string>{kMail1, kMail2}));
  EXPECT_EQ(framed_messages(read_file(soup + "news0000.MSG")), (std::vector<std::string>{kNews}));
  // The next messages go to new files, never into a listed one.
  EXPECT_EQ(reply_file_name(kReplyMail), soup + "mail0001.MSG");
  EXPECT_FALSE(std::filesystem::exists(soup + "mail0001.MSG"));
}

TEST_F(ReplyTest, HeaderValuesNeverBreakTheirLine) {
  flush_reply_file(kReplyMail);
  platform::File f;
  ASSERT_TRUE(open_reply_message(kReplyMail, f));
  f.write("Subject: ");
  write_header_value(f, std::string_view("Hi\nBcc: a@b\rc\0d\r\n", 17));
  f.write("\n\nbody\n");
  ASSERT_TRUE(close_reply_message(kReplyMail, f));
  EXPECT_EQ(framed_messages(read_file(soup + "mail0000.MSG")),
            (std::vector<std::string>{"Subject: Hi Bcc: a@b c d  \n\nbody\n"}));
}

// A source whose messages cannot all be written is taken out again: the
// current file is cut back to where it began, a file begun since goes.
TEST_F(ReplyTest, RollbackTakesOutWhatFollowsTheMark) {
  settings->SeparateMSG = true;
  flush_reply_file(kReplyMail);
  hold_reply_listing(true, export_reply_journal());
  EXPECT_TRUE(write_message(kReplyMail, kMail1));
  ReplyMark mark = reply_mark();
  EXPECT_TRUE(write_message(kReplyMail, kMail2));
  flush_reply_file(kReplyMail);
  EXPECT_TRUE(write_message(kReplyMail, kMail2));
  EXPECT_EQ(held_reply_listings().size(), 1u);
  reply_rollback(mark);
  EXPECT_TRUE(held_reply_listings().empty());
  EXPECT_FALSE(std::filesystem::exists(soup + "mail0001.MSG"));
  EXPECT_EQ(framed_messages(read_file(soup + "mail0000.MSG")), (std::vector<std::string>{kMail1}));
  EXPECT_EQ(reply_message_count(kReplyMail), 1);
  hold_reply_listing(false);
  EXPECT_FALSE(std::filesystem::exists(soup + "REPLIES"));
}

TEST_F(ReplyTest, SeparateMessagesEachGetTheirOwnFileAndLine) {
  flush_reply_file(kReplyMail);
  flush_reply_file(kReplyNews);
  EXPECT_TRUE(write_message(kReplyMail, kMail1));
  flush_reply_file(kReplyMail);
  EXPECT_TRUE(write_message(kReplyNews, kNews));
  flush_reply_file(kReplyNews);
  EXPECT_TRUE(write_message(kReplyMail, kMail2));
  flush_reply_file(kReplyMail);

  EXPECT_EQ(read_file(soup + "REPLIES"),
            "mail0000\tmail\tbn\nnews0000\tnews\tBn\nmail0001\tmail\tbn\n");
  EXPECT_EQ(framed_messages(read_file(soup + "mail0001.MSG")), (std::vector<std::string>{kMail2}));
}

TEST_F(ReplyTest, ExistingFileIsPassedOverAndNothingWrittenMeansNothingListed) {
  write_file(soup + "mail0000.MSG", "older packet");
  flush_reply_file(kReplyMail);
  flush_reply_file(kReplyNews);
  flush_reply_file(kReplyMail);
  flush_reply_file(kReplyNews);
  EXPECT_FALSE(std::filesystem::exists(soup + "REPLIES"));
  EXPECT_FALSE(std::filesystem::exists(soup + "mail0001.MSG"));
  EXPECT_FALSE(std::filesystem::exists(soup + "news0000.MSG"));

  EXPECT_TRUE(write_message(kReplyMail, kMail1));
  flush_reply_file(kReplyMail);
  EXPECT_EQ(read_file(soup + "mail0000.MSG"), "older packet");
  EXPECT_EQ(read_file(soup + "REPLIES"), "mail0001\tmail\tbn\n");
}

TEST_F(ReplyTest, RepliesThatCannotBeOpenedIsReportedAndANewFileChosen) {
  std::filesystem::create_directories(soup + "REPLIES");
  flush_reply_file(kReplyMail);
  EXPECT_TRUE(write_message(kReplyMail, kMail1));
  ::testing::internal::CaptureStderr();
  flush_reply_file(kReplyMail);
  std::string err = ::testing::internal::GetCapturedStderr();
  // The sysop is told which line is missing.
  EXPECT_EQ(err, "Error: can't append to " + soup +
                     "REPLIES\n! mail0000.MSG is not listed in REPLIES; its line is "
                     "\"mail0000\\tmail\\tbn\"\n");
  EXPECT_TRUE(std::filesystem::exists(soup + "mail0000.MSG"));
  EXPECT_EQ(reply_file_name(kReplyMail), soup + "mail0001.MSG");
}

TEST_F(ReplyTest, AllNamesTakenStopsWithAnError) {
  char name[32];
  for (unsigned n = 0; n <= 0xFFFF; ++n) {
    std::snprintf(name, sizeof name, "news%04X.MSG", n);
    std::FILE* f = std::fopen((soup + name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(flush_reply_file(kReplyNews));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Error: no free name for a news reply file left in " + soup + "\n");
  platform::File f;
  EXPECT_FALSE(open_reply_message(kReplyNews, f));
  // Mail is not affected.
  EXPECT_TRUE(flush_reply_file(kReplyMail));
  EXPECT_TRUE(write_message(kReplyMail, kMail1));
}

TEST_F(ReplyTest, MessageThatCannotBeWrittenWholeIsNotCounted) {
  flush_reply_file(kReplyMail);
  ASSERT_TRUE(write_message(kReplyMail, kMail1));
  std::string attached = dir / "big.bin";
  write_file(attached, std::string(20000, 'x'));
  bool closed = true;
  std::string err;
  with_file_size_limit(4096, [&] {
    platform::File f;
    ASSERT_TRUE(open_reply_message(kReplyMail, f));
    f.write(kMail2);
    platform::File in;
    ASSERT_TRUE(in.open(attached, platform::OpenMode::read));
    ::testing::internal::CaptureStderr();
    encode_attachment(f, in, attached, AfterSend::erase);
    closed = close_reply_message(kReplyMail, f);
    err = ::testing::internal::GetCapturedStderr();
  });
  EXPECT_FALSE(closed);
  EXPECT_NE(err.find("! error writing " + soup + "mail0000.MSG"), std::string::npos) << err;
  EXPECT_EQ(reply_message_count(kReplyMail), 1);
  EXPECT_EQ(framed_messages(read_file(soup + "mail0000.MSG")), (std::vector<std::string>{kMail1}));
  EXPECT_TRUE(std::filesystem::exists(attached)) << "the file of a lost message must stay";
  // The file goes on normally afterwards.
  EXPECT_TRUE(write_message(kReplyMail, kMail2));
  EXPECT_EQ(framed_messages(read_file(soup + "mail0000.MSG")),
            (std::vector<std::string>{kMail1, kMail2}));
}

// Writes a multipart message carrying `file` in the current EncodeFormat.
bool write_attach_message(const std::string& file, AfterSend mode) {
  platform::File f;
  if (!open_reply_message(kReplyMail, f)) return false;
  f.printf("To: a@example.net\nFrom: sysop@example.org (Joe Sysop)\nSubject: %s\n", file.c_str());
  f.printf("Mime-version: 1.0\nContent-Type: multipart/mixed; boundary=\"%s\"\n\n--%s\n",
           kMimeBoundary, kMimeBoundary);
  f.write("Content-Type: text/plain; charset=us-ascii\nContent-Transfer-Encoding: 7bit\n\n");
  f.write("see the file\n");
  platform::File in;
  if (!in.open(file, platform::OpenMode::read)) return false;
  encode_attachment(f, in, file, mode);
  f.printf("\n--%s--\n", kMimeBoundary);
  return close_reply_message(kReplyMail, f);
}

std::string bytes_of_size(std::size_t n) {
  std::string s(n, '\0');
  uint32_t x = static_cast<uint32_t>(n) * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 23);
  }
  return s;
}

// The lines of the part after its header, up to the closing boundary.
std::vector<std::string> part_lines(const std::string& message) {
  std::size_t start = message.find("Content-Type: application/octet-stream");
  start = message.find("\n\n", start) + 2;
  std::vector<std::string> lines;
  for (std::size_t pos = start; pos < message.size();) {
    std::size_t end = message.find('\n', pos);
    lines.push_back(message.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

TEST_F(ReplyTest, HundredBytesInBothEncodings) {
  std::string file = dir / "data.bin";
  write_file(file, bytes_of_size(100));
  flush_reply_file(kReplyMail);
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(write_attach_message(file, AfterSend::keep));
  settings->encode_format = EncodeFormat::uu;
  ASSERT_TRUE(write_attach_message(file, AfterSend::keep));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "* MIME-encoding data.bin\n* UU-encoding data.bin\n");

  std::vector<std::string> messages = framed_messages(read_file(soup + "mail0000.MSG"));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_NE(messages[0].find("\n--+=Quillmar=+\nContent-Type: application/octet-stream; "
                             "name=\"data.bin\"\nContent-Transfer-Encoding: base64\n\n"),
            std::string::npos);
  std::vector<std::string> mime = part_lines(messages[0]);
  ASSERT_GE(mime.size(), 5u);
  EXPECT_EQ(mime[0].size(), 76u);
  EXPECT_EQ(mime[1].size(), 60u);
  EXPECT_EQ(mime[1].substr(58), "==");
  EXPECT_EQ(mime[2], "");  // the part's end
  EXPECT_EQ(mime[3], "");  // the caller's closing boundary follows
  EXPECT_EQ(mime[4], "--+=Quillmar=+--");

  EXPECT_NE(messages[1].find("Content-Transfer-Encoding: 7bit\n\nbegin 644 data.bin\n"),
            std::string::npos);
  std::vector<std::string> uu = part_lines(messages[1]);
  ASSERT_GE(uu.size(), 7u);
  EXPECT_EQ(uu[0], "begin 644 data.bin");
  EXPECT_EQ(uu[1].size(), 61u);
  EXPECT_EQ(uu[1][0], 'M');
  EXPECT_EQ(uu[2][0], 'M');
  EXPECT_EQ(uu[3][0], '*');
  EXPECT_EQ(uu[3].size(), 1u + 14u);  // three groups of four, one of two
  EXPECT_EQ(uu[4], "`");
  EXPECT_EQ(uu[5], "end");
  EXPECT_EQ(uu[6], "");
  EXPECT_EQ(uu[1].find(' '), std::string::npos) << "a zero value is written as a grave accent";
}

TEST_F(ReplyTest, SentFilesAreDeletedOrTruncatedOnlyOutsideTestMode) {
  struct Case {
    AfterSend mode;
    bool test_mode;
    bool exists;
    std::size_t size;
  };
  const Case cases[] = {
      {AfterSend::keep, false, true, 10},    {AfterSend::erase, false, false, 0},
      {AfterSend::truncate, false, true, 0}, {AfterSend::erase, true, true, 10},
      {AfterSend::truncate, true, true, 10},
  };
  flush_reply_file(kReplyMail);
  for (const Case& c : cases) {
    std::string file = dir / "sent.txt";
    write_file(file, "0123456789");
    run_options.test_mode = c.test_mode;
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(write_attach_message(file, c.mode));
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(std::filesystem::exists(file), c.exists);
    if (c.exists) {
      EXPECT_EQ(std::filesystem::file_size(file), c.size);
    }
  }
  EXPECT_EQ(reply_message_count(kReplyMail), 5);
}

// Independent readers: Python's email package parses every framed message
// without defects, munpack and uudecode give back the original bytes.
TEST_F(ReplyTest, IndependentToolsReadMessagesAndAttachments) {
  if (!have_tool("python3")) GTEST_SKIP() << "python3 is not installed";
  const std::size_t sizes[] = {0, 1, 2, 3, 45, 57, 100, 100000};
  flush_reply_file(kReplyMail);
  ::testing::internal::CaptureStderr();
  for (EncodeFormat format : {EncodeFormat::mime, EncodeFormat::uu}) {
    settings->encode_format = format;
    for (std::size_t size : sizes) {
      std::string file = dir / ("f" + std::to_string(size) + ".bin");
      write_file(file, bytes_of_size(size));
      ASSERT_TRUE(write_attach_message(file, AfterSend::keep));
    }
  }
  ::testing::internal::GetCapturedStderr();
  flush_reply_file(kReplyMail);

  std::string script = dir / "check.py";
  write_file(script, R"PY(
import email, email.policy, sys, os
soup, out = sys.argv[1], sys.argv[2]
lines = open(os.path.join(soup, 'REPLIES'), 'rb').read().decode().splitlines()
assert lines == ['mail0000\tmail\tbn'], lines
data = open(os.path.join(soup, 'mail0000.MSG'), 'rb').read()
pos = count = 0
while pos < len(data):
    n = int.from_bytes(data[pos:pos + 4], 'big')
    raw = data[pos + 4:pos + 4 + n]
    assert len(raw) == n
    pos += 4 + n
    msg = email.message_from_bytes(raw, policy=email.policy.compat32)
    assert msg.is_multipart(), count
    for part in msg.walk():
        assert not part.defects, (count, part.defects)
    open(os.path.join(out, 'm%02d.eml' % count), 'wb').write(raw)
    count += 1
print(count)
)PY");
  std::string out = dir / "msgs";
  std::filesystem::create_directories(out);
  std::string command =
      "python3 '" + script + "' '" + soup + "' '" + out + "' > '" + (dir / "py.out") + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << read_file(dir / "py.out");
  EXPECT_EQ(read_file(dir / "py.out"), "16\n");

  bool munpack = have_tool("munpack");
  bool uudecode = have_tool("uudecode");
  for (int i = 0; i < 16; ++i) {
    std::size_t size = sizes[i % 8];
    std::string name = "f" + std::to_string(size) + ".bin";
    std::string target = dir / ("x" + std::to_string(i));
    std::filesystem::create_directories(target);
    char eml[16];
    std::snprintf(eml, sizeof eml, "m%02d.eml", i);
    if (i < 8 && munpack) {
      std::string cmd =
          "cd '" + target + "' && munpack -q -t '" + out + "/" + eml + "' >/dev/null 2>&1";
      ASSERT_EQ(std::system(cmd.c_str()), 0) << name;
    } else if (i >= 8 && uudecode) {
      std::string cmd = "cd '" + target + "' && uudecode '" + out + "/" + eml + "' 2>&1";
      ASSERT_EQ(std::system(cmd.c_str()), 0) << name;
    } else {
      continue;
    }
    ASSERT_TRUE(std::filesystem::exists(target + "/" + name)) << name;
    EXPECT_EQ(read_file(target + "/" + name), bytes_of_size(size)) << name << " message " << i;
  }
  if (!munpack || !uudecode) GTEST_SKIP() << "munpack (mpack) or uudecode (sharutils) missing";
}

uint16_t u16(const std::string& s, std::size_t at) {
  return static_cast<uint16_t>(uint8_t(s[at]) | (uint8_t(s[at + 1]) << 8));
}

TEST_F(ReplyTest, AttachPacketCarriesOneFileAttachMessage) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  std::tm t{};
  t.tm_year = 99;
  t.tm_mon = 2;
  t.tm_mday = 9;
  t.tm_hour = 14;
  t.tm_min = 5;
  t.tm_sec = 7;
  platform::set_fixed_clock(::timegm(&t));
  std::string temp = dir / "00000000.PKT";
  platform::File f;
  bool made = make_attach_packet(FtnAddress{2, 280, 464, 3}, "Ann Point", temp,
                                 "^C:\\FILES\\REPORT.ZIP", f);
  platform::set_fixed_clock(std::nullopt);
  ASSERT_TRUE(made);
  long end = f.tell();
  f.close();
  std::string p = read_file(temp);
  EXPECT_EQ(static_cast<long>(p.size()), end);
  ASSERT_GT(p.size(), 72u);
  EXPECT_EQ(u16(p, 0), 1);    // origin node: the first AddrMap address
  EXPECT_EQ(u16(p, 2), 464);  // destination node
  EXPECT_EQ(p.substr(4, 12), std::string("\xCF\x07\x02\x00\x09\x00\x0E\x00\x05\x00\x07\x00", 12));
  EXPECT_EQ(u16(p, 18), 2);
  EXPECT_EQ(u16(p, 20), 345);
  EXPECT_EQ(u16(p, 22), 280);
  EXPECT_EQ(uint8_t(p[24]), 0);
  EXPECT_EQ(uint8_t(p[25]), 1);
  EXPECT_EQ(p.substr(26, 8), std::string("SECRET\0\0", 8));
  EXPECT_EQ(u16(p, 34), 2);
  EXPECT_EQ(u16(p, 40), 0x0100);
  EXPECT_EQ(uint8_t(p[42]), 1);
  EXPECT_EQ(u16(p, 44), 0x0001);
  EXPECT_EQ(u16(p, 50), 7);  // origin point
  EXPECT_EQ(u16(p, 52), 3);  // destination point
  EXPECT_EQ(u16(p, 58), 2);
  EXPECT_EQ(u16(p, 60), 1);
  EXPECT_EQ(u16(p, 62), 464);
  EXPECT_EQ(u16(p, 64), 345);
  EXPECT_EQ(u16(p, 66), 280);
  EXPECT_EQ(u16(p, 68), 0x0011);
  std::string rest = p.substr(72);
  static const char kText[] =
      "09 Mar 99 14:05:07\0Ann Point\0sysop@example.org\0^C:\\FILES\\REPORT.ZIP\0"
      "\x01INTL 2:280/464 2:345/1\r\x01"
      "FMPT 7\r\x01TOPT 3\r"
      "[Quillmar/W32 v1.04 attached file REPORT.ZIP]\r\0\0\0";
  EXPECT_EQ(rest, std::string(kText, sizeof kText - 1));
}

}  // namespace
}  // namespace quillmar
