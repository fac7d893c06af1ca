// The guard around the file system calls of the gateway code: the fuzz
// targets are linked with --wrap for each call that can create, change or
// remove a file, so that these calls come here first. While the guard is
// armed, a call that would create a file outside the box (the target's
// temporary directory) is a fault of the code under test; a call that would
// change or remove an existing file outside the box is refused (a flow file
// may name any file for sending and deleting, but a fuzzed one must never
// reach the machine's own files).
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "harness.hpp"

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_rename(const char* from, const char* to);
int __real_renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags);
int __real_link(const char* from, const char* to);
int __real_unlink(const char* path);
int __real_chmod(const char* path, mode_t mode);
}

namespace quillmar::fuzz {

namespace {

bool armed = false;
std::string box_prefix;  // the box's path with a final "/"
// The working directory outside the guarded calls (libFuzzer's relative
// paths lead from it); inside them it is the box, where relative names in
// the input lead.
char saved_cwd[4096];
bool moved = false;

// The absolute path of `path` without "." and ".." components, taken
// lexically (the box holds no symbolic links).
std::string absolute(const char* path) {
  std::string full;
  if (path[0] != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return "/";
    full = cwd;
    full += '/';
  }
  full += path;
  std::vector<std::string_view> parts;
  std::string_view rest(full);
  while (!rest.empty()) {
    std::size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (std::string_view part : parts) {
    out += '/';
    out += part;
  }
  return out.empty() ? "/" : out;
}

bool inside(const char* path) {
  if (!armed || path == nullptr) return true;
  std::string full = absolute(path);
  return full.compare(0, box_prefix.size(), box_prefix) == 0;
}

bool exists(const char* path) {
  struct stat st;
  return ::lstat(path, &st) == 0;
}

// A new file outside the box: the fault the targets look for.
[[noreturn]] void created_outside(const char* call, const char* path) {
  fail("%s created \"%s\" outside the target's directory %s", call, path, box_prefix.c_str());
}

int refuse() {
  errno = EACCES;
  return -1;
}

}  // namespace

void arm_sandbox(const std::string& box) {
  box_prefix = box;
  if (box_prefix.empty() || box_prefix.back() != '/') box_prefix += '/';
  if (!armed && ::getcwd(saved_cwd, sizeof saved_cwd) != nullptr && ::chdir(box.c_str()) == 0) {
    moved = true;
  }
  armed = true;
}

void disarm_sandbox() {
  armed = false;
  if (moved && ::chdir(saved_cwd) != 0) std::abort();
  moved = false;
}

}  // namespace quillmar::fuzz

using quillmar::fuzz::created_outside;
using quillmar::fuzz::exists;
using quillmar::fuzz::inside;
using quillmar::fuzz::refuse;

extern "C" {

int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  bool changes = (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
  if (changes && !inside(path)) {
    if (!exists(path) && (flags & O_CREAT) != 0) created_outside("open", path);
    return refuse();
  }
  return __real_open(path, flags, mode);
}

int __wrap_rename(const char* from, const char* to) {
  if (!inside(to)) created_outside("rename", to);
  if (!inside(from)) return refuse();
  return __real_rename(from, to);
}

int __wrap_renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  if (!inside(to)) created_outside("renameat2", to);
  if (!inside(from)) return refuse();
  return __real_renameat2(from_dir, from, to_dir, to, flags);
}

int __wrap_link(const char* from, const char* to) {
  if (!inside(to)) created_outside("link", to);
  return __real_link(from, to);
}

int __wrap_unlink(const char* path) {
  if (!inside(path)) return refuse();
  return __real_unlink(path);
}

int __wrap_chmod(const char* path, mode_t mode) {
  if (!inside(path)) return refuse();
  return __real_chmod(path, mode);
}

// The targets check what the files hold, not that it reached the disk:
// without the waits for the disk they run many times faster.
int __wrap_fsync(int) {
  return 0;
}

}  // extern "C"
