#include "base/file_helpers.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace quillmar {
namespace {

using testing::read_file;
using testing::ScratchDir;

TEST(FileHelpers, UniqueHexName) {
  ScratchDir dir;
  std::string in = dir.path() + "\\";
  PathText name;
  EXPECT_EQ(unique_hex_name(in, "PKT", name), 0u);
  EXPECT_EQ(name.view(), in + "00000000.PKT");
  for (int i = 0; i < 10; ++i) {
    char n[16];
    std::snprintf(n, sizeof n, "%08X.pkt", i);  // a tosser's lower-case names count too
    dir.write(n, "");
  }
  EXPECT_EQ(unique_hex_name(in, "PKT", name), 10u);
  EXPECT_EQ(name.view(), in + "0000000A.PKT");
}

TEST(FileHelpers, UniquePrefixedName) {
  ScratchDir dir;
  std::string soup = dir.path() + "/";
  PathText name;
  EXPECT_EQ(unique_prefixed_name(soup, "LIST", "TMP", name), 0u);
  EXPECT_EQ(name.view(), soup + "LIST0000.TMP");
  dir.write("mail0000.MSG", "");
  EXPECT_EQ(unique_prefixed_name(soup, "mail", "MSG", name), 1u);
  EXPECT_EQ(name.view(), soup + "mail0001.MSG");
  // A directory too long for a path gives no name rather than a cut one.
  EXPECT_FALSE(unique_prefixed_name(std::string(5000, 'd') + "/", "mail", "MSG", name));
}

TEST(FileHelpers, BumpFileName) {
  ScratchDir dir;
  PathText path(dir.path() + "\\FILE.ZIP");
  EXPECT_TRUE(bump_file_name(path));  // a free name stays
  EXPECT_EQ(path.view(), dir.path() + "\\FILE.ZIP");
  for (const char* taken :
       {"FILE.ZIP", "FILE.ZI0", "FILE.ZI1", "FILE.ZI2", "FILE.ZI3", "FILE.ZI4", "FILE.ZI5",
        "FILE.ZI6", "FILE.ZI7", "FILE.ZI8", "FILE.ZI9", "FILE.Z09"}) {
    dir.write(taken, "");
  }
  EXPECT_TRUE(bump_file_name(path));
  EXPECT_EQ(path.view(), dir.path() + "\\FILE.Z19");
  // When every name it can form is taken it says so.
  ScratchDir full;
  for (const char* taken : {"9", "0", "1", "2", "3", "4", "5", "6", "7", "8"}) {
    full.write(taken, "");
  }
  PathText nine(full.path() + "/9");
  EXPECT_FALSE(bump_file_name(nine));
}

TEST(FileHelpers, ReplaceWildcardName) {
  ScratchDir dir;
  std::string in = dir.path() + "\\";
  struct Case {
    const char* name;
    const char* result;
  } cases[] = {
      {"*.ZIP", "00000000.ZIP"},
      {"FILE.*", "00000000.ATT"},
      {"*", "00000000.ATT"},
      {"*.ABCDEFGHIJ", "00000000.ABCDEFG"},
  };
  for (const Case& c : cases) {
    PathText path(in + c.name);
    EXPECT_TRUE(replace_wildcard_name(path, in.size()));
    EXPECT_EQ(path.view(), in + c.result);
  }
  dir.write("00000000.ZIP", "");
  PathText path(in + "*.ZIP");
  EXPECT_TRUE(replace_wildcard_name(path, in.size()));
  EXPECT_EQ(path.view(), in + "00000001.ZIP");
  PathText plain(in + "FILE.ZIP");
  EXPECT_FALSE(replace_wildcard_name(plain, in.size()));
  EXPECT_EQ(plain.view(), in + "FILE.ZIP");
}

TEST(FileHelpers, CopyFile) {
  ScratchDir dir;
  std::string data(1000, 'x');
  data[500] = '\0';
  dir.write("src", data);
  char buffer[256];
  EXPECT_EQ(copy_file(dir / "SRC", dir / "dst", buffer, sizeof buffer), 1000);
  EXPECT_EQ(read_file(dir / "dst"), data);
  EXPECT_EQ(copy_file(dir / "none", dir / "dst2", buffer, sizeof buffer), -1);
  EXPECT_EQ(copy_file(dir / "src", dir / "nodir/dst", buffer, sizeof buffer), -1);
}

TEST(FileHelpers, ReadingFidoNetText) {
  ScratchDir dir;
  dir.write("msg", std::string("abcdefg\rxy\nz\rname\0rest", 22));
  platform::File f;
  ASSERT_TRUE(f.open(dir / "msg", platform::OpenMode::read));
  char line[5];  // four characters at most
  EXPECT_EQ(read_cr_line(f, line), CrLine::too_long);
  EXPECT_STREQ(line, "abcd");
  EXPECT_EQ(read_cr_line(f, line), CrLine::line);
  EXPECT_STREQ(line, "efg");
  char wide[32];
  EXPECT_EQ(read_cr_line(f, wide), CrLine::line);
  EXPECT_STREQ(wide, "xy\nz");
  EXPECT_EQ(read_zstring(f, wide, 3), 3u);
  EXPECT_STREQ(wide, "nam");  // cut at the maximum, still terminated
  EXPECT_EQ(read_zstring(f, wide, 10), 1u);
  EXPECT_STREQ(wide, "e");
  EXPECT_EQ(read_cr_line(f, wide), CrLine::ended);  // end of file is a NUL
  EXPECT_STREQ(wide, "rest");
  EXPECT_EQ(read_byte(f), 0);
  EXPECT_EQ(read_zstring(f, wide, 10), 0u);
  EXPECT_STREQ(wide, "");
}

}  // namespace
}  // namespace quillmar
