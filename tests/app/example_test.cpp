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

TEST(ExampleInstallation, ExportsItsOutbound) {
  ScratchDir dir;
  std::filesystem::copy(std::string(QUILLMAR_SOURCE_DIR) + "/examples", dir.path(),
                        std::filesystem::copy_options::recursive);
  RunResult r = run_quillmar(dir.path(), {"EXPORT", "/CONFIG=./QUILLMAR.CFG"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("-> 2 messages exported\nmail: 1         news: 1         lists: 0    \n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(dir / "soup/REPLIES"), "mail0000\tmail\tbn\nnews0000\tnews\tBn\n");
  std::vector<std::string> mail = framed_messages(read_file(dir / "soup/mail0000.MSG"));
  ASSERT_EQ(mail.size(), 1u);
  EXPECT_NE(mail[0].find("Message-ID: <1@p1.f6.n345.z2.fidonet.org>\n"), std::string::npos);
  EXPECT_FALSE(exists(dir / "outbound/01590006.OUT"));
}

}  // namespace
}  // namespace quillmar::testing
