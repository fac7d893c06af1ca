// One run at a time: IMPORT, EXPORT and PACK hold a lock file in the SOUP
// directory for the whole run, so that two runs started together (cron
// overlapping itself) never take the same input twice.
#pragma once

namespace quillmar {

// The lock file's name in the SOUP directory.
inline constexpr const char* kRunLockName = "QUILLMAR.LCK";

// Takes the run lock for the command of the run options (CHECK takes none),
// waiting up to LockWait seconds for another run. kExitDone when the run may
// go on; otherwise the exit code, after a message naming the lock file.
int take_run_lock();

// Removes the lock file and releases the lock (a run that ended normally).
void release_run_lock();

}  // namespace quillmar
