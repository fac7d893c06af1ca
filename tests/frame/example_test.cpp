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

TEST(ExampleInstallation, ImportsItsSoupPacket) {
  ScratchDir dir;
  std::filesystem::copy(std::string(QUILLMAR_SOURCE_DIR) + "/examples", dir.path(),
                        std::filesystem::copy_options::recursive);
  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/VERBOSE", "/CONFIG=./QUILLMAR.CFG"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("- from ann@example.net (Ann Other) to sysop@example.org (Joe Sysop)\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("* decoded UU-encoded file hello.txt (14 bytes)\n"), std::string::npos);
  EXPECT_EQ(read_file(dir / "inbound/hello.txt"), "Hello, World!\n");
  EXPECT_FALSE(exists(dir / "soup/AREAS"));
}

}  // namespace
}  // namespace quillmar::testing
