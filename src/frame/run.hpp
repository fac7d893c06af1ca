// The run driver: run options, console and log output, start-up and dispatch.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/fs.hpp"

namespace quillmar {

inline constexpr const char* kPlatformTag = "W32";
inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 4;

// Day names indexed by the day of the week (Sunday = 0), month names by
// the month (January = 0).
inline constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
inline constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

enum class Command { none, import_mail, export_mail, pack, check };

struct RunOptions {
  Command command = Command::none;
  bool test_mode = false;
  bool verbose = false;
  bool global_stats = false;
  platform::PathText config_file_name{"QUILLMAR.CFG"};
  platform::PathText packet_dir;
};

extern RunOptions run_options;

// Writes to standard error and, once the log is open, to the log file; one
// message holds at most 199 characters.
void log_print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A zero-filled block; ends the run with exit code 255 when memory is gone.
void* alloc_or_exit(std::size_t size);

[[noreturn]] void print_usage();

// Ends the run with exit code 255 when the directory (as stored, normally
// ending in a separator) does not exist. With `keyword`, a second line
// names the setting and the reason.
void require_directory(std::string_view dir, const char* keyword = nullptr);

// The progress display (a percentage redrawn after a carriage return) is
// drawn only for a person watching: when standard error is a terminal, as
// decided at the start of the run.
bool progress_display();
void set_progress_display(bool on);
// Returns to the start of the progress line before a message, so that the
// message covers the percentage; nothing without the display.
void progress_return();

// Reads the command line into `run_options`; prints the usage on an error.
void parse_command_line(int argc, char** argv);

// The whole run: banner, command line, start-up, command; the exit code.
int run(int argc, char** argv);

}  // namespace quillmar
