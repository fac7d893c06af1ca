// The history of message identifiers against damaged and hostile files: a
// file cut short or scribbled over gives an error that names it damaged,
// never a signal; a whole one keeps what was written.
#include "platform/id_history.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace quillmar::platform {
namespace {

using quillmar::testing::read_file;
using quillmar::testing::ScratchDir;

std::vector<std::string> some_ids(int count) {
  std::vector<std::string> ids;
  for (int i = 0; i < count; ++i) ids.push_back("<" + std::to_string(i) + ".id@example.com>");
  return ids;
}

// A history of `count` identifiers taken at time 1000; its file's bytes.
std::string made_history(const ScratchDir& dir, int count) {
  IdHistory history;
  std::string error;
  EXPECT_TRUE(history.open(dir / "H.MDB", error)) << error;
  EXPECT_TRUE(history.add_and_expire(some_ids(count), 1000, 0, error)) << error;
  history.close();
  return read_file(dir / "H.MDB");
}

std::size_t page_size_of(const std::string& file) {
  uint32_t size = 0;
  std::memcpy(&size, file.data() + 40, sizeof size);
  return size;
}

// Opens the damaged file, looks every identifier up and writes more: each
// step either works or fails as damage.
struct Outcome {
  bool damaged = false;
  std::string why;
};

Outcome use(const ScratchDir& dir, const std::string& file, int count) {
  dir.write("H.MDB", file);
  std::remove((dir / "H.MDB-lock").c_str());
  IdHistory history;
  Outcome out;
  if (!history.open(dir / "H.MDB", out.why)) {
    out.damaged = history.damaged();
    return out;
  }
  for (const std::string& id : some_ids(count)) {
    history.contains(id, 0);
    if (!history.failure().empty()) {
      out.damaged = history.damaged();
      out.why = history.failure();
      return out;
    }
  }
  if (!history.add_and_expire(some_ids(count + 50), 2000, 1500, out.why)) {
    out.damaged = history.damaged();
  }
  return out;
}

TEST(IdHistory, WholeHistoryKeepsWhatWasWrittenAndExpires) {
  ScratchDir dir;
  made_history(dir, 300);
  IdHistory history;
  std::string error;
  ASSERT_TRUE(history.open(dir / "H.MDB", error)) << error;
  EXPECT_EQ(history.size(), 300u);
  EXPECT_TRUE(history.contains("<299.id@example.com>", 1000));
  EXPECT_FALSE(history.contains("<299.id@example.com>", 1001));
  EXPECT_FALSE(history.contains("<300.id@example.com>", 0));
  EXPECT_TRUE(history.failure().empty());
  ASSERT_TRUE(history.add_and_expire({"<new@example.com>"}, 2000, 1500, error)) << error;
  EXPECT_EQ(history.size(), 1u);
  EXPECT_TRUE(history.contains("<new@example.com>", 0));
}

// A file cut at any size or with its meta pages scribbled over fails to open
// as damaged; one with its data pages scribbled over fails as damaged when
// it is used, or works.
TEST(IdHistory, DamagedFileIsAnErrorNeverASignal) {
  ScratchDir dir;
  const int count = 300;
  std::string whole = made_history(dir, count);
  std::size_t page = page_size_of(whole);
  ASSERT_GE(whole.size(), 5 * page);
  struct Case {
    std::string name;
    std::string file;
    bool must_be_damaged;
  };
  std::vector<Case> cases;
  for (std::size_t size : {std::size_t{0}, std::size_t{100}, page, page + 100, 2 * page,
                           3 * page - 1, whole.size() - page, whole.size() - 1}) {
    cases.push_back({"cut at " + std::to_string(size), whole.substr(0, size), true});
  }
  std::string meta = whole;
  std::memset(meta.data() + 16, 0, 4);
  cases.push_back({"first magic scribbled", meta, true});
  meta = whole;
  std::memset(meta.data() + page + 40, 0xFF, 4);
  cases.push_back({"page sizes differ", meta, true});
  meta = whole;
  uint64_t root = 1u << 20;
  for (std::size_t at : {std::size_t{0}, page}) std::memcpy(meta.data() + at + 128, &root, 8);
  cases.push_back({"root beyond the end", meta, true});
  std::string full = whole;
  for (std::size_t at = 2 * page; at + page <= full.size(); at += page) {
    std::memcpy(full.data() + at + 14, full.data() + at + 12, 2);
  }
  cases.push_back({"pages without room", full, true});
  std::mt19937 random(29);
  for (int n = 0; n < 60; ++n) {
    std::string scribbled = whole;
    std::size_t at = 2 * page + random() % (whole.size() - 2 * page - 64);
    std::size_t length = 1 + random() % (n % 3 == 0 ? page : 64);
    for (std::size_t i = at; i < at + length && i < scribbled.size(); ++i) {
      scribbled[i] = static_cast<char>(random());
    }
    cases.push_back({"data scribbled " + std::to_string(n), scribbled, false});
  }
  int damaged = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome out = use(dir, c.file, count);
    if (c.must_be_damaged) {
      EXPECT_TRUE(out.damaged) << out.why;
    }
    if (!out.why.empty() && !out.damaged) {
      ADD_FAILURE() << "failed, not as damage: " << out.why;
    }
    damaged += out.damaged ? 1 : 0;
  }
  EXPECT_GT(damaged, 12);
}

}  // namespace
}  // namespace quillmar::platform
