// What a run tells its caller: the exit codes and the mark of a run that had
// to keep work for a later run.
#pragma once

namespace quillmar {

inline constexpr int kExitDone = 0;
inline constexpr int kExitConfig = 1;  // configuration unreadable or a required setting missing
// The run went on but kept work for a later run: an output could not be
// written, an input could not be read, deleted, renamed or marked.
inline constexpr int kExitKept = 2;
// Another run holds the lock; nothing was touched (EX_TEMPFAIL: try later).
inline constexpr int kExitBusy = 75;
inline constexpr int kExitFatal = 255;  // usage text, missing directory, no memory

// Marks the run as one that kept work; its exit code becomes kExitKept.
void note_run_failure();
bool run_failed();

}  // namespace quillmar
