// The bundled example installation checks without a single warning.
#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.hpp"

namespace quillmar::testing {
namespace {

TEST(ExampleInstallation, ChecksWithoutWarnings) {
  ScratchDir dir;
  std::filesystem::copy(std::string(QUILLMAR_SOURCE_DIR) + "/examples", dir.path(),
                        std::filesystem::copy_options::recursive);
  RunResult r = run_quillmar(dir.path(), {"CHECK", "/CONFIG=./QUILLMAR.CFG"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "Configuration checked. Nothing more to do.\n");
  EXPECT_NE(read_file(dir / "quillmar.log").find("Configuration checked."), std::string::npos);
}

}  // namespace
}  // namespace quillmar::testing
