#include "platform/fs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/clock.hpp"
#include "platform/fs_internal.hpp"

namespace quillmar::platform {

namespace fs_detail {

// The reason of the last failure; a program's own text or strerror's.
const char* last_reason = "";

bool fail_with(const char* reason) {
  last_reason = reason;
  return false;
}

bool fail_with_errno() {
  return fail_with(std::strerror(errno));
}

std::string write_failure;
std::size_t write_failure_name = 0;  // the length of its file's name

// Notes the reason just recorded as that of a failed change of `path`.
bool fail_to_change(std::string_view path) {
  write_failure.assign(path);
  write_failure_name = write_failure.size();
  write_failure += ": ";
  write_failure += last_reason;
  return false;
}

bool entry_exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The directory of an OS path as the lookup names it (no "/" at its end
// but for the root, empty for the current directory) and the name in it.
std::pair<std::string, std::string_view> split_directory(std::string_view path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {std::string(), path};
  return {std::string(path.substr(0, slash == 0 ? 1 : slash)), path.substr(slash + 1)};
}

// The stamp of a file (see statx): its birth time too, where the file
// system keeps one.
bool take_identity(int dir_fd, const char* path, int flags, FileIdentity& out) {
  struct statx sx;
  if (::statx(dir_fd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
  out.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  out.inode = sx.stx_ino;
  out.size = static_cast<int64_t>(sx.stx_size);
  out.modified_ns = static_cast<int64_t>(sx.stx_mtime.tv_sec) * 1000000000 + sx.stx_mtime.tv_nsec;
  out.born_ns = (sx.stx_mask & STATX_BTIME) == 0
                    ? 0
                    : static_cast<int64_t>(sx.stx_btime.tv_sec) * 1000000000 + sx.stx_btime.tv_nsec;
  return true;
}

}  // namespace fs_detail

using namespace fs_detail;

bool file_exists(std::string_view name) {
  if (name.empty()) return false;
  // A link counts as the name it occupies, also when it leads nowhere:
  // a name that is free by this test can always be created.
  return entry_exists(resolve_existing(name));
}

bool directory_exists(std::string_view name) {
  if (name.empty()) return false;
  struct stat st;
  return ::stat(resolve_existing(name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool rename_file(std::string_view from, std::string_view to) {
  // A taken name is an answer, not a failed change.
  if (file_exists(to)) {
    errno = EEXIST;
    return fail_with("the new name exists");
  }
  std::string src = resolve_existing(from);
  std::string dst = resolve_for_create(to);
  note_removed(src);
  note_removed(dst);
  if (::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return fail_with_errno() || fail_to_change(from);
  // Without that flag: a hard link fails when the name exists, so nothing
  // is ever replaced.
  if (::link(src.c_str(), dst.c_str()) != 0) return fail_with_errno() || fail_to_change(from);
  return ::unlink(src.c_str()) == 0 || fail_with_errno() || fail_to_change(from);
}

bool replace_file(std::string_view from, std::string_view to) {
  std::string src = resolve_existing(from);
  std::string dst = file_exists(to) ? resolve_existing(to) : resolve_for_create(to);
  note_removed(src);
  note_removed(dst);
  return ::rename(src.c_str(), dst.c_str()) == 0 || fail_with_errno() || fail_to_change(to);
}

bool copy_permissions(std::string_view from, std::string_view to) {
  struct stat st;
  if (::stat(resolve_existing(from).c_str(), &st) != 0) return fail_with_errno();
  return ::chmod(resolve_existing(to).c_str(), st.st_mode & 07777) == 0 || fail_with_errno();
}

FileStamp file_stamp(std::string_view name) {
  FileStamp stamp;
  struct stat st;
  if (name.empty() || ::stat(resolve_existing(name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return stamp;
  }
  stamp.exists = true;
  stamp.size = static_cast<uint64_t>(st.st_size);
  stamp.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return stamp;
}

FlagResult create_flag_file(std::string_view name, std::string_view content) {
  if (name.empty() || name.size() >= kPathMax) {
    fail_with("name too long");
    return FlagResult::failed;
  }
  if (file_exists(name)) return FlagResult::exists;
  std::string path = resolve_for_create(name);
  // The flag is written whole under no name (or a name of this process
  // where the file system has no unnamed files) and linked to its name in
  // one step: a flag never exists without its content, whenever the run
  // is killed.
  File made;
  std::string temp;
  if (!made.open_unnamed(path)) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%ld.tmp", process_id());
    temp = path + suffix;
    // A name of this process's number: one a killed run left is taken over.
    if (!made.open(temp, OpenMode::write)) return FlagResult::failed;
  }
  bool ok = made.write(content) && made.flush();
  if (ok && temp.empty()) {
    ok = made.link_as(path);
  } else if (ok) {
    ok = ::link(temp.c_str(), path.c_str()) == 0 || fail_with_errno();
    if (ok) note_created(path);
  }
  const int error = errno;
  const char* reason = last_reason;
  made.close();
  if (!temp.empty()) {
    note_removed(temp);
    ::unlink(temp.c_str());
  }
  last_reason = reason;
  errno = error;
  if (!ok && !temp.empty()) name_failed_write(temp, path);
  if (ok) return FlagResult::made;
  return error == EEXIST ? FlagResult::exists : FlagResult::failed;
}

std::string absolute_path(std::string_view name) {
  std::string path = os_path(name);
  if (path.empty() || path.front() == '/') return path;
  char cwd[kPathMax];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
  std::string dir = cwd;
  if (dir.back() != '/') dir += '/';
  return dir + path;
}

const char* last_error() {
  return last_reason;
}

long process_id() {
  return static_cast<long>(::getpid());
}

namespace {

// What /proc/PID/stat tells of a process: "PID (NAME) STATE ...", NAME
// being the program's name (at most 15 characters), STATE Z or X for one
// that has ended. False when it cannot be read (no /proc).
bool process_stat(long pid, std::string& name, char& state) {
  char path[48];
  std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char stat[256];
  ssize_t n = ::read(fd, stat, sizeof stat - 1);
  ::close(fd);
  if (n <= 0) return false;
  std::string_view text(stat, static_cast<std::size_t>(n));
  std::size_t open = text.find('(');
  std::size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open ||
      close + 2 >= text.size()) {
    return false;
  }
  name.assign(text.substr(open + 1, close - open - 1));
  state = text[close + 2];
  return true;
}

}  // namespace

bool process_running(long pid, std::string_view program) {
  if (pid <= 0) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  std::string name;
  char state = 0;
  if (!process_stat(pid, name, state)) return true;  // the number is all there is
  if (state == 'Z' || state == 'X') return false;
  if (program.empty()) return true;
  std::string_view wanted = program.substr(0, 15);
  return name.size() == wanted.size() &&
         ::strncasecmp(name.data(), wanted.data(), wanted.size()) == 0;
}

std::string process_name(long pid) {
  std::string name;
  char state = 0;
  return process_stat(pid, name, state) ? name : std::string();
}

bool remove_file(std::string_view name) {
  std::string path = resolve_existing(name);
  note_removed(path);
  if (::unlink(path.c_str()) == 0) return true;
  // A name that is gone already is no failure to report.
  bool gone = errno == ENOENT;
  fail_with_errno();
  return gone ? false : fail_to_change(name);
}

bool rename_exact(std::string_view from, std::string_view to) {
  std::string src = resolve_for_create(from);
  std::string dst = resolve_for_create(to);
  note_removed(src);
  note_removed(dst);
  if (::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return fail_with_errno();
  if (::link(src.c_str(), dst.c_str()) != 0) return fail_with_errno();
  return ::unlink(src.c_str()) == 0 || fail_with_errno();
}

bool exists_exact(std::string_view name) {
  return !name.empty() && entry_exists(resolve_for_create(name));
}

bool replace_exact(std::string_view from, std::string_view to) {
  std::string src = resolve_for_create(from);
  std::string dst = resolve_for_create(to);
  note_removed(src);
  note_removed(dst);
  return ::rename(src.c_str(), dst.c_str()) == 0 || fail_with_errno();
}

bool remove_exact(std::string_view name) {
  std::string path = resolve_for_create(name);
  note_removed(path);
  return ::unlink(path.c_str()) == 0 || fail_with_errno();
}

bool may_remove_entry(std::string_view name) {
  std::string path = resolve_for_create(name);
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string(".")
                    : slash == 0               ? std::string("/")
                                               : path.substr(0, slash);
  if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return false;
  struct stat d;
  if (::stat(dir.c_str(), &d) != 0) return false;
  uid_t me = ::geteuid();
  if ((d.st_mode & S_ISVTX) == 0 || me == 0 || d.st_uid == me) return true;
  struct stat e;
  return ::lstat(path.c_str(), &e) != 0 || e.st_uid == me;
}

bool sync_file(std::string_view name) {
  int fd = ::open(resolve_existing(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return fail_with_errno();
  bool ok = ::fsync(fd) == 0 || fail_with_errno();
  if (::close(fd) != 0 && ok) return fail_with_errno();
  return ok;
}

bool file_identity(std::string_view name, FileIdentity& out) {
  return take_identity(AT_FDCWD, resolve_existing(name).c_str(), 0, out);
}

void pause_milliseconds(unsigned milliseconds) {
  struct timespec t;
  t.tv_sec = milliseconds / 1000;
  t.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

LockFile::~LockFile() {
  if (fd_ >= 0) ::close(fd_);
}

LockFile::Result LockFile::take(std::string_view name, unsigned wait_seconds) {
  if (fd_ >= 0) return Result::taken;
  path_ = resolve_for_create(name);
  unsigned tries = wait_seconds * 10;
  for (;;) {
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      fail_with_errno();
      return Result::failed;
    }
    note_created(path_);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int error = errno;
      ::close(fd);
      if (error != EWOULDBLOCK) {
        errno = error;
        fail_with_errno();
        return Result::failed;
      }
      if (tries == 0) {
        errno = error;
        return Result::busy;
      }
      --tries;
      pause_milliseconds(100);
      continue;
    }
    // The holder before may have removed the file between our open and our
    // lock: then the lock is on a file nobody else will ever lock again.
    struct stat held, named;
    if (::fstat(fd, &held) != 0 || ::stat(path_.c_str(), &named) != 0 ||
        held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
      ::close(fd);
      continue;
    }
    char pid[24];
    int n = std::snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(::getpid()));
    // The number is only a note for the user: the lock does not depend on it.
    if (::ftruncate(fd, 0) == 0 && ::write(fd, pid, static_cast<std::size_t>(n)) < 0) {
    }
    fd_ = fd;
    return Result::taken;
  }
}

bool LockFile::release() {
  if (fd_ < 0) return true;
  // Removed while still locked, so that a waiting run retries on a new file.
  note_removed(path_);
  bool ok = ::unlink(path_.c_str()) == 0 || fail_with_errno();
  int error = errno;
  ::close(fd_);
  fd_ = -1;
  errno = error;
  return ok;
}

namespace {

// Calls `sync` (fsync or syncfs) on the directory holding `name`.
bool sync_through_directory_of(std::string_view name, int (*sync)(int)) {
  std::string path = resolve_for_create(name);
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail_with_errno();
  bool ok = sync(fd) == 0 || fail_with_errno();
  if (::close(fd) != 0 && ok) ok = fail_with_errno();
  return ok;
}

}  // namespace

bool sync_directory_of(std::string_view name) {
  return sync_through_directory_of(name, ::fsync);
}

bool sync_file_system_of(std::string_view name) {
  return sync_through_directory_of(name, ::syncfs);
}

std::string executable_path(const char* argv0) {
  char buf[kPathMax];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) return std::string(buf, static_cast<std::size_t>(n));
  return argv0 != nullptr ? std::string(argv0) : std::string();
}

std::string_view get_environment(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string_view(v) : std::string_view();
}

const char* last_error_text() {
  return last_reason;
}

const std::string& last_write_failure() {
  return write_failure;
}

void name_failed_write(std::string_view temp, std::string_view name) {
  if (std::string_view(write_failure).substr(0, write_failure_name) != temp) return;
  const std::string shown = shown_path(name);
  write_failure.replace(0, write_failure_name, shown);
  write_failure_name = shown.size();
}

std::string directory_problem(std::string_view name) {
  if (name.empty()) return "no name given";
  struct stat st;
  if (::stat(resolve_existing(name).c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return std::strerror(ENOTDIR);
  return std::string();
}

bool stderr_is_terminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace quillmar::platform
