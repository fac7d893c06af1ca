// The program's name and version, as every output that names it writes them.
#pragma once

#include <string_view>

namespace quillmar {

inline constexpr const char* kPlatformTag = "W32";
inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 4;

// "Quillmar/W32 v1.04": the program as the banner, the log, the PID kludge,
// the tear line and the X-MailConverter and X-MailServer headers name it.
std::string_view program_text();

}  // namespace quillmar
