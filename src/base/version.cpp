#include "base/version.hpp"

#include <cstdio>
#include <string>

namespace quillmar {

std::string_view program_text() {
  static const std::string text = [] {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "Quillmar/%s v%d.%02d", kPlatformTag, kVersionMajor,
                  kVersionMinor);
    return std::string(buffer);
  }();
  return text;
}

}  // namespace quillmar
