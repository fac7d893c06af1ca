// The lock that keeps the programs of the gateway from working in one SOUP
// directory at the same time: an exclusive advisory lock on a lock file.
#pragma once

#include <string>
#include <string_view>

namespace quillmar::platform {

class DirectoryLock {
 public:
  enum class Result { taken, busy, failed };
  DirectoryLock() = default;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  ~DirectoryLock();

  // Takes the lock of the file `name` (created when missing), waiting up to
  // `wait_seconds` for another holder. A holder that removes the file as it
  // lets go is noticed: the lock is then taken on the file of that name.
  // Processes started by fork() hold the lock with this one.
  Result take(std::string_view name, unsigned wait_seconds);
  // Removes the lock file while still holding the lock (so that a run
  // waiting for it takes the lock on a new file), then lets go. False when
  // the file could not be removed (last_error() says why); the lock is
  // released all the same.
  bool release();

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace quillmar::platform
