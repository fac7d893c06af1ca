#include "base/path_list.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillmar {
namespace {

std::vector<std::string> names_of(const PathList& list) {
  std::vector<std::string> out;
  for (std::string_view name : list) out.emplace_back(name);
  return out;
}

TEST(PathList, HoldsNamesAtTheirLengthInOrder) {
  PathList list;
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.begin(), list.end());
  std::string long_name = "/var/spool/fido/inbound/" + std::string(3000, 'x') + ".PKT";
  list.push_back("a");
  list.push_back("");
  list.push_back(long_name);
  // A name cannot hold a NUL: it ends there.
  list.push_back(std::string_view("cut\0off", 7));
  EXPECT_EQ(list.size(), 4u);
  EXPECT_EQ(names_of(list), (std::vector<std::string>{"a", "", long_name, "cut"}));
  list.clear();
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(names_of(list).empty());
  list.push_back("b.att");
  EXPECT_EQ(names_of(list), std::vector<std::string>{"b.att"});
}

}  // namespace
}  // namespace quillmar
