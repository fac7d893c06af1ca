// NewsFix's shared pieces: its keywords, node patterns, wildmats, the area
// tag made from a group name and the subscriptions file.
#include "config/newsfix_files.hpp"

#include <gtest/gtest.h>

#include <set>

#include "config/reader.hpp"
#include "config/settings.hpp"
#include "test_support.hpp"

namespace quillmar {
namespace {

using testing::ScratchDir;

class NewsFixConfig : public ::testing::Test {
 protected:
  void SetUp() override { allocate_settings(); }
  void TearDown() override { release_settings(); }
  std::string read(const std::string& text) {
    std::string path = dir_.write("gate.cfg", text);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(read_config(path, dir_ / "quillmar"));
    return ::testing::internal::GetCapturedStderr();
  }
  ScratchDir dir_;
};

TEST_F(NewsFixConfig, KeywordsAndTheirWarnings) {
  std::string err = read(
      "NewsFixNode 2:345/1.5 Secret 2\n"
      "NewsFixNode 2:345/2.* other\n"
      "NewsFixNode 2:345 x\n"          // 3: no node
      "NewsFixNode 2:345/1\n"          // 4: no password
      "NewsFixNode 2:345/1 pw many\n"  // 5: no number
      "NewsFixNode 2:345/1 pw 3 4\n"   // 6: too many
      "NewsFixAllow comp.*,!comp.binaries.*\n"
      "NewsFixAllow\n"  // 8
      "NewsFixName GroupFix\n");
  const NewsFixSettings& n = settings->newsfix;
  ASSERT_EQ(n.nodes.size(), 2u);
  EXPECT_EQ(n.nodes[0].pattern, "2:345/1.5");
  EXPECT_EQ(n.nodes[0].password, "Secret");
  EXPECT_EQ(n.nodes[0].most_groups, 2u);
  EXPECT_EQ(n.nodes[1].most_groups, 0u);
  ASSERT_EQ(n.allow.size(), 1u);
  EXPECT_EQ(n.name, "GroupFix");
  for (const char* line : {"line 3 ", "line 4 ", "line 5 ", "line 6 ", "line 8 "}) {
    EXPECT_NE(err.find(line), std::string::npos) << line << "\n" << err;
  }
  EXPECT_EQ(err.find("line 1 "), std::string::npos) << err;
  EXPECT_EQ(err.find("line 9 "), std::string::npos) << err;
}

TEST(NewsFixPatterns, NodePatterns) {
  struct Case {
    const char* pattern;
    FtnAddress node;
    bool match;
  };
  const Case cases[] = {
      {"2:345/1", {2, 345, 1, 0}, true},
      {"2:345/1", {2, 345, 1, 5}, false},
      {"2:345/1.5", {2, 345, 1, 5}, true},
      {"2:345/1.*", {2, 345, 1, 7}, true},
      {"2:345/1.*", {2, 345, 1, 0}, true},
      {"2:345/*", {2, 345, 9, 3}, true},
      {"2:345/*", {2, 346, 9, 3}, false},
      {"2:*", {2, 1, 2, 3}, true},
      {"*", {3, 1, 2, 3}, true},
      {"2:345/1.5", {2, 345, 1, 6}, false},
      {"2:345/1x", {2, 345, 1, 0}, false},
      {"2:345", {2, 345, 0, 0}, false},
      {"2:345/1.5.6", {2, 345, 1, 5}, false},
      {"2:*/1", {2, 345, 1, 0}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(node_pattern_match(c.pattern, c.node), c.match) << c.pattern;
  }
}

TEST(NewsFixPatterns, Wildmats) {
  struct Case {
    const char* wildmat;
    const char* group;
    bool match;
  };
  const Case cases[] = {
      {"comp.*", "comp.lang.c", true},
      {"comp.*", "alt.comp", false},
      {"comp.*,!comp.binaries.*", "comp.binaries.misc", false},
      {"comp.*,!comp.binaries.*", "comp.lang.c", true},
      {"!comp.binaries.*,comp.*", "comp.binaries.misc", true},
      {"comp.lang.?", "comp.lang.c", true},
      {"comp.lang.[a-c]", "comp.lang.c", true},
      {"comp.lang.[^a-c]", "comp.lang.c", false},
      {"comp.lang.c", "comp.lang.c++", false},
      {"*", "anything", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wildmat_match(c.wildmat, c.group), c.match) << c.wildmat << " " << c.group;
  }
}

bool in_set(std::string_view tag, const void* context) {
  return static_cast<const std::set<std::string, std::less<>>*>(context)->count(tag) != 0;
}

TEST(NewsFixTags, DerivedFromTheGroupNameAndMadeUnique) {
  std::set<std::string, std::less<>> taken;
  EXPECT_EQ(derive_area_tag("comp.lang.c++", in_set, &taken), "COMP.LANG.C__");
  EXPECT_EQ(derive_area_tag("de.comp.os.unix.linux.misc-and-more.long.names.here", in_set, &taken),
            "DE.COMP.OS.UNIX.LINUX.MISC-AND-MORE");
  taken = {"COMP.LANG.C", "COMP.LANG.C_2"};
  EXPECT_EQ(derive_area_tag("comp.lang.c", in_set, &taken), "COMP.LANG.C_3");
  taken = {"DE.COMP.OS.UNIX.LINUX.MISC-AND-MORE"};
  EXPECT_EQ(derive_area_tag("de.comp.os.unix.linux.misc-and-more.x", in_set, &taken),
            "DE.COMP.OS.UNIX.LINUX.MISC-AND-MO_2");
}

TEST(NewsFixSubscriptions, WrittenAndReadBack) {
  Subscriptions s;
  s.add("comp.lang.c", "COMP.LANG.C", {2, 345, 1, 5});
  s.add("alt.test", "ALT.TEST", {2, 345, 2, 0});
  s.add("comp.lang.c", "ignored", {2, 345, 2, 0});
  EXPECT_EQ(s.count_of({2, 345, 2, 0}), 2u);
  ScratchDir dir;
  std::string path = dir.write("NEWSFIX.SUB", subscriptions_text(s));
  EXPECT_EQ(testing::read_file(path),
            "# Quillmar NewsFix subscriptions: group tag nodes\n"
            "alt.test ALT.TEST 2:345/2.0\n"
            "comp.lang.c COMP.LANG.C 2:345/1.5 2:345/2.0\n");
  Subscriptions back;
  std::string error;
  ASSERT_TRUE(read_subscriptions(path, back, error)) << error;
  EXPECT_EQ(subscriptions_text(back), subscriptions_text(s));
  back.remove("alt.test", {2, 345, 2, 0});
  EXPECT_EQ(back.find("alt.test"), nullptr);
  // A damaged line is said, not guessed at.
  dir.write("NEWSFIX.SUB", "comp.lang.c COMP.LANG.C 2:345/x\n");
  EXPECT_FALSE(read_subscriptions(path, back, error));
  EXPECT_EQ(error, "line 1 is not understood");
}

}  // namespace
}  // namespace quillmar
