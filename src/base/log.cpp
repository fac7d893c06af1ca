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
    if (the_log_file.is_open()) {
      the_log_file.write(whole);
      the_log_file.flush();
    }
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
  if (the_log_file.is_open()) {
    the_log_file.write(std::string_view(buffer));
    the_log_file.flush();
  }
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
