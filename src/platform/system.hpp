// The system the program runs on, as `uname` names it.
#pragma once

#include <string>

namespace quillmar::platform {

// The system's name and machine ("Linux x86_64").
std::string system_name();

}  // namespace quillmar::platform
