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
        "share/man/man8/quillmar-cycle.8", "share/doc/quillmar/README.md",
        "share/doc/quillmar/examples/QUILLMAR.CFG", "share/doc/quillmar/examples/lists/DEV.CFG",
        "share/doc/quillmar/contrib/quillmar.crontab",
        "share/doc/quillmar/contrib/quillmar.service", "share/doc/quillmar/contrib/quillmar.timer",
        "share/doc/quillmar/contrib/quillmar.logrotate"}) {
    EXPECT_TRUE(exists(root + "/" + file)) << file;
  }
  for (const char* program : {"bin/quillmar", "bin/quillmar-cycle"}) {
    struct stat st;
    ASSERT_EQ(::stat((root + "/" + program).c_str(), &st), 0) << program;
    EXPECT_NE(st.st_mode & S_IXUSR, 0u) << program;
  }

  // The manual pages: no warning from groff or mandoc, and no path left
  // for the install to fill in.
  for (const char* name : {"quillmar.8", "quillmar-cycle.8"}) {
    std::string page = root + "/share/man/man8/" + name;
    EXPECT_EQ(read_file(page).find("@QUILLMAR_"), std::string::npos) << name;
    if (have_program("groff")) {
      EXPECT_EQ(shell("groff -ww -z -man '" + page + "'", output, stage), 0) << output;
      EXPECT_EQ(output, "") << name;
    }
    if (have_program("mandoc")) {
      EXPECT_EQ(shell("mandoc -T lint '" + page + "'", output, stage), 0) << output;
      EXPECT_EQ(output, "") << name;
    }
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
  EXPECT_TRUE(exists(work / "decode/hello.txt"));
  EXPECT_EQ(shell(program + "--version", output, work), 0);
  EXPECT_EQ(output.rfind("Quillmar/W32 v1.04", 0), 0u) << output;

  // The installed exchange script: silent when both runs end with 0, the
  // report and the exit code of a run that kept work otherwise (here an
  // EXPORT whose REPLIES cannot be written).
  ScratchDir cycle_dir;
  fs::copy(root + "/share/doc/quillmar/examples", cycle_dir.path(), fs::copy_options::recursive);
  std::string cycle =
      "ASAN_OPTIONS=verify_asan_link_order=0 QUILLMAR_DEFAULTS=/nonexistent "
      "QUILLMAR='" +
      root + "/bin/quillmar' QUILLMAR_DIR='" + cycle_dir.path() +
      "' QUILLMAR_CONFIG=./QUILLMAR.CFG TOSS_COMMAND= SCAN_COMMAND= '" + root +
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

// The command of the job line of an installed crontab (the fields after
// the five times and the user).
std::string crontab_command(const std::string& crontab) {
  std::size_t pos = 0;
  while (pos < crontab.size()) {
    std::size_t end = crontab.find('\n', pos);
    if (end == std::string::npos) end = crontab.size();
    std::string line = crontab.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty() || line[0] == '#' || line.find('=') < line.find(' ')) continue;
    std::size_t at = 0;
    for (int field = 0; field < 6; ++field) {
      at = line.find_first_not_of(" \t", at);
      at = line.find_first_of(" \t", at);
      if (at == std::string::npos) return "";
    }
    return line.substr(line.find_first_not_of(" \t", at));
  }
  return "";
}

// The shipped crontab line, installed under a prefix that is not on cron's
// PATH, runs the cycle with cron's environment (env -i PATH=/usr/bin:/bin):
// the cycle finds quillmar and quillmar-soup beside itself. A staged
// install (DESTDIR) names the prefix, not the staging directory.
TEST(Install, CrontabLineRunsUnderCronEnvironment) {
  if (!have_program("cmake")) GTEST_SKIP() << "cmake is not installed";
  ScratchDir prefix;
  std::string output;
  ASSERT_EQ(shell("cmake --install '" QUILLMAR_BUILD_DIR "' --prefix '" + prefix.path() + "'",
                  output, prefix),
            0)
      << output;
  std::string command =
      crontab_command(read_file(prefix / "share/doc/quillmar/contrib/quillmar.crontab"));
  ASSERT_EQ(command, prefix / "bin/quillmar-cycle");
  EXPECT_NE(read_file(prefix / "share/doc/quillmar/contrib/quillmar.service")
                .find("\nExecStart=" + prefix / "bin/quillmar-cycle\n"),
            std::string::npos);

  ScratchDir stage;
  ASSERT_EQ(shell("DESTDIR='" + stage.path() +
                      "' cmake --install '" QUILLMAR_BUILD_DIR "' --prefix /opt/quillmar",
                  output, stage),
            0)
      << output;
  EXPECT_EQ(crontab_command(
                read_file(stage / "opt/quillmar/share/doc/quillmar/contrib/quillmar.crontab")),
            "/opt/quillmar/bin/quillmar-cycle");

  // With quillmar-soup, deliver keeps the replies (no MTA and no news
  // server configured) and says so: the program was found and ran.
  struct Case {
    const char* name;
    std::string settings;
    int exit_code;
    std::string report;
  } cases[] = {
      {"SOUP program", "QUILLMAR_SOUP=\n", 0, ""},
      {"quillmar-soup by name", "QUILLMAR_SOUP=quillmar-soup\n", 2,
       "! mail 1 of ./soup/mail0000.MSG kept for the next run: no SoupSendmail command is "
       "configured\n"},
  };
  for (const Case& c : cases) {
    ScratchDir home;
    ScratchDir work;
    fs::copy(prefix / "share/doc/quillmar/examples", work.path(), fs::copy_options::recursive);
    // Every setting in the defaults file (/etc/default/quillmar), none in
    // cron's environment.
    home.write("defaults", "QUILLMAR_CONFIG=" + work.path() + "/QUILLMAR.CFG\nQUILLMAR_DIR=" +
                               work.path() + "\nTOSS_COMMAND=\nSCAN_COMMAND=\n" + c.settings);
    std::string cron = "cd '" + home.path() + "' && env -i PATH=/usr/bin:/bin HOME='" +
                       home.path() +
                       "' SHELL=/bin/sh ASAN_OPTIONS=verify_asan_link_order=0 QUILLMAR_DEFAULTS='" +
                       home.path() + "/defaults' sh -c '" + command + "'";
    EXPECT_EQ(shell(cron, output, home), c.exit_code) << c.name << "\n" << output;
    EXPECT_EQ(output.find("not found"), std::string::npos) << c.name << "\n" << output;
    if (c.report.empty()) {
      EXPECT_EQ(output, "") << c.name;
    } else {
      EXPECT_NE(output.find(c.report), std::string::npos) << c.name << "\n" << output;
    }
    // Both directions ran: the outbound mail is in the reply packet, the
    // SOUP packet in the inbound.
    EXPECT_EQ(read_file(work / "soup/REPLIES"), "mail0000\tmail\tbn\nnews0000\tnews\tBn\n")
        << c.name;
    EXPECT_FALSE(exists(work / "soup/AREAS")) << c.name;
    EXPECT_TRUE(exists(work / "decode/hello.txt")) << c.name;
  }
}

// The Debian package of contrib/debian/build-deb, made here from the test
// build: lintian finds no error; the files are where Debian puts them, the
// configuration skeleton, the defaults and the logrotate snippet are
// conffiles, libxml2 is only recommended, the timer and the service pass
// systemd-analyze, and the skeleton passes CHECK once its directories exist.
TEST(Install, DebianPackageIsCleanForLintian) {
  for (const char* tool : {"cmake", "dpkg-deb", "dpkg-shlibdeps", "fakeroot", "lintian"}) {
    if (!have_program(tool)) GTEST_SKIP() << tool << " is not installed (.ci/run installs it)";
  }
  ScratchDir out;
  std::string output;
  ASSERT_EQ(shell(QUILLMAR_SOURCE_DIR "/contrib/debian/build-deb '" QUILLMAR_BUILD_DIR "' '" +
                      out.path() + "'",
                  output, out),
            0)
      << output;
  std::string package = output.substr(0, output.find('\n'));
  ASSERT_TRUE(exists(package)) << output;

  // Errors only: the warnings of a package that closes no Debian bug and
  // the notes about the sanitizers' binaries do not count.
  EXPECT_EQ(shell("lintian --tag-display-limit 0 '" + package + "'", output, out), 0) << output;
  EXPECT_EQ(output.find("\nE: "), std::string::npos) << output;
  EXPECT_NE(output.rfind("E: ", 0), 0u) << output;

  ASSERT_EQ(shell("dpkg-deb -x '" + package + "' '" + out.path() + "/root'", output, out), 0)
      << output;
  std::string root = out / "root";
  for (const char* file :
       {"usr/bin/quillmar", "usr/bin/quillmar-soup", "usr/bin/quillmar-cycle",
        "usr/share/man/man8/quillmar.8.gz", "usr/share/man/man8/quillmar-soup.8.gz",
        "usr/share/man/man8/quillmar-cycle.8.gz", "usr/share/doc/quillmar/copyright",
        "usr/share/doc/quillmar/changelog.Debian.gz",
        "usr/share/doc/quillmar/contrib/quillmar.crontab",
        "usr/share/doc/quillmar/examples/QUILLMAR.CFG", "lib/systemd/system/quillmar.service",
        "lib/systemd/system/quillmar.timer", "etc/logrotate.d/quillmar",
        "etc/quillmar/QUILLMAR.CFG", "etc/default/quillmar"}) {
    EXPECT_TRUE(exists(root + "/" + file)) << file;
  }
  // The manual pages name the paths of this prefix.
  for (const char* name : {"quillmar.8.gz", "quillmar-soup.8.gz", "quillmar-cycle.8.gz"}) {
    ASSERT_EQ(shell("gzip -dc '" + root + "/usr/share/man/man8/" + name + "'", output, out), 0);
    EXPECT_EQ(output.find("/usr/local"), std::string::npos) << name;
    EXPECT_EQ(output.find("@QUILLMAR_"), std::string::npos) << name;
  }
  EXPECT_NE(output.find("\n*/15 * * * *  quillmar  /usr/bin/quillmar-cycle\n"), std::string::npos);
  ASSERT_EQ(shell("gzip -dc '" + root + "/usr/share/man/man8/quillmar.8.gz'", output, out), 0);
  EXPECT_NE(output.find("\n.I /usr/share/doc/quillmar/examples/QUILLMAR.CFG\n"), std::string::npos);

  ASSERT_EQ(shell("dpkg-deb -c '" + package + "' | grep -c quillmar-cycle$", output, out), 0);
  EXPECT_EQ(output, "1\n");  // installed once
  EXPECT_NE(read_file(root + "/usr/share/doc/quillmar/contrib/quillmar.crontab")
                .find("  quillmar  /usr/bin/quillmar-cycle\n"),
            std::string::npos);
  std::string service = read_file(root + "/lib/systemd/system/quillmar.service");
  EXPECT_NE(service.find("\nExecStart=/usr/bin/quillmar-cycle\n"), std::string::npos) << service;
  EXPECT_NE(service.find("\nUser=quillmar\n"), std::string::npos) << service;

  ASSERT_EQ(shell("dpkg-deb -f '" + package + "' Depends Recommends", output, out), 0);
  EXPECT_EQ(output.find("libxml2", output.find("Depends:")),
            output.find("libxml2", output.find("Recommends:")))
      << output;
  EXPECT_NE(output.find("Recommends: libxml2\n"), std::string::npos) << output;
  EXPECT_NE(output.find("adduser"), std::string::npos) << output;
  ASSERT_EQ(shell("dpkg-deb --ctrl-tarfile '" + package + "' | tar -xO ./conffiles", output, out),
            0);
  EXPECT_EQ(output,
            "/etc/default/quillmar\n/etc/logrotate.d/quillmar\n/etc/quillmar/QUILLMAR.CFG\n");

  // The units as systemd reads them; the service's program is taken from
  // the extracted package, as this machine has none under /usr/bin.
  if (have_program("systemd-analyze")) {
    std::string units = out.mkdir("units");
    std::string from = "ExecStart=/usr/bin/";
    service.replace(service.find(from), from.size(), "ExecStart=" + root + "/usr/bin/");
    out.write("units/quillmar.service", service);
    fs::copy_file(root + "/lib/systemd/system/quillmar.timer", units + "/quillmar.timer");
    EXPECT_EQ(shell("systemd-analyze verify --man=no '" + units + "/quillmar.timer' '" + units +
                        "/quillmar.service'",
                    output, out),
              0)
        << output;
    EXPECT_EQ(output, "");
  }

  // The skeleton, with its directories made under the scratch directory.
  std::string config = read_file(root + "/etc/quillmar/QUILLMAR.CFG");
  for (const char* dir : {"/var/spool/quillmar/", "/var/log/quillmar/"}) {
    for (std::size_t at = config.find(dir); at != std::string::npos; at = config.find(dir, at)) {
      config.replace(at, 1, out.path() + "/");
      at += out.path().size() + 1;
    }
  }
  out.write("skeleton.cfg", config);
  for (const char* dir : {"inbound", "outbound", "soup", "decode", "temp", "Maildir", "Maildir/new",
                          "Maildir/cur", "Maildir/tmp"}) {
    out.mkdir(std::string("var/spool/quillmar/") + dir);
  }
  out.mkdir("var/log/quillmar");
  ASSERT_EQ(shell("cd '" + out.path() + "' && ASAN_OPTIONS=verify_asan_link_order=0 '" + root +
                      "/usr/bin/quillmar' CHECK /CONFIG=" + out.path() + "/skeleton.cfg",
                  output, out),
            0)
      << output;
  EXPECT_EQ(output.find("Warning"), std::string::npos) << output;
  EXPECT_NE(read_file(out / "var/log/quillmar/quillmar.log")
                .find("Configuration checked. Nothing more to do."),
            std::string::npos);

  // The first exchange of a fresh install, with the package's settings as
  // the cycle reads them (from /etc/default/quillmar) and an empty
  // Maildir: quillmar-soup runs; the tosser's commands are empty until the
  // sysop sets them, so the exchange does not fail on a tosser that has no
  // configuration yet.
  std::string defaults = read_file(root + "/etc/default/quillmar");
  EXPECT_NE(defaults.find("\nTOSS_COMMAND=\n"), std::string::npos) << defaults;
  EXPECT_NE(defaults.find("\nSCAN_COMMAND=\n"), std::string::npos) << defaults;
  EXPECT_NE(defaults.find("\nQUILLMAR_SOUP=quillmar-soup\n"), std::string::npos) << defaults;
  EXPECT_NE(
      defaults.find("\n#TOSS_COMMAND=crashmail SETTINGS /etc/crashmail/crashmail.prefs TOSS\n"),
      std::string::npos)
      << defaults;
  EXPECT_EQ(shell("cd '" + out.path() + "' && env -i PATH=/usr/bin:/bin HOME='" + out.path() +
                      "' ASAN_OPTIONS=verify_asan_link_order=0 QUILLMAR_DEFAULTS='" + root +
                      "/etc/default/quillmar' QUILLMAR_CONFIG='" + out.path() +
                      "/skeleton.cfg' QUILLMAR_DIR='" + out.path() + "/var/spool/quillmar' '" +
                      root + "/usr/bin/quillmar-cycle'",
                  output, out),
            0)
      << output;
  EXPECT_EQ(output, "");
  std::string log = read_file(out / "var/log/quillmar/quillmar.log");
  EXPECT_NE(log.find("--- quillmar-soup "), std::string::npos) << log;
  EXPECT_NE(log.find("end: exit code 0"), std::string::npos) << log;

  // The service: the umask of the mailer's group, the settings read by the
  // cycle itself.
  EXPECT_NE(service.find("\nUMask=0002\n"), std::string::npos) << service;
  EXPECT_EQ(service.find("Environment"), std::string::npos) << service;
}

// The maintainer scripts of the package, run with stand-ins for every
// command they call (nothing else is on their PATH), as dpkg calls them:
// the owner and mode of the configuration are set only on the first
// installation, through a statoverride, so that a reinstallation or an
// upgrade keeps what the sysop set (chmod 600); a purge removes the
// override before the group it names goes.
TEST(Install, DebianScriptsSetTheConfigurationsModeOnlyOnTheFirstInstallation) {
  const std::string cfg = "/etc/quillmar/QUILLMAR.CFG";
  struct Case {
    const char* name;
    const char* script;
    std::string args;
    bool override_listed;  // dpkg-statoverride --list finds one
    std::string calls;     // the commands run about the configuration
  } cases[] = {
      {"first installation", "postinst", "configure", false,
       "dpkg-statoverride --list " + cfg +
           "\ndpkg-statoverride --update --add root quillmar 0640 " + cfg + "\n"},
      {"reinstallation", "postinst", "configure 1.04-1", true, ""},
      {"upgrade from a version without the override", "postinst", "configure 1.04-1", false, ""},
      {"first installation, override set by the sysop", "postinst", "configure", true,
       "dpkg-statoverride --list " + cfg + "\n"},
      {"purge", "postrm", "purge", true,
       "dpkg-statoverride --list " + cfg + "\ndpkg-statoverride --remove " + cfg + "\n"},
      {"purge without override", "postrm", "purge", false,
       "dpkg-statoverride --list " + cfg + "\n"},
      {"remove", "postrm", "remove", true, ""},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    std::string log = dir / "calls.log";
    for (const char* command : {"getent", "adduser", "usermod", "mkdir", "chown", "chmod",
                                "systemctl", "rm", "rmdir", "deluser", "delgroup"}) {
      dir.write(std::string("bin/") + command, "#!/bin/sh\necho \"${0##*/} $*\" >>'" + log + "'\n");
    }
    dir.write("bin/dpkg-statoverride", "#!/bin/sh\necho \"${0##*/} $*\" >>'" + log +
                                           "'\n[ \"$1\" != --list ] || exit " +
                                           (c.override_listed ? "0" : "1") + "\n");
    std::string output;
    ASSERT_EQ(
        shell("chmod +x '" + dir.path() + "'/bin/* && env -i PATH='" + dir.path() +
                  "/bin' /bin/sh " QUILLMAR_SOURCE_DIR "/contrib/debian/" + c.script + " " + c.args,
              output, dir),
        0)
        << c.name << "\n"
        << output;
    std::string about_config;
    std::string calls = read_file(log);
    for (std::size_t at = 0; at < calls.size();) {
      std::size_t end = calls.find('\n', at);
      std::string line = calls.substr(at, end - at + 1);
      if (line.find(cfg) != std::string::npos) about_config += line;
      at = end + 1;
    }
    EXPECT_EQ(about_config, c.calls) << c.name << "\n" << calls;
  }
}

}  // namespace
}  // namespace quillmar::testing
