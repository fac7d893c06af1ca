#include "platform/background_change.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <utility>

#include "platform/fs.hpp"
#include "platform/fs_internal.hpp"

namespace quillmar::platform {

using namespace fs_detail;

namespace {

// The change itself, with nothing but calls into the OS: the helper thread
// touches no state of this layer and allocates no memory (a thread that
// did would get a heap of its own). `path` is the file to remove or the
// directory to sync. The errno of a failure, 0 on success.
int make_change(bool remove, const std::string& path) {
  if (remove) return ::unlink(path.c_str()) == 0 ? 0 : errno;
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = ::fsync(fd) == 0 ? 0 : errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  return error;
}

// The directory holding the OS path `path` ("." for none).
std::string directory_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

}  // namespace

BackgroundChange::~BackgroundChange() {
  finish();
}

void BackgroundChange::start_remove(std::string_view name) {
  wait();
  std::string path = resolve_existing(name);
  note_removed(path);
  name_.assign(name);
  start(Kind::remove, std::move(path));
}

void BackgroundChange::start_directory_sync(std::string_view name) {
  wait();
  name_.assign(name);
  start(Kind::directory_sync, directory_of(resolve_for_create(name)));
}

void BackgroundChange::start(Kind kind, std::string path) {
  kind_ = kind;
  path_ = std::move(path);
  error_ = 0;
  const bool remove = kind == Kind::remove;
  try {
    thread_ = std::thread([this, remove] { error_ = make_change(remove, path_); });
  } catch (...) {
    // No thread to be had: the change is made here and now.
    error_ = make_change(remove, path_);
  }
}

void BackgroundChange::wait() {
  if (thread_.joinable()) thread_.join();
  kind_ = Kind::none;
}

bool BackgroundChange::finish() {
  if (kind_ == Kind::none) return false;
  const Kind kind = kind_;
  wait();
  if (error_ == 0) return true;
  errno = error_;
  fail_with_errno();
  // A file that is gone already is no failed change to report.
  if (kind == Kind::remove && error_ == ENOENT) return false;
  return fail_to_change(name_);
}

}  // namespace quillmar::platform
