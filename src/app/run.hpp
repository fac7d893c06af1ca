// The run driver: the command line, start-up and dispatch of the command.
#pragma once

#include <string_view>

#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/version.hpp"

namespace quillmar {

[[noreturn]] void print_usage();

// Ends the run with exit code 255 when the directory (as stored, normally
// ending in a separator) does not exist. With `keyword`, a second line
// names the setting and the reason.
void require_directory(std::string_view dir, const char* keyword = nullptr);

// Reads the command line into `run_options`; prints the usage on an error.
void parse_command_line(int argc, char** argv);

// The whole run: banner, command line, start-up, command; the exit code.
int run(int argc, char** argv);

}  // namespace quillmar
