#include "app/run.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/run_lock.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "config/newsfix_files.hpp"
#include "config/reader.hpp"
#include "config/settings.hpp"
#include "config/soupside_keywords.hpp"
#include "export/export_driver.hpp"
#include "fido/message_record.hpp"
#include "import/import_driver.hpp"
#include "import/import_journal.hpp"
#include "lists/list_files.hpp"
#include "lists/pack.hpp"
#include "platform/clock.hpp"

namespace quillmar {

namespace {

// The temporary directory taken from the environment, to name its source.
std::string temp_dir_default;

// Zone names a Date header can carry besides the "+hhmm" form.
constexpr const char* kZoneNames[] = {"UT",  "UTC", "GMT", "EST", "EDT", "CST",
                                      "CDT", "MST", "MDT", "PST", "PDT"};

bool is_date_header_zone(std::string_view tz) {
  if (tz.size() == 5 && (tz[0] == '+' || tz[0] == '-')) {
    for (std::size_t i = 1; i < 5; ++i) {
      if (tz[i] < '0' || tz[i] > '9') return false;
    }
    return true;
  }
  for (const char* name : kZoneNames) {
    if (tz == name) return true;
  }
  return false;
}

void set_time_zone_default() {
  std::string_view tz = platform::get_environment("TZ");
  if (is_date_header_zone(tz)) {
    settings->TimeZone = tz;
    return;
  }
  long offset = platform::utc_offset(platform::now());
  char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%c%02ld%02ld", sign, (offset / 3600) % 100, (offset / 60) % 60);
  settings->TimeZone = buf;
}

void set_temp_dir_default() {
  std::string_view temp = platform::get_environment("TEMP");
  if (temp.empty()) temp = platform::get_environment("TMPDIR");
  if (temp.empty()) temp = "/tmp/";
  bool has_separator = platform::is_separator(temp.back());
  if (temp.size() + (has_separator ? 0 : 1) > PathText::capacity) {
    start_up_print("Error: the temporary directory's name is too long\n");
    return;
  }
  settings->TempDir = temp;
  if (!has_separator) settings->TempDir.push_back(platform::separator_of(temp));
  temp_dir_default = std::string(settings->TempDir.view());
}

// Copies an option's value into a path buffer, or ends the run.
void store_option_path(std::string_view value, PathText& out, bool directory) {
  if (value.empty()) print_usage();
  bool append = directory && (value.empty() || !platform::is_separator(value.back()));
  if (value.size() + (append ? 1 : 0) > PathText::capacity) {
    std::fprintf(stderr, "Error: path too long: %.60s...\n", std::string(value).c_str());
    std::exit(255);
  }
  out = value;
  if (append) out.push_back(platform::separator_of(value));
}

[[noreturn]] void end_start_up(int code);

// A required setting is missing: the message and a line that names the
// keyword. The run ends once every setting has been looked at.
bool setting_missing = false;
void missing_setting(const char* message, const char* keyword, const char* what) {
  start_up_print(message, run_options.config_file_name.c_str());
  start_up_print("%s: %s\n", keyword, what);
  setting_missing = true;
}

void require_settings() {
  const Settings& s = *settings;
  if (s.FidoAddr.zone == 0) {
    missing_setting("Error: no valid gateway Fido-address defined in %s\n", "FidoAddr",
                    "the gateway's address with a zone other than 0 is required");
  }
  if (s.AddrMap.empty()) {
    missing_setting("Error: no address mappings defined in %s\n", "AddrMap",
                    "at least one line is required");
  }
  if (s.mailer_type == MailerType::none) {
    missing_setting("Error: no valid mailer type defined in %s\n", "MailerType",
                    "Binkley or ArcMail is required");
  }
  const char* directories = "Error: required directories not defined in %s\n";
  if (s.InboundDir.empty()) missing_setting(directories, "InboundDir", "not set");
  if (s.mailer_type == MailerType::binkley && s.OutboundDir.empty()) {
    missing_setting(directories, "OutboundDir", "not set (required with MailerType Binkley)");
  }
  if (s.mailer_type == MailerType::arcmail && s.NetmailDir.empty()) {
    missing_setting(directories, "NetmailDir", "not set (required with MailerType ArcMail)");
  }
  if (s.SoupDir.empty()) missing_setting(directories, "SoupDir", "not set");
  if (setting_missing) end_start_up(kExitConfig);
}

// Opens the log, writes the run's header line and what the start-up has
// said so far. A log that cannot be opened is named with the reason, when
// `say_failure`.
bool open_log(bool say_failure) {
  Settings& s = *settings;
  bool opened = !s.LogFile.empty() && log_file().open(s.LogFile, platform::OpenMode::append_log,
                                                      platform::Share::deny_write);
  if (!opened) {
    // The run goes on without its log; the user hears of it once.
    if (say_failure && !s.LogFile.empty()) {
      log_print("LogFile %s: %s\n", platform::shown_path(s.LogFile.view()).c_str(),
                platform::last_error());
    }
    write_held_log_text();  // no more is held
    return false;
  }
  log_file().seek(0, SEEK_END);
  if (log_file().tell() > 0) log_file().write("\n");
  platform::LocalTime lt = platform::local_time(platform::now());
  log_file().printf("--- %s  %s %02d-%-3s-%04d %02d:%02d:%02d\n", program_text().data(),
                    kDayNames[lt.weekday], lt.day, kMonthNames[lt.month - 1], lt.year, lt.hour,
                    lt.minute, lt.second);
  write_held_log_text();
  return true;
}

// A run that ends in its start-up (a required setting missing, a missing
// directory) leaves its reasons in the log as well, under a header line.
[[noreturn]] void end_start_up(int code) {
  if (open_log(false)) log_file().close();
  std::exit(code);
}

}  // namespace

namespace {

void write_usage() {
  std::fputs(
      "Usage: (all commands & options can be abbreviated to their first letter)\n\n"
      "QUILLMAR IMPORT      import mail from Internet -> Fidonet\n"
      "QUILLMAR EXPORT      export mail from Fidonet -> Internet\n"
      "QUILLMAR PACK        pack mailinglist user files\n"
      "QUILLMAR CHECK       reads & checks all configuration files\n"
      "\nCommandline options:\n\n"
      "/PKT=<dir>           export *.PKT for gateway in directory\n"
      "/CONFIG=<filename>   use <filename> as configuration file\n"
      "/TEST                don't delete mail/files after processing\n"
      "/VERBOSE             display from/to information for every mail\n"
      "/GLOBAL              display global statistics rather than per file\n",
      stdout);
  std::fflush(stdout);
}

}  // namespace

void print_usage() {
  write_usage();
  std::exit(kExitFatal);
}

// A directory that does not exist is reported, once; the run ends once
// every directory has been looked at (see end_if_directories_missing).
std::vector<std::string> missing_directories;
void require_directory(std::string_view dir, const char* keyword) {
  std::size_t sep = dir.rfind('\\');
  if (sep == std::string_view::npos) sep = dir.rfind('/');
  std::string_view name = sep == std::string_view::npos ? dir : dir.substr(0, sep);
  // The root directory keeps its one separator.
  std::string_view test = name.empty() && !dir.empty() ? dir.substr(0, 1) : name;
  if (std::find(missing_directories.begin(), missing_directories.end(), test) !=
      missing_directories.end()) {
    return;
  }
  if (!platform::directory_exists(test)) {
    missing_directories.emplace_back(test);
    log_print("FATAL ERROR: subdirectory %.*s does not exist\n", static_cast<int>(name.size()),
              name.data());
    if (keyword != nullptr) {
      std::string problem = platform::directory_problem(test);
      log_print("%s: directory %.*s: %s\n", keyword, static_cast<int>(name.size()), name.data(),
                problem.c_str());
    }
  }
}

void end_if_directories_missing() {
  if (!missing_directories.empty()) end_start_up(kExitFatal);
}

void parse_command_line(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view word(argv[i]);
    if (word == "--help") {
      write_usage();
      std::exit(kExitDone);
    }
    if (word == "--version") std::exit(kExitDone);  // the banner has been shown
    if (equals_nocase(word, "IMPORT") || equals_nocase(word, "I")) {
      run_options.command = Command::import_mail;
    } else if (equals_nocase(word, "EXPORT") || equals_nocase(word, "E")) {
      run_options.command = Command::export_mail;
    } else if (equals_nocase(word, "PACK") || equals_nocase(word, "P")) {
      run_options.command = Command::pack;
    } else if (equals_nocase(word, "CHECK") || equals_nocase(word, "C")) {
      run_options.command = Command::check;
    } else if (!word.empty() && (word[0] == '/' || word[0] == '-')) {
      std::string_view option = word.substr(1);
      if (equals_nocase(option, "TEST") || equals_nocase(option, "T")) {
        run_options.test_mode = true;
      } else if (equals_nocase(option, "VERBOSE") || equals_nocase(option, "V")) {
        run_options.verbose = true;
      } else if (equals_nocase(option, "GLOBAL") || equals_nocase(option, "G")) {
        run_options.global_stats = true;
      } else if (starts_with_nocase(option, "CONFIG=")) {
        store_option_path(option.substr(7), run_options.config_file_name, false);
      } else if (starts_with_nocase(option, "C=")) {
        store_option_path(option.substr(2), run_options.config_file_name, false);
      } else if (starts_with_nocase(option, "PKT=")) {
        store_option_path(option.substr(4), run_options.packet_dir, true);
      } else if (starts_with_nocase(option, "P=")) {
        store_option_path(option.substr(2), run_options.packet_dir, true);
      } else {
        print_usage();
      }
    } else {
      print_usage();
    }
  }
  if (run_options.command == Command::none ||
      (!run_options.packet_dir.empty() && run_options.command != Command::export_mail)) {
    print_usage();
  }
}

int run(int argc, char** argv) {
  std::printf("%s - Fidonet/Internet gateway software\n", program_text().data());
  std::printf("Public gamma version; compiled %s %s\n\n", __DATE__, __TIME__);
  std::fflush(stdout);
  set_progress_display(platform::stderr_is_terminal());

  set_default_config_name();
  parse_command_line(argc, argv);

  allocate_settings();
  allocate_message_work();
  set_time_zone_default();
  set_temp_dir_default();
  settings->OwnOrgArea = "ARCHIVES";
  settings->JunkArea = "JUNKMAIL";
  settings->EmailArea = "NETMAIL";

  register_list_keywords();
  std::string program_path = platform::executable_path(argc > 0 ? argv[0] : nullptr);
  if (!read_config(run_options.config_file_name, program_path)) return kExitConfig;

  require_settings();
  Settings& s = *settings;
  if (s.DecodeDir.empty()) s.DecodeDir = s.InboundDir;
  bool temp_from_environment = !temp_dir_default.empty() && s.TempDir.view() == temp_dir_default;
  require_directory(
      s.TempDir, temp_from_environment ? "TempDir (default from TEMP, TMPDIR or /tmp)" : "TempDir");
  require_directory(s.InboundDir, "InboundDir");
  if (s.mailer_type == MailerType::binkley) require_directory(s.OutboundDir, "OutboundDir");
  if (s.mailer_type == MailerType::arcmail) require_directory(s.NetmailDir, "NetmailDir");
  require_directory(s.SoupDir, "SoupDir");
  require_directory(s.DecodeDir, "DecodeDir");
  if (!run_options.packet_dir.empty()) require_directory(run_options.packet_dir, "/PKT=");
  // CHECK looks at what quillmar-soup needs too: its missing directories
  // end the run as the gateway's do.
  if (run_options.command == Command::check) {
    report_soup_side_problems(require_directory);
    report_readable_secrets();
  }
  end_if_directories_missing();
  if (s.ExportMaxTo == 0 || s.ExportMaxTo > 1024) s.ExportMaxTo = 1024;
  if (s.ExportMaxXPost == 0 || s.ExportMaxXPost > 1024) s.ExportMaxXPost = 1024;

  if (int code = take_run_lock(); code != kExitDone) return code;
  open_log(true);

  // A run looks up many new names in the same few directories.
  platform::cache_directory_listings(true);
  if (run_options.command == Command::import_mail || run_options.command == Command::export_mail) {
    gate_subscribed_groups();
  }
  switch (run_options.command) {
    case Command::import_mail:
      import_soup();
      break;
    case Command::export_mail:
      run_export();
      break;
    case Command::pack: {
      // List changes of an interrupted import are taken back (or committed)
      // before the lists are rewritten: their notes hold file positions.
      JournalState interrupted;
      if (complete_interrupted_import(interrupted)) pack_lists();
      break;
    }
    case Command::check:
    case Command::none:
      log_print("Configuration checked. Nothing more to do.\n");
      break;
  }
  platform::cache_directory_listings(false);
  release_run_lock();
  if (run_failed()) {
    // The reason of the last failed write, which the messages above may not
    // give ("No space left on device").
    const std::string& failure = platform::last_write_failure();
    if (!failure.empty()) log_print("! Last failed write: %s\n", failure.c_str());
    log_print("! Run incomplete (see the messages above): exit code %d\n", kExitKept);
  }
  if (log_file().is_open()) log_file().close();
  return run_failed() ? kExitKept : kExitDone;
}

}  // namespace quillmar
