#include "app/run_lock.hpp"

#include <cstdio>

#include "app/run.hpp"
#include "base/run_status.hpp"
#include "config/settings.hpp"
#include "platform/fs.hpp"

namespace quillmar {

namespace {

platform::LockFile run_lock;
PathText lock_path;

}  // namespace

int take_run_lock() {
  if (run_options.command == Command::check || run_options.command == Command::none) {
    return kExitDone;
  }
  if (!lock_path.assign(settings->SoupDir.view()) || !lock_path.append(kRunLockName)) {
    std::fprintf(stderr, "Error: the name of the lock file in %s is too long\n",
                 settings->SoupDir.c_str());
    return kExitKept;
  }
  switch (run_lock.take(lock_path, settings->LockWait)) {
    case platform::LockFile::Result::taken:
      return kExitDone;
    case platform::LockFile::Result::busy:
      std::fprintf(stderr, "Another run of Quillmar holds %s; nothing done (waited %lu seconds)\n",
                   lock_path.c_str(), static_cast<unsigned long>(settings->LockWait));
      return kExitBusy;
    case platform::LockFile::Result::failed:
      break;
  }
  std::fprintf(stderr, "Error: cannot lock %s: %s; nothing done\n", lock_path.c_str(),
               platform::last_error());
  return kExitKept;
}

void release_run_lock() {
  if (!run_lock.held()) return;
  if (!run_lock.release()) {
    log_print("! cannot remove %s: %s\n", lock_path.c_str(), platform::last_error());
  }
}

}  // namespace quillmar
