// The program's name and version, as every output that names it writes them.
#pragma once

namespace quillmar {

inline constexpr const char* kPlatformTag = "W32";
inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 4;

}  // namespace quillmar
