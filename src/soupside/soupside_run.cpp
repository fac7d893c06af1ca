#include "soupside/soupside_run.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "base/version.hpp"
#include "config/reader.hpp"
#include "config/settings.hpp"
#include "platform/clock.hpp"
#include "platform/fs.hpp"
#include "platform/process.hpp"
#include "platform/run_lock.hpp"
#include "platform/system.hpp"
#include "soupside/collect.hpp"
#include "soupside/deliver.hpp"
#include "soupside/durable.hpp"
#include "soupside/soupside_files.hpp"

namespace quillmar {

namespace {

enum class SoupCommand { none, collect, deliver };

[[noreturn]] void print_soup_usage(int exit_code = kExitFatal) {
  std::fputs(
      "Usage: quillmar-soup <command> [options]\n\n"
      "collect              Maildir and news server -> SOUP packet in SoupDir\n"
      "deliver              SOUP replies in SoupDir -> sendmail command and news server\n"
      "\nOptions:\n\n"
      "/CONFIG=<filename>   use <filename> as configuration file\n"
      "/VERBOSE             show every message and the talk with the news server\n"
      "/TEST                show what would be collected or delivered, change nothing\n"
      "--help               this text\n"
      "--version            the program's name and version\n",
      stdout);
  std::fflush(stdout);
  std::exit(exit_code);
}

// Whether /CONFIG= named the configuration file.
bool config_named = false;

SoupCommand parse_soup_command_line(int argc, char** argv) {
  SoupCommand command = SoupCommand::none;
  for (int i = 1; i < argc; ++i) {
    std::string_view word(argv[i]);
    if (equals_nocase(word, "collect")) {
      command = SoupCommand::collect;
    } else if (equals_nocase(word, "deliver")) {
      command = SoupCommand::deliver;
    } else if (word == "--help") {
      print_soup_usage(kExitDone);
    } else if (word == "--version") {
      std::printf("quillmar-soup (Quillmar) %d.%02d, %s\n", kVersionMajor, kVersionMinor,
                  platform::system_name().c_str());
      std::exit(kExitDone);
    } else if (!word.empty() && (word[0] == '/' || word[0] == '-')) {
      std::string_view option = word.substr(word.size() > 1 && word[1] == '-' ? 2 : 1);
      if (equals_nocase(option, "VERBOSE") || equals_nocase(option, "V")) {
        run_options.verbose = true;
      } else if (equals_nocase(option, "TEST") || equals_nocase(option, "T")) {
        run_options.test_mode = true;
      } else if (starts_with_nocase(option, "CONFIG=") || starts_with_nocase(option, "C=")) {
        std::string_view value = option.substr(option.find('=') + 1);
        if (value.empty() || !run_options.config_file_name.assign(value)) print_soup_usage();
        config_named = true;
      } else {
        print_soup_usage();
      }
    } else {
      print_soup_usage();
    }
  }
  if (command == SoupCommand::none) print_soup_usage();
  return command;
}

// The gateway's keywords for its mailing lists are not this program's
// business; they are read and left alone.
void ignore_keyword(const ConfigLine&) {}

bool require_dir(const PathText& dir, const char* keyword) {
  if (dir.empty()) return true;
  std::string probe = path_in(dir.view(), ".");
  if (!platform::directory_exists(probe)) {
    log_print("FATAL ERROR: the directory %s of %s does not exist\n", shown(dir.view()).c_str(),
              keyword);
    return false;
  }
  return true;
}

// Opens the log, writes the run's header line and what the start-up has
// said so far. A log that cannot be opened is named with the reason, when
// `say_failure`.
bool open_soup_log(bool say_failure) {
  const Settings& s = *settings;
  bool opened = !s.LogFile.empty() && log_file().open(s.LogFile, platform::OpenMode::append_log,
                                                      platform::Share::deny_none);
  if (!opened) {
    // The run goes on without its log; the user hears of it once.
    if (say_failure && !s.LogFile.empty()) {
      log_print("LogFile %s: %s\n", shown(s.LogFile.view()).c_str(), platform::last_error_text());
    }
    write_held_log_text();  // no more is held
    return false;
  }
  log_file().seek(0, SEEK_END);
  if (log_file().tell() > 0) log_file().write("\n");
  platform::LocalTime lt = platform::local_time(platform::now());
  log_file().printf("--- quillmar-soup %04d-%02d-%02d %02d:%02d:%02d\n", lt.year, lt.month, lt.day,
                    lt.hour, lt.minute, lt.second);
  write_held_log_text();
  return true;
}

// A run that ends in its start-up leaves its reasons in the log as well.
int end_start_up(int code) {
  if (open_soup_log(false)) log_file().close();
  return code;
}

}  // namespace

int run_soup_side(int argc, char** argv) {
  set_default_config_name();
  SoupCommand command = parse_soup_command_line(argc, argv);
  set_whole_log_lines(true);
  allocate_settings();
  register_keyword("ListConfig", ignore_keyword);
  std::string program_path = platform::executable_path(argc > 0 ? argv[0] : nullptr);
  // A file named with /CONFIG= is read where the user stands, as other
  // programs read theirs ("q.cfg" is "./q.cfg"); the default name is looked
  // for beside the program, as the gateway looks for it.
  std::string config_name(run_options.config_file_name.view());
  if (config_named && config_name.find_first_of("\\/") == std::string::npos) {
    config_name = "./" + config_name;
  }
  if (!read_config(config_name, program_path)) return kExitConfig;
  const Settings& s = *settings;
  if (s.SoupDir.empty()) {
    start_up_print("Error: SoupDir is not defined in %s\n", run_options.config_file_name.c_str());
    return end_start_up(kExitConfig);
  }
  const SoupSideSettings& side = s.soup_side;
  // Each command needs only its own directories. A missing Maildir is said
  // by collect, which takes the news all the same.
  bool collect = command == SoupCommand::collect;
  if (!require_dir(s.SoupDir, "SoupDir") ||
      (collect && !require_dir(side.SoupMaildirDone, "SoupMaildirDone")) ||
      (!collect && !require_dir(side.SoupRefusedDir, "SoupRefusedDir"))) {
    return end_start_up(kExitFatal);
  }
  open_soup_log(true);
  // One run at a time in a SOUP directory, of this program and of the
  // gateway's IMPORT and EXPORT alike. A run killed while the MTA took a
  // mail leaves a helper that holds the lock until it has noted the outcome.
  // /TEST only reads: it takes no lock (which would make the lock file).
  platform::DirectoryLock lock;
  std::string lock_path = path_in(s.SoupDir.view(), kSoupDirLock);
  platform::DirectoryLock::Result locked = run_options.test_mode
                                               ? platform::DirectoryLock::Result::taken
                                               : lock.take(lock_path, s.LockWait);
  if (locked != platform::DirectoryLock::Result::taken) {
    if (locked == platform::DirectoryLock::Result::busy) {
      log_print("Another run holds %s; nothing done (waited %u seconds)\n", lock_path.c_str(),
                static_cast<unsigned>(s.LockWait));
    } else {
      log_print("Error: cannot lock %s; nothing done\n", lock_path.c_str());
    }
    if (log_file().is_open()) log_file().close();
    return locked == platform::DirectoryLock::Result::busy ? kExitBusy : kExitKept;
  }
  if (command == SoupCommand::collect) {
    collect_packet();
  } else {
    deliver_replies();
  }
  if (!lock.release()) {
    log_print("! cannot remove %s: %s\n", lock_path.c_str(), platform::last_error());
  }
  if (log_file().is_open()) log_file().close();
  return run_failed() ? kExitKept : kExitDone;
}

}  // namespace quillmar
