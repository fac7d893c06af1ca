// The kept inputs of every fuzz target, run through the target's own entry
// point: the minimised corpus of fuzz/corpus/<target> and the inputs that
// once broke a promise, fuzz/regressions/<target>. A broken promise or a
// sanitizer's report ends the program and names the input.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.hpp"
#include "target.hpp"

namespace quillmar::fuzz {
namespace {

namespace fs = std::filesystem;

const fs::path kFuzzDir = fs::path(QUILLMAR_SOURCE_DIR) / "fuzz";

std::vector<fs::path> kept_inputs(const fs::path& dir) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class KeptInputs : public ::testing::TestWithParam<std::string> {};

TEST_P(KeptInputs, RunWithoutABrokenPromise) {
  const std::string& target = GetParam();
  TargetFunction run = find_target(target);
  ASSERT_NE(run, nullptr);
  std::vector<fs::path> inputs = kept_inputs(kFuzzDir / "corpus" / target);
  EXPECT_FALSE(inputs.empty()) << "fuzz/corpus/" << target << " holds no input";
  for (const fs::path& regression : kept_inputs(kFuzzDir / "regressions" / target)) {
    inputs.push_back(regression);
  }
  begin_target();
  for (const fs::path& input : inputs) {
    std::string data = contents(input);
    set_current_input(input.string());
    quiet_output(true);
    run(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    quiet_output(false);
  }
  set_current_input({});
}

// Every corpus directory belongs to a target of this program.
TEST(KeptCorpus, EveryDirectoryHasItsTarget) {
  for (const auto& entry : fs::directory_iterator(kFuzzDir / "corpus")) {
    EXPECT_NE(find_target(entry.path().filename().string()), nullptr) << entry.path();
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, KeptInputs, ::testing::ValuesIn(target_names()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

}  // namespace
}  // namespace quillmar::fuzz
