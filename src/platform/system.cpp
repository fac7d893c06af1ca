#include "platform/system.hpp"

#include <sys/utsname.h>

namespace quillmar::platform {

std::string system_name() {
  struct utsname u {};
  if (::uname(&u) != 0) return "Linux";
  return std::string(u.sysname) + " " + u.machine;
}

}  // namespace quillmar::platform
