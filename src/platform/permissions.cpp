#include "platform/permissions.hpp"

#include <sys/stat.h>

#include <string>

#include "platform/fs.hpp"

namespace quillmar::platform {

bool readable_by_others(std::string_view path) {
  struct stat st {};
  if (::stat(resolve_existing(path).c_str(), &st) != 0) return false;
  return (st.st_mode & S_IROTH) != 0;
}

}  // namespace quillmar::platform
