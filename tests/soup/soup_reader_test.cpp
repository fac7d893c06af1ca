#include "soup/soup_reader.hpp"

#include <gtest/gtest.h>

#include "config/settings.hpp"
#include "test_support.hpp"

namespace quillmar {
namespace {

using testing::ScratchDir;

class SoupReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    allocate_settings();
    settings->SoupDir = dir_.path() + "\\";
  }
  void TearDown() override { release_settings(); }

  // Cuts a message file of the given format into the texts of its messages;
  // "!" stands for a format error, and the list ends there.
  std::vector<std::string> extents(const std::string& content, MessageFormat format) {
    dir_.write("AREA.MSG", content);
    MessageFile file;
    EXPECT_TRUE(file.open(dir_ / "area.msg"));
    std::vector<std::string> out;
    for (int guard = 0; guard < 1000; ++guard) {
      MessageExtent e;
      ExtentResult r = next_message_extent(file, format, e);
      if (r == ExtentResult::end_of_file) return out;
      if (r == ExtentResult::format_error) {
        out.push_back("!");
        return out;
      }
      file.seek(e.start);
      out.push_back(std::string(file.read_bytes(static_cast<std::size_t>(e.end - e.start))));
      file.seek(e.end);
    }
    ADD_FAILURE() << "the reader does not move on";
    return out;
  }

  ScratchDir dir_;
};

using Messages = std::vector<std::string>;

TEST_F(SoupReaderTest, AreaLines) {
  dir_.write("AREAS",
             "news0001\tcomp.lang.c\tun\n"
             "mail\tEmail\tBn\r\n"
             "x\talt.x\tbxn\n"
             "y\talt.y\tB\n"
             "z\tbad.format\ti\n"
             "no tabs here\n"
             "w\tmail.box\tmxn\textra\tfields\n"
             "v\talt.v\t\n"
             "last\tlast.group\tM");
  TextReader areas;
  ASSERT_TRUE(areas.open(dir_ / "AREAS"));
  long line = 0;
  SoupArea area;
  struct Expect {
    AreaLine result;
    const char* name;
    MessageFormat format;
    MessageKind kind;
  } expected[] = {
      {AreaLine::area, "comp.lang.c", MessageFormat::rnews, MessageKind::news},
      {AreaLine::area, "Email", MessageFormat::binary, MessageKind::mail},
      {AreaLine::area, "alt.x", MessageFormat::binary, MessageKind::news},
      {AreaLine::area, "alt.y", MessageFormat::binary, MessageKind::news},
      {AreaLine::rejected, "", MessageFormat::binary, MessageKind::mail},
      {AreaLine::rejected, "", MessageFormat::binary, MessageKind::mail},
      {AreaLine::area, "mail.box", MessageFormat::mailbox, MessageKind::news},
      {AreaLine::rejected, "", MessageFormat::binary, MessageKind::mail},
      {AreaLine::area, "last.group", MessageFormat::mmdf, MessageKind::mail},
  };
  ::testing::internal::CaptureStderr();
  for (const Expect& e : expected) {
    ASSERT_EQ(read_area_line(areas, line, area), e.result) << line;
    if (e.result != AreaLine::area) continue;
    EXPECT_EQ(area.area_name.view(), e.name);
    EXPECT_EQ(area.format, e.format) << e.name;
    EXPECT_EQ(area.kind, e.kind) << e.name;
  }
  EXPECT_EQ(read_area_line(areas, line, area), AreaLine::end_of_file);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Unknown message format in line 5 in AREAS\n"
            "Error in line 6 in AREAS\n"
            "Unknown message format in line 8 in AREAS\n");
  EXPECT_EQ(line, 9);
}

TEST_F(SoupReaderTest, OpeningReportsTheArea) {
  testing::WatchedConsole watched;  // the progress display is drawn
  dir_.write("NEWS0001.MSG", "");
  SoupArea area;
  area.prefix = "news0001";
  area.area_name = "comp.lang.c";
  MessageFile file;
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(open_message_file(area, 1, file));
  show_progress(file);  // an empty file is read completely
  area.prefix = "none";
  EXPECT_FALSE(open_message_file(area, 2, file));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "\nImporting comp.lang.c\n\r100%Importing comp.lang.c\nError reading " + dir_.path() +
                "\\none.MSG\n");
}

TEST_F(SoupReaderTest, RnewsBatches) {
  EXPECT_EQ(extents("#! rnews 6\nabc\nd\n#! rnews   3\nxyz#! rnews 0\n", MessageFormat::rnews),
            (Messages{"abc\nd\n", "xyz", ""}));
  EXPECT_EQ(extents("Path: x\n#! rnews 3\nabc", MessageFormat::rnews), (Messages{"!"}));
  // A count beyond the end ends with the file; a negative count is malformed.
  EXPECT_EQ(extents("#! rnews 100\nshort", MessageFormat::rnews), (Messages{"short"}));
  EXPECT_EQ(extents("#! rnews -20\nabc\n#! rnews -20\n", MessageFormat::rnews), (Messages{"!"}));
  EXPECT_EQ(extents("#! rnews 99999999999999999999\nabc", MessageFormat::rnews), (Messages{"abc"}));
  EXPECT_EQ(extents("", MessageFormat::rnews), (Messages{}));
}

TEST_F(SoupReaderTest, Mailboxes) {
  EXPECT_EQ(extents("From a@b Mon\nSubject: 1\n\n>From here\nbody\nFrom c@d\nSubject: 2\n",
                    MessageFormat::mailbox),
            (Messages{"Subject: 1\n\n>From here\nbody\n", "Subject: 2\n"}));
  EXPECT_EQ(extents("Subject: no separator\n", MessageFormat::mailbox), (Messages{"!"}));
  EXPECT_EQ(extents("From a\nFrom b\nno line end", MessageFormat::mailbox),
            (Messages{"", "no line end"}));
  std::string long_line(100000, 'x');
  EXPECT_EQ(extents("From a\n" + long_line, MessageFormat::mailbox), (Messages{long_line}));
}

TEST_F(SoupReaderTest, Mmdf) {
  EXPECT_EQ(extents("\x01\x01\x01\x01\nSubject: 1\n\nbody\n\x01\x01\x01\x01\n\x01\x01\x01\x01\r\n"
                    "Subject: 2\n\x01\x01\x01\x01\n",
                    MessageFormat::mmdf),
            (Messages{"Subject: 1\n\nbody\n", "Subject: 2\n"}));
  EXPECT_EQ(
      extents("\x01\x01\x01\x01Subject: 3\nends \x01\x01\x01\x01 inside", MessageFormat::mmdf),
      (Messages{"Subject: 3\nends ", " inside"}));
  EXPECT_EQ(extents("\x01\x01\x01", MessageFormat::mmdf), (Messages{}));
  EXPECT_EQ(extents("no separator and no line end", MessageFormat::mmdf),
            (Messages{"no separator and no line end"}));
}

TEST_F(SoupReaderTest, Binary) {
  auto framed = [](const std::string& text) {
    std::string out(4, '\0');
    out[2] = static_cast<char>(text.size() >> 8);
    out[3] = static_cast<char>(text.size() & 0xFF);
    return out + text;
  };
  std::string big(300, 'b');
  EXPECT_EQ(extents(framed("one") + framed("") + framed(big), MessageFormat::binary),
            (Messages{"one", "", big}));
  EXPECT_EQ(extents(framed("one").substr(0, 6), MessageFormat::binary), (Messages{"!"}));
  EXPECT_EQ(extents(framed("one") + std::string("\0\0", 2), MessageFormat::binary),
            (Messages{"one", "!"}));
  EXPECT_EQ(extents(std::string("\x80\0\0\x01x", 5), MessageFormat::binary), (Messages{"!"}));
}

}  // namespace
}  // namespace quillmar
