#include "platform/run_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs.hpp"
#include "platform/fs_internal.hpp"

namespace quillmar::platform {

DirectoryLock::~DirectoryLock() {
  release();
}

DirectoryLock::Result DirectoryLock::take(std::string_view name, unsigned wait_seconds) {
  if (fd_ >= 0) return Result::taken;
  std::string path = file_exists(name) ? resolve_existing(name) : resolve_for_create(name);
  unsigned tries = wait_seconds * 10;
  for (;;) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return Result::failed;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int error = errno;
      ::close(fd);
      if (error != EWOULDBLOCK) return Result::failed;
      if (tries == 0) return Result::busy;
      --tries;
      ::usleep(100000);
      continue;
    }
    struct stat held, named;
    if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0 ||
        held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
      ::close(fd);
      continue;
    }
    fd_ = fd;
    path_ = path;
    return Result::taken;
  }
}

bool DirectoryLock::release() {
  if (fd_ < 0) return true;
  bool ok = ::unlink(path_.c_str()) == 0 || fs_detail::fail_with_errno();
  ::close(fd_);
  fd_ = -1;
  return ok;
}

}  // namespace quillmar::platform
