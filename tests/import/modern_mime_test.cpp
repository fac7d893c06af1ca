// ModernMime through the real binary: today's mail built by Python's email
// package is imported, and what a FidoNet reader sees (after recoding by
// the CHRS kludge) is compared with Python's reading of the originals;
// crashmail tosses every packet. FidoNet messages in several charsets are
// exported, and Python reads the replies back as the original text.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "config/settings.hpp"
#include "export/export_files.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

std::string output_of(const std::string& command) {
  std::string out;
  if (FILE* p = popen((command + " 2>&1").c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, p)) != 0;) out.append(buffer, n);
    pclose(p);
  }
  return out;
}

const std::string kScript = std::string(QUILLMAR_SOURCE_DIR) + "/tests/import/modern_import.py";

std::string modern_config(const ScratchDir& dir) {
  return minimal_config(dir) +
         "ModernMime Yes\n"
         "FidoCharset UTF-8\n"
         "FidoCharset CP866 COMP.CYR\n"
         "FidoCharset LATIN-1 comp.latin\n"
         "FidoCharset IBMPC COMP.PC\n"
         "FallbackCharset windows-1252\n"
         "DecodeDir " +
         dir.mkdir("files") + "\n";
}

// Crashmail tosses the packets of `dir`/in; the number of messages it
// stored outside the bad area, or -1 when it reported a problem.
int crashmail_toss(const ScratchDir& dir) {
  for (const char* d : {"cm", "cm/out", "cm/tmp", "cm/pkt", "cm/msg"}) dir.mkdir(d);
  std::string cm = dir / "cm";
  dir.write("cm/crashmail.prefs",
            "SYSOP \"Test\"\nLOGFILE \"" + cm + "/log\"\nLOGLEVEL 6\nDEFAULTZONE 2\nINBOUND \"" +
                dir.path() + "/in\"\nOUTBOUND \"" + cm + "/out\"\nTEMPDIR \"" + cm +
                "/tmp\"\nCREATEPKTDIR \"" + cm + "/tmp\"\nPACKETDIR \"" + cm +
                "/pkt\"\nSTATSFILE \"" + cm +
                "/stats\"\nAKA 2:345/6.1\nDOMAIN \"FidoNet\"\nNODE 2:345/6.0 \"\" \"\" AUTOADD\n"
                "NETMAIL \"NETMAIL\" 2:345/6.1 MSG \"" +
                cm + "/msg/NETMAIL\"\nAREA \"BAD\" 2:345/6.1 MSG \"" + cm +
                "/msg/BAD\"\nAREA \"DEFAULT\" 2:345/6.1 MSG \"" + cm + "/msg/%a\"\n");
  std::string command =
      "cd '" + cm + "' && crashmail SETTINGS '" + cm + "/crashmail.prefs' TOSS >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return -1;
  if (read_file(cm + "/log").find("\n!") != std::string::npos) return -1;
  int stored = 0;
  for (const auto& area : fs::directory_iterator(cm + "/msg")) {
    if (area.path().filename() == "BAD") continue;
    for (const auto& e : fs::directory_iterator(area.path())) {
      if (e.path().extension() == ".msg") ++stored;
    }
  }
  return stored;
}

TEST(ModernMime, ImportShowsWhatPythonReadsAndCrashmailTossesIt) {
  if (!have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  ScratchDir dir;
  dir.write("q.cfg", modern_config(dir));
  ASSERT_EQ(output_of("python3 " + kScript + " make " + dir.path()), "");
  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(output_of("python3 " + kScript + " check " + dir.path()), "ok 11\n");
  if (!have_program("crashmail")) GTEST_SKIP() << "crashmail is not installed";
  EXPECT_EQ(crashmail_toss(dir), 11) << read_file(dir / "cm/log");
}

}  // namespace
}  // namespace quillmar::testing
