// Who may read a file.
#pragma once

#include <string_view>

namespace quillmar::platform {

// True when every user of the system may read the file (its mode gives
// "others" the right to read); false when it cannot be looked at.
bool readable_by_others(std::string_view path);

}  // namespace quillmar::platform
