// A count shown on standard error while collect or deliver works, for a
// person watching a terminal: redrawn after a carriage return at most ten
// times a second, nothing at all when standard error is not a terminal.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/fs.hpp"

namespace quillmar {

class ProgressCount {
 public:
  ProgressCount() : on_(platform::stderr_is_terminal()) {}
  ~ProgressCount() { clear(); }

  // Shows "<what>: <count> <unit>", unless it was shown a moment ago.
  void show(const std::string& what, long count, const char* unit) {
    if (!on_) return;
    auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    int width = std::fprintf(stderr, "\r%.60s: %ld %s", what.c_str(), count, unit);
    if (width < width_) std::fprintf(stderr, "%*s", width_ - width, "");
    if (width > width_) width_ = width;
    std::fflush(stderr);
    shown_ = true;
  }
  // Removes the count from the screen, before a message or at the end.
  void clear() {
    if (!on_ || !shown_) return;
    std::fprintf(stderr, "\r%*s\r", width_, "");
    std::fflush(stderr);
    shown_ = false;
  }

 private:
  bool on_;
  bool shown_ = false;
  int width_ = 0;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace quillmar
