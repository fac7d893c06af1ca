#include "base/log.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace quillmar {

namespace {

platform::File the_log_file;
bool progress_on = false;
bool whole_lines = false;

// The text written before the log was open, for the log. A configuration
// with thousands of bad lines does not fill the memory: past the limit the
// rest is only on the console.
constexpr std::size_t kHeldLimit = 64 * 1024;
std::string held_text;
bool held_cut = false;
bool holding = true;  // until the run has tried to open its log

// Writes `text` to the log, or holds it while the log is not open.
void to_log(std::string_view text) {
  if (the_log_file.is_open()) {
    the_log_file.write(text);
    the_log_file.flush();
    return;
  }
  if (!holding) return;
  if (held_text.size() + text.size() > kHeldLimit) {
    held_cut = true;
    return;
  }
  held_text.append(text);
}

}  // namespace

platform::File& log_file() {
  return the_log_file;
}

void log_print(const char* format, ...) {
  char buffer[200];
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  int n = std::vsnprintf(buffer, sizeof buffer, format, ap);
  va_end(ap);
  if (whole_lines && n >= static_cast<int>(sizeof buffer)) {
    std::string whole(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(whole.data(), whole.size(), format, again);
    va_end(again);
    whole.pop_back();
    std::fputs(whole.c_str(), stderr);
    to_log(whole);
    return;
  }
  va_end(again);
  // A message cut to 199 characters keeps its line end, so that the next
  // one starts on a line of its own.
  std::size_t length = std::strlen(format);
  if (n >= static_cast<int>(sizeof buffer) && length > 0 && format[length - 1] == '\n') {
    buffer[sizeof buffer - 2] = '\n';
  }
  std::fprintf(stderr, "%s", buffer);
  to_log(std::string_view(buffer));
}

void start_up_print(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  std::vfprintf(stderr, format, ap);
  va_end(ap);
  char buffer[512];
  int n = std::vsnprintf(buffer, sizeof buffer, format, again);
  va_end(again);
  if (n < 0) return;
  if (n < static_cast<int>(sizeof buffer)) {
    to_log(std::string_view(buffer, static_cast<std::size_t>(n)));
    return;
  }
  std::string whole(static_cast<std::size_t>(n) + 1, '\0');
  va_start(again, format);
  std::vsnprintf(whole.data(), whole.size(), format, again);
  va_end(again);
  whole.pop_back();
  to_log(whole);
}

void write_held_log_text() {
  if (the_log_file.is_open()) {
    the_log_file.write(held_text);
    if (held_cut) the_log_file.write("(more of the start-up's messages on standard error only)\n");
    the_log_file.flush();
  }
  held_text.clear();
  held_text.shrink_to_fit();
  held_cut = false;
  holding = false;
}

void set_whole_log_lines(bool on) {
  whole_lines = on;
}

bool progress_display() {
  return progress_on;
}

void set_progress_display(bool on) {
  progress_on = on;
}

void progress_return() {
  if (progress_on) std::fputs("\r", stderr);
}

void* alloc_or_exit(std::size_t size) {
  void* p = std::calloc(1, size == 0 ? 1 : size);
  if (p == nullptr) {
    std::fputs("Error: not enough memory\n", stderr);
    std::exit(255);
  }
  return p;
}

}  // namespace quillmar
