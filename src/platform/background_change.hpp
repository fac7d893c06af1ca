// Changes of the file system made by a helper thread while the run goes on.
#pragma once

#include <string>
#include <string_view>
#include <thread>

namespace quillmar::platform {

// A change of the file system made by a helper thread while the caller
// goes on: removing a large file (which frees its blocks and cached pages)
// or putting a directory's entries on disk takes the OS a while that the
// caller can use for other work. finish() waits for the change and tells
// how it went; a failure is noted as those of the file system layer are
// (last_error, last_write_failure). One change at a time; destroying one
// that is not finished waits for it.
class BackgroundChange {
 public:
  BackgroundChange() = default;
  BackgroundChange(const BackgroundChange&) = delete;
  BackgroundChange& operator=(const BackgroundChange&) = delete;
  ~BackgroundChange();
  // Starts removing the file `name` (see remove_file). A change started
  // before is waited for first, its outcome dropped.
  void start_remove(std::string_view name);
  // Starts putting on disk the entries of the directory holding `name`
  // (see sync_directory_of); the same of a change started before.
  void start_directory_sync(std::string_view name);
  // Whether a change was started and is not yet finished.
  bool started() const { return kind_ != Kind::none; }
  // Waits for the change started; false when it failed (or none was
  // started).
  bool finish();

 private:
  enum class Kind { none, remove, directory_sync };
  void start(Kind kind, std::string path);
  void wait();  // joins the helper thread; the change counts as finished
  Kind kind_ = Kind::none;
  std::string path_;  // the OS path of the file removed or the directory synced
  std::string name_;  // the name as given, for a report
  std::thread thread_;
  int error_ = 0;  // the errno of the change; 0 when it succeeded
};

}  // namespace quillmar::platform
