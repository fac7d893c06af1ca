// Console and log output, and memory that the run cannot do without.
#pragma once

#include <cstddef>

#include "platform/fs.hpp"

namespace quillmar {

// Writes to standard error and, once the log is open, to the log file; one
// message holds at most 199 characters (unless whole lines are on).
void log_print(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Off by default: the gateway's messages are cut as always. quillmar-soup
// turns it on, so that a long file name or server reply is never cut.
void set_whole_log_lines(bool on);

// The log file: opened by the run driver at start-up, closed at the end.
platform::File& log_file();

// What the start-up says before the log is open (the warnings about the
// configuration, a missing directory) reaches the log too: log_print and
// start_up_print hold their text until write_held_log_text() puts it into
// the log, after the run's header line. The console gets it at once.
//
// start_up_print writes the whole text to standard error, uncut, as the
// configuration reader's warnings are written; in the log once it is open.
void start_up_print(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes the held text into the log when it is open, and holds no more
// (called once the run has tried to open its log).
void write_held_log_text();

// The progress display (a percentage redrawn after a carriage return) is
// drawn only for a person watching: when standard error is a terminal, as
// decided at the start of the run.
bool progress_display();
void set_progress_display(bool on);
// Returns to the start of the progress line before a message, so that the
// message covers the percentage; nothing without the display.
void progress_return();

// A zero-filled block; ends the run with exit code 255 when memory is gone.
void* alloc_or_exit(std::size_t size);

}  // namespace quillmar
