// `cmake --install` of the build tree into a staging directory (as
// `make install DESTDIR=...` does): every installed file is there, the
// manual page is clean for groff and mandoc, and the installed program
// runs the installed example installation.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

// Runs a shell command; its exit code and everything it printed.
int shell(const std::string& command, std::string& output, const ScratchDir& dir) {
  int status = std::system((command + " >" + (dir / "output.txt") + " 2>&1").c_str());
  output = read_file(dir / "output.txt");
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Install, InstalledProgramRunsTheInstalledExample) {
  if (!have_program("cmake")) GTEST_SKIP() << "cmake is not installed";
  ScratchDir stage;
  std::string output;
  ASSERT_EQ(shell("DESTDIR='" + stage.path() +
                      "' cmake --install '" QUILLMAR_BUILD_DIR "' --prefix /usr/local",
                  output, stage),
            0)
      << output;
  std::string root = stage / "usr/local";
  for (const char* file :
       {"bin/quillmar", "bin/quillmar-cycle", "share/man/man8/quillmar.8",
        "share/doc/quillmar/README.md", "share/doc/quillmar/examples/QUILLMAR.CFG",
        "share/doc/quillmar/examples/lists/DEV.CFG", "share/doc/quillmar/contrib/quillmar.crontab",
        "share/doc/quillmar/contrib/quillmar.service", "share/doc/quillmar/contrib/quillmar.timer",
        "share/doc/quillmar/contrib/quillmar.logrotate"}) {
    EXPECT_TRUE(exists(root + "/" + file)) << file;
  }
  for (const char* program : {"bin/quillmar", "bin/quillmar-cycle"}) {
    struct stat st;
    ASSERT_EQ(::stat((root + "/" + program).c_str(), &st), 0) << program;
    EXPECT_NE(st.st_mode & S_IXUSR, 0u) << program;
  }

  // The manual page: no warning from groff or mandoc.
  std::string page = root + "/share/man/man8/quillmar.8";
  if (have_program("groff")) {
    EXPECT_EQ(shell("groff -ww -z -man '" + page + "'", output, stage), 0) << output;
    EXPECT_EQ(output, "");
  }
  if (have_program("mandoc")) {
    EXPECT_EQ(shell("mandoc -T lint '" + page + "'", output, stage), 0) << output;
    EXPECT_EQ(output, "");
  }

  // The installed program on a copy of the installed example installation.
  ScratchDir work;
  fs::copy(root + "/share/doc/quillmar/examples", work.path(), fs::copy_options::recursive);
  std::string program = "cd '" + work.path() + "' && ASAN_OPTIONS=verify_asan_link_order=0 '" +
                        root + "/bin/quillmar' ";
  for (const char* command : {"CHECK", "IMPORT", "EXPORT", "PACK"}) {
    EXPECT_EQ(shell(program + command + " /CONFIG=./QUILLMAR.CFG", output, work), 0)
        << command << "\n"
        << output;
  }
  EXPECT_EQ(read_file(work / "soup/REPLIES"), "mail0000\tmail\tbn\nnews0000\tnews\tBn\n");
  EXPECT_TRUE(exists(work / "inbound/hello.txt"));
  EXPECT_EQ(shell(program + "--version", output, work), 0);
  EXPECT_EQ(output.rfind("Quillmar/W32 v1.04", 0), 0u) << output;

  // The installed exchange script: silent when both runs end with 0, the
  // report and the exit code of a run that kept work otherwise (here an
  // EXPORT whose REPLIES cannot be written).
  ScratchDir cycle_dir;
  fs::copy(root + "/share/doc/quillmar/examples", cycle_dir.path(), fs::copy_options::recursive);
  std::string cycle = "ASAN_OPTIONS=verify_asan_link_order=0 QUILLMAR='" + root +
                      "/bin/quillmar' QUILLMAR_DIR='" + cycle_dir.path() +
                      "' QUILLMAR_CONFIG=./QUILLMAR.CFG TOSS_COMMAND= '" + root +
                      "/bin/quillmar-cycle'";
  EXPECT_EQ(shell(cycle, output, stage), 0) << output;
  EXPECT_EQ(output, "");
  EXPECT_EQ(read_file(cycle_dir / "soup/REPLIES"), "mail0000\tmail\tbn\nnews0000\tnews\tBn\n");
  fs::remove(cycle_dir / "soup/REPLIES");
  fs::create_directory(cycle_dir / "soup/REPLIES");
  fs::copy_file(QUILLMAR_SOURCE_DIR "/examples/outbound/01590006.OUT",
                cycle_dir / "outbound/01590006.OUT");
  EXPECT_EQ(shell(cycle, output, stage), 2) << output;
  EXPECT_NE(output.find("! Run incomplete (see the messages above): exit code 2\n"),
            std::string::npos)
      << output;
}

}  // namespace
}  // namespace quillmar::testing
