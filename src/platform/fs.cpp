#include "platform/fs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/clock.hpp"

namespace quillmar::platform {

namespace {

constexpr std::size_t kFileBuffer = 256 * 1024;

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

// Notes the reason just recorded as that of a failed change of `path`.
bool fail_to_change(std::string_view path) {
  write_failure.assign(path);
  write_failure += ": ";
  write_failure += last_reason;
  return false;
}

bool entry_exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The name of an entry of `dir` equal to `component` without regard to case.
bool find_nocase(const std::string& dir, std::string_view component, std::string& found) {
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return false;
  bool ok = false;
  std::string wanted(component);
  while (struct dirent* e = ::readdir(d)) {
    if (::strcasecmp(e->d_name, wanted.c_str()) == 0 &&
        (!ok || std::string_view(e->d_name) < std::string_view(found))) {
      found = e->d_name;
      ok = true;
    }
  }
  ::closedir(d);
  return ok;
}

}  // namespace

std::string os_path(std::string_view name) {
  std::string out(name);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

std::string resolve_existing(std::string_view name) {
  std::string path = os_path(name);
  if (path.empty() || entry_exists(path)) return path;
  std::string result;
  std::size_t pos = 0;
  if (path[0] == '/') {
    result = "/";
    pos = 1;
  }
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    std::string_view comp(path.data() + pos, end - pos);
    std::string candidate = result;
    if (!candidate.empty() && candidate.back() != '/') candidate += '/';
    if (comp.empty() || comp == "." || comp == "..") {
      candidate += comp;
    } else {
      candidate += comp;
      std::string found;
      if (!entry_exists(candidate)) {
        if (!find_nocase(result, comp, found)) return path;
        candidate.resize(candidate.size() - comp.size());
        candidate += found;
      }
    }
    result = std::move(candidate);
    if (end == path.size()) break;
    pos = end + 1;
    if (pos == path.size()) {
      result += '/';
      break;
    }
  }
  return result;
}

std::string resolve_for_create(std::string_view name) {
  std::string path = os_path(name);
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return path;
  std::string dir = resolve_existing(std::string_view(path).substr(0, slash + 1));
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir + path.substr(slash + 1);
}

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
  if (file_exists(to)) {
    fail_with("the new name exists");
    return fail_to_change(to);
  }
  std::string src = resolve_existing(from);
  std::string dst = resolve_for_create(to);
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
  return ::rename(src.c_str(), dst.c_str()) == 0 || fail_with_errno() || fail_to_change(to);
}

bool copy_permissions(std::string_view from, std::string_view to) {
  struct stat st;
  if (::stat(resolve_existing(from).c_str(), &st) != 0) return false;
  return ::chmod(resolve_existing(to).c_str(), st.st_mode & 07777) == 0;
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

bool create_flag_file(std::string_view name, std::string_view content) {
  if (name.empty() || name.size() >= kPathMax || file_exists(name)) return false;
  std::string path = resolve_for_create(name);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    int saved = errno;
    ::unlink(path.c_str());
    errno = saved;
  }
  return ok;
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
  return std::strerror(errno);
}

long process_id() {
  return static_cast<long>(::getpid());
}

bool process_running(long pid) {
  if (pid <= 0) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool remove_file(std::string_view name) {
  if (::unlink(resolve_existing(name).c_str()) == 0) return true;
  // A name that is gone already is no failure to report.
  bool gone = errno == ENOENT;
  fail_with_errno();
  return gone ? false : fail_to_change(name);
}

File::File(File&& other) noexcept
    : fp_(std::exchange(other.fp_, nullptr)),
      failed_(std::exchange(other.failed_, false)),
      path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fp_ = std::exchange(other.fp_, nullptr);
    failed_ = std::exchange(other.failed_, false);
    path_ = std::move(other.path_);
  }
  return *this;
}

File::~File() {
  close();
}

bool File::open(std::string_view name, OpenMode mode, Share share) {
  if (open_file(name, mode, share)) {
    path_.assign(name);
    return true;
  }
  // A file that could not be opened for writing is a failed change.
  if (mode != OpenMode::read) fail_to_change(name);
  return false;
}

bool File::open_file(std::string_view name, OpenMode mode, Share share) {
  close();
  failed_ = false;
  if (name.empty()) return fail_with("empty name");
  if (name.size() >= kPathMax) return fail_with("name too long");
  int flags = 0;
  const char* fmode = "rb";
  std::string path;
  switch (mode) {
    case OpenMode::read:
      flags = O_RDONLY;
      path = resolve_existing(name);
      break;
    case OpenMode::update:
      flags = O_RDWR | O_NOFOLLOW;
      fmode = "r+b";
      path = resolve_existing(name);
      break;
    case OpenMode::write:
      flags = O_WRONLY | O_CREAT | O_NOFOLLOW;
      fmode = "wb";
      path = file_exists(name) ? resolve_existing(name) : resolve_for_create(name);
      break;
    case OpenMode::append:
      flags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW;
      fmode = "ab";
      path = file_exists(name) ? resolve_existing(name) : resolve_for_create(name);
      break;
    case OpenMode::create_new:
      flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
      fmode = "wb";
      if (file_exists(name)) return fail_with("the name exists");
      path = resolve_for_create(name);
      break;
  }
  // Only regular files are read: a device or a pipe named by a message
  // would never end (or would block the open itself).
  if (mode == OpenMode::read || mode == OpenMode::update) {
    struct stat before;
    if (::stat(path.c_str(), &before) != 0) return fail_with_errno();
    if (!S_ISREG(before.st_mode)) return fail_with("not a regular file");
  }
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) return fail_with_errno();
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return fail_with("a directory");
  }
  // The lock is taken before a file is emptied, so a refused writer
  // changes nothing.
  if (share == Share::deny_write && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return fail_with("held by another program");
  }
  if (mode == OpenMode::write && ::ftruncate(fd, 0) != 0) {
    fail_with_errno();
    ::close(fd);
    return false;
  }
  fp_ = ::fdopen(fd, fmode);
  if (fp_ == nullptr) {
    fail_with_errno();
    ::close(fd);
    return false;
  }
  std::setvbuf(fp_, nullptr, _IOFBF, kFileBuffer);
  return true;
}

bool File::close() {
  if (fp_ == nullptr) return !failed_;
  bool ok = !failed_ && std::ferror(fp_) == 0;
  if (std::fclose(fp_) != 0) ok = fail_with_errno() || fail_to_change(path_);
  fp_ = nullptr;
  failed_ = false;
  return ok;
}

std::size_t File::read(void* buffer, std::size_t size) {
  if (fp_ == nullptr || size == 0) return 0;
  return std::fread(buffer, 1, size, fp_);
}

bool File::write(const void* data, std::size_t size) {
  if (fp_ == nullptr) return false;
  if (size != 0 && std::fwrite(data, 1, size, fp_) != size) return write_failed();
  return !failed_;
}

bool File::printf(const char* format, ...) {
  if (fp_ == nullptr) return false;
  va_list ap;
  va_start(ap, format);
  if (std::vfprintf(fp_, format, ap) < 0) write_failed();
  va_end(ap);
  return !failed_;
}

bool File::write_failed() {
  fail_with_errno();
  fail_to_change(path_);
  failed_ = true;
  return false;
}

bool File::seek(long offset, int whence) {
  return fp_ != nullptr && std::fseek(fp_, offset, whence) == 0;
}

long File::tell() {
  return fp_ != nullptr ? std::ftell(fp_) : -1L;
}

bool File::truncate(long size) {
  if (fp_ == nullptr || std::fflush(fp_) != 0) return false;
  return ::ftruncate(fileno(fp_), size) == 0 || fail_with_errno() || fail_to_change(path_);
}

bool File::flush() {
  if (fp_ == nullptr) return false;
  if (std::fflush(fp_) != 0) return write_failed();
  return !failed_;
}

bool File::sync() {
  if (!flush()) return false;
  if (::fsync(fileno(fp_)) != 0) return write_failed();
  return !failed_;
}

namespace {

// Calls `sync` (fsync or syncfs) on the directory holding `name`.
bool sync_through_directory_of(std::string_view name, int (*sync)(int)) {
  std::string path = resolve_for_create(name);
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = sync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  return ok;
}

}  // namespace

bool sync_directory_of(std::string_view name) {
  return sync_through_directory_of(name, ::fsync);
}

bool sync_file_system_of(std::string_view name) {
  return sync_through_directory_of(name, ::syncfs);
}

bool wildcard_match(std::string_view pattern, std::string_view name) {
  if (pattern == "*.*") pattern = "*";
  std::size_t p = 0, n = 0, star = std::string_view::npos, mark = 0;
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || lower(pattern[p]) == lower(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::vector<DirEntry> list_directory(std::string_view pattern) {
  std::vector<DirEntry> out;
  std::string path = os_path(pattern);
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  std::string mask = slash == std::string::npos ? path : path.substr(slash + 1);
  dir = resolve_existing(dir);
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return out;
  while (struct dirent* e = ::readdir(d)) {
    std::string_view entry_name(e->d_name);
    if (entry_name == "." || entry_name == ".." || !wildcard_match(mask, entry_name)) continue;
    std::string full = dir;
    if (full.back() != '/') full += '/';
    full += entry_name;
    struct stat st;
    if (::stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    DirEntry de;
    de.name = std::string(entry_name);
    de.size = st.st_size > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<uint32_t>(st.st_size);
    LocalTime lt = local_time(st.st_mtime);
    de.dos_date = dos_date(lt);
    de.dos_time = dos_time(lt);
    out.push_back(std::move(de));
  }
  ::closedir(d);
  std::sort(out.begin(), out.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return out;
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
