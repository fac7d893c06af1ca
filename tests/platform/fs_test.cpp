#include "platform/fs.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/clock.hpp"
#include "test_support.hpp"

namespace quillmar::platform {
namespace {

using quillmar::testing::read_file;
using quillmar::testing::ScratchDir;

TEST(Platform, FindsLowerCaseNamesByTheirUpperCaseForm) {
  ScratchDir dir;
  dir.write("01180005.pnt/out.002/2.msg", "hello");
  std::string upper = dir.path() + "\\01180005.PNT\\OUT.002\\2.MSG";
  EXPECT_TRUE(file_exists(upper));
  EXPECT_TRUE(directory_exists(dir.path() + "\\01180005.PNT\\"));
  File f;
  ASSERT_TRUE(f.open(upper, OpenMode::read));
  char buf[8] = {};
  EXPECT_EQ(f.read(buf, sizeof buf), 5u);
  EXPECT_STREQ(buf, "hello");
  EXPECT_FALSE(file_exists(dir.path() + "\\01180005.PNT\\OUT.002\\3.MSG"));
}

TEST(Platform, NewFileKeepsItsNameInADirectoryFoundWithoutCase) {
  ScratchDir dir;
  dir.mkdir("inbound");
  File f;
  ASSERT_TRUE(f.open(dir.path() + "/INBOUND\\00000000.PKT", OpenMode::write, Share::deny_write));
  ASSERT_TRUE(f.write("x"));
  ASSERT_TRUE(f.close());
  EXPECT_EQ(read_file(dir / "inbound/00000000.PKT"), "x");
}

// A file made without a name leaves nothing when closed unnamed; parked
// and written on, it keeps every byte; it never takes a name that exists
// in another case.
TEST(Platform, UnnamedFileGetsItsNameOnlyWhenFree) {
  ScratchDir dir;
  File dropped;
  if (!dropped.open_unnamed(dir.path() + "/gone.bin")) GTEST_SKIP() << "no unnamed files here";
  ASSERT_TRUE(dropped.write("lost"));
  ASSERT_TRUE(dropped.close());
  EXPECT_FALSE(file_exists(dir.path() + "/gone.bin"));

  dir.write("TAKEN.BIN", "mine");
  File f;
  ASSERT_TRUE(f.open_unnamed(dir.path() + "\\taken.bin"));
  EXPECT_TRUE(f.unnamed());
  ASSERT_TRUE(f.write("abc"));
  ASSERT_TRUE(f.park());
  ASSERT_TRUE(f.write(std::string(100000, 'x')));
  EXPECT_FALSE(f.link_as(dir.path() + "\\taken.bin"));
  EXPECT_EQ(errno, EEXIST);
  ASSERT_TRUE(f.link_as(dir.path() + "\\free.bin"));
  EXPECT_FALSE(f.unnamed());
  ASSERT_TRUE(f.close());
  EXPECT_EQ(read_file(dir.path() + "/TAKEN.BIN"), "mine");
  EXPECT_EQ(read_file(dir.path() + "/free.bin"), "abc" + std::string(100000, 'x'));
}

// Long writes hand their write-out to a helper thread. A child made by
// fork() meanwhile (as a command run for a list is) writes and closes its
// own long files without waiting for the parent's thread.
TEST(Platform, LongWritesGoOnInAForkedChild) {
  ScratchDir dir;
  const std::string block(1 << 20, 'b');
  auto write_long = [&](const std::string& name) {
    File f;
    if (!f.open(dir / name, OpenMode::write)) return false;
    for (int i = 0; i < 12; ++i) {
      if (!f.write(block)) return false;
    }
    return f.close();
  };
  ASSERT_TRUE(write_long("parent1"));
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(20);
    ::_exit(write_long("child") ? 0 : 1);
  }
  ASSERT_TRUE(write_long("parent2"));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (const char* name : {"parent1", "parent2", "child"}) {
    EXPECT_EQ(read_file(dir / name).size(), 12u << 20) << name;
  }
}

TEST(Platform, WildcardListingIgnoresCase) {
  ScratchDir dir;
  dir.write("a.pkt", "12");
  dir.write("B.PKT", "1");
  dir.write("c.pkt.bak", "");
  dir.write("d.msg", "");
  std::vector<DirEntry> list = list_directory(dir.path() + "\\*.PKT");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].name, "B.PKT");
  EXPECT_EQ(list[0].size, 1u);
  EXPECT_EQ(list[1].name, "a.pkt");
  EXPECT_EQ(list[1].size, 2u);
  EXPECT_NE(list[1].dos_date, 0u);
  EXPECT_EQ(list_directory(dir.path() + "/*.*").size(), 4u);
}

TEST(Platform, WildcardMatch) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"*.PKT", "a.pkt", true},
      {"*.PKT", "c.pkt.bak", false},
      {"*.MSG", "12.MSG", true},
      {"*.*", "README", true},
      {"??.MO?", "ab.mo1", true},
      {"??.MO?", "abc.mo1", false},
      {"LIST*.TMP", "list0001.tmp", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wildcard_match(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
  }
}

TEST(Platform, DenyWriteRefusesASecondWriter) {
  ScratchDir dir;
  std::string name = dir / "QUILLMAR.LOG";
  File first;
  ASSERT_TRUE(first.open(name, OpenMode::append, Share::deny_write));
  ASSERT_TRUE(first.write("kept"));
  ASSERT_TRUE(first.flush());
  File second;
  EXPECT_FALSE(second.open(name, OpenMode::write, Share::deny_write));
  // The refused writer did not empty the file; a reader may still open it.
  File reader;
  EXPECT_TRUE(reader.open(name, OpenMode::read));
  ASSERT_TRUE(first.close());
  EXPECT_EQ(read_file(name), "kept");
  EXPECT_TRUE(second.open(name, OpenMode::write, Share::deny_write));
}

TEST(Platform, CreateNewNeverOpensAnExistingNameOrLink) {
  ScratchDir dir;
  dir.write("victim", "precious");
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "link").c_str()), 0);
  File f;
  EXPECT_FALSE(f.open(dir / "VICTIM", OpenMode::create_new, Share::deny_write));
  EXPECT_FALSE(f.open(dir / "link", OpenMode::create_new, Share::deny_write));
  EXPECT_TRUE(f.open(dir / "fresh", OpenMode::create_new, Share::deny_write));
  EXPECT_EQ(read_file(dir / "victim"), "precious");
}

TEST(Platform, WritersNeverFollowAPlantedLink) {
  ScratchDir dir;
  dir.write("victim", "precious");
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "REPLIES").c_str()), 0);
  File f;
  EXPECT_FALSE(f.open(dir / "REPLIES", OpenMode::append, Share::deny_write));
  EXPECT_FALSE(f.open(dir / "REPLIES", OpenMode::write, Share::deny_write));
  EXPECT_FALSE(f.open(dir / "REPLIES", OpenMode::update, Share::deny_write));
  EXPECT_EQ(read_file(dir / "victim"), "precious");
  // Devices and pipes are no files to read.
  EXPECT_FALSE(f.open("/dev/zero", OpenMode::read));
  EXPECT_TRUE(f.open(dir / "victim", OpenMode::read));
}

TEST(Platform, RenameAndRemoveFindNamesWithoutCase) {
  ScratchDir dir;
  dir.write("list.tmp", "new");
  dir.write("list.cfg", "old");
  // A rename never replaces a file; a replace does, in one step.
  EXPECT_FALSE(rename_file(dir.path() + "\\LIST.TMP", dir.path() + "\\LIST.CFG"));
  EXPECT_EQ(read_file(dir / "list.cfg"), "old");
  EXPECT_TRUE(replace_file(dir.path() + "\\LIST.TMP", dir.path() + "\\LIST.CFG"));
  EXPECT_EQ(read_file(dir / "list.cfg"), "new");
  EXPECT_TRUE(rename_file(dir / "list.cfg", dir / "LIST.BAD"));
  EXPECT_EQ(read_file(dir / "LIST.BAD"), "new");
  EXPECT_FALSE(file_exists(dir / "list.tmp"));
  EXPECT_TRUE(remove_file(dir.path() + "/list.bad"));
  EXPECT_FALSE(file_exists(dir / "LIST.BAD"));
}

// The file's own buffer: reads, writes, seeks and tell() in every order
// leave the same bytes as plain calls into the OS would.
// The same with the small buffer and the large one: the sizes are taken
// large enough to cross either.
TEST(Platform, BufferedFileKeepsBytesAndPositions) {
  for (bool large : {false, true}) {
    SCOPED_TRACE(large ? "large buffer" : "small buffer");
    const long k = large ? 5 : 1;  // the sizes below, scaled
    ScratchDir dir;
    std::string big(200000 * k, 'x');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    dir.write("big", big);
    File f;
    ASSERT_TRUE(f.open(dir / "big", OpenMode::update));
    ASSERT_TRUE(!large || f.use_large_buffer());
    // Bytes, a window and a large read across the buffer's end.
    EXPECT_EQ(f.get_byte(), 'a');
    f.unget_byte();
    EXPECT_EQ(f.tell(), 0);
    EXPECT_EQ(f.peek().substr(0, 3), "abc");
    f.skip(2);
    EXPECT_EQ(f.get_byte(), 'c');
    std::string part(150000 * k, '\0');
    EXPECT_EQ(f.read(part.data(), part.size()), part.size());
    EXPECT_EQ(part, big.substr(3, 150000 * k));
    const long after = 150000 * k + 3;
    EXPECT_EQ(f.tell(), after);
    // A write where reading stopped, then a seek back into the written bytes.
    ASSERT_TRUE(f.write("XYZ", 3));
    EXPECT_EQ(f.tell(), after + 3);
    ASSERT_TRUE(f.seek(after + 1));
    EXPECT_EQ(f.get_byte(), 'Y');
    // A positioned write at the start, as the length field of a reply message.
    ASSERT_TRUE(f.seek(0));
    ASSERT_TRUE(f.write("1234", 4));
    ASSERT_TRUE(f.seek(0, SEEK_END));
    EXPECT_EQ(f.tell(), 200000 * k);
    // Text longer than the buffer, formatted.
    std::string wide(100000 * k, 'w');
    ASSERT_TRUE(f.printf("<%s>", wide.c_str()));
    EXPECT_EQ(f.get_byte(), EOF);
    ASSERT_TRUE(f.truncate(200000 * k + 1));
    ASSERT_TRUE(f.close());
    std::string expected = big;
    expected.replace(0, 4, "1234");
    expected.replace(after, 3, "XYZ");
    expected += "<";
    EXPECT_EQ(read_file(dir / "big"), expected);

    // Appending writes at the end, and tell() says where that is.
    File a;
    ASSERT_TRUE(a.open(dir / "big", OpenMode::append));
    ASSERT_TRUE(!large || a.use_large_buffer());
    EXPECT_EQ(a.tell(), 200000 * k + 1);
    ASSERT_TRUE(a.write(">"));
    EXPECT_EQ(a.tell(), 200000 * k + 2);
    ASSERT_TRUE(a.close());
    EXPECT_EQ(read_file(dir / "big"), expected + ">");
  }
}

// With the directory listings cached, a lookup without case still sees the
// files the program creates and removes, and those another program adds
// (the directory's modification time tells).
TEST(Platform, CachedListingsFollowTheDirectory) {
  ScratchDir dir;
  dir.mkdir("in");
  cache_directory_listings(true);
  EXPECT_FALSE(file_exists(dir.path() + "/IN/A.PKT"));
  File f;
  ASSERT_TRUE(f.open(dir.path() + "/IN/a.pkt", OpenMode::create_new));
  ASSERT_TRUE(f.close());
  EXPECT_TRUE(file_exists(dir.path() + "/in/A.PKT"));
  EXPECT_FALSE(f.open(dir.path() + "/in/A.PKT", OpenMode::create_new));
  ASSERT_TRUE(remove_file(dir.path() + "/in/A.PKT"));
  EXPECT_FALSE(file_exists(dir.path() + "/in/A.PKT"));
  // Another program's file, in a directory whose time moves on.
  dir.write("in/b.pkt", "b");
  struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "in").c_str(), times, 0), 0);
  EXPECT_TRUE(file_exists(dir.path() + "/in/B.PKT"));
  cache_directory_listings(false);
  EXPECT_TRUE(file_exists(dir.path() + "/in/B.PKT"));
}

// A cached listing keeps no names, only a filter of them: through many
// files, added by the program (the filter made anew as it fills) and by
// others, every name is found without case, with its own spelling, and no
// name that is not there.
TEST(Platform, CachedListingsOfManyFilesFindEveryNameAndNoOther) {
  ScratchDir dir;
  dir.mkdir("many");
  for (int i = 0; i < 100; ++i) dir.write("many/old" + std::to_string(i) + ".Txt", "x");
  dir.write("many/Mixed.txt", "1");
  dir.write("many/mixed.TXT", "2");
  cache_directory_listings(true);
  const std::string base = dir.path() + "/MANY/";
  for (int i = 0; i < 3000; ++i) {
    std::string name = "new" + std::to_string(i) + ".bin";
    EXPECT_FALSE(file_exists(base + "NEW" + std::to_string(i) + ".BIN")) << name;
    File f;
    ASSERT_TRUE(f.open(base + name, OpenMode::create_new)) << name;
    ASSERT_TRUE(f.close());
    if (i % 7 == 0) {
      EXPECT_TRUE(file_exists(base + "NEW" + std::to_string(i) + ".BIN")) << name;
      EXPECT_FALSE(f.open(base + "New" + std::to_string(i) + ".Bin", OpenMode::create_new));
    }
  }
  for (int i = 0; i < 3000; ++i) {
    std::string n = std::to_string(i);
    ASSERT_EQ(resolve_existing(base + "NEW" + n + ".BIN"), dir.path() + "/many/new" + n + ".bin");
    ASSERT_FALSE(file_exists(base + "NEW" + n + ".BIM")) << n;
  }
  for (int i = 0; i < 100; ++i) {
    EXPECT_TRUE(file_exists(base + "OLD" + std::to_string(i) + ".TXT")) << i;
  }
  // Of two names equal without case, the first in byte order.
  EXPECT_EQ(resolve_existing(base + "MIXED.TXT"), dir.path() + "/many/Mixed.txt");
  cache_directory_listings(false);
}

TEST(Platform, FixedClockAndDosDate) {
  set_fixed_clock(921000000);
  EXPECT_EQ(now(), 921000000);
  set_fixed_clock(std::nullopt);
  LocalTime lt;
  lt.year = 1999;
  lt.month = 3;
  lt.day = 9;
  lt.hour = 14;
  lt.minute = 5;
  lt.second = 7;
  EXPECT_EQ(dos_date(lt), (19 << 9) | (3 << 5) | 9);
  EXPECT_EQ(dos_time(lt), (14 << 11) | (5 << 5) | 3);
}

TEST(Platform, PeekForMoreKeepsTheUnreadBytesAndReadsOnBehindThem) {
  ScratchDir dir;
  std::string data(3 * File::kBufferSize, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  std::string path = dir.write("big.bin", data);
  File f;
  ASSERT_TRUE(f.open(path, OpenMode::read));
  // Near the end of the first block the window is short; asked for more,
  // it runs on into the next block without losing a byte.
  ASSERT_TRUE(f.seek(static_cast<long>(File::kBufferSize) - 10));
  ASSERT_EQ(f.peek().size(), File::kBufferSize);  // a seek out of the buffer reads a block
  f.skip(File::kBufferSize - 5);
  EXPECT_EQ(f.peek().size(), 5u);
  std::string_view more = f.peek(100);
  ASSERT_EQ(more.size(), File::kBufferSize);
  const std::size_t at = 2 * File::kBufferSize - 15;
  EXPECT_EQ(more, std::string_view(data).substr(at, File::kBufferSize));
  EXPECT_EQ(f.tell(), static_cast<long>(at));
  // A seek back within the window costs nothing and reads the same bytes.
  f.skip(20);
  ASSERT_TRUE(f.seek(static_cast<long>(at) + 3));
  EXPECT_EQ(f.peek().substr(0, 4), std::string_view(data).substr(at + 3, 4));
  // At the end of the file the window holds what is left.
  ASSERT_TRUE(f.seek(static_cast<long>(data.size()) - 7));
  EXPECT_EQ(f.peek(1000), std::string_view(data).substr(data.size() - 7));
  f.skip(7);
  EXPECT_TRUE(f.peek(10).empty());
  EXPECT_FALSE(f.read_failed());
}

TEST(Platform, BytesWrittenAtAnOffsetGoIntoThePendingOutputOrToTheFile) {
  ScratchDir dir;
  std::string path = dir.path() + "/out.bin";
  File f;
  ASSERT_TRUE(f.open(path, OpenMode::create_new));
  ASSERT_TRUE(f.write("0123456789"));
  // Within the pending bytes: nothing reaches the file yet.
  ASSERT_TRUE(f.write_at(2, "ab", 2));
  EXPECT_EQ(read_file(path), "");
  EXPECT_EQ(f.tell(), 10);
  // A seek to where the output stands writes nothing out either.
  ASSERT_TRUE(f.seek(10));
  EXPECT_EQ(read_file(path), "");
  // Filled in place, then handed on.
  char* room = f.write_room(3);
  ASSERT_NE(room, nullptr);
  std::memcpy(room, "xyz", 3);
  f.commit(3);
  ASSERT_TRUE(f.flush());
  EXPECT_EQ(read_file(path), "01ab456789xyz");
  // Bytes already written: one positioned write, the position kept.
  ASSERT_TRUE(f.write("!"));
  ASSERT_TRUE(f.write_at(0, "AB", 2));
  ASSERT_TRUE(f.write("?"));
  // Partly pending, partly written: the pending bytes go out first.
  ASSERT_TRUE(f.write_at(12, "ZZZ", 3));
  ASSERT_TRUE(f.close());
  EXPECT_EQ(read_file(path), "ABab456789xyZZZ");
  // A file opened to append has no offsets to write at.
  File log;
  ASSERT_TRUE(log.open(dir.path() + "/log.txt", OpenMode::append));
  EXPECT_FALSE(log.write_at(0, "x", 1));
  ASSERT_TRUE(log.close());
}

}  // namespace
}  // namespace quillmar::platform
