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

namespace quillmar::platform {

namespace {

// Bytes a file reads or writes in one call into the OS.
constexpr std::size_t kFileBuffer = File::kBufferSize;
// How much a sequential write puts in a file before the OS is asked to
// start writing it out.
constexpr int64_t kWriteBehind = 4 * 1024 * 1024;

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

// The directory of an OS path as the lookup names it (no "/" at its end
// but for the root, empty for the current directory) and the name in it.
std::pair<std::string, std::string_view> split_directory(std::string_view path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {std::string(), path};
  return {std::string(path.substr(0, slash == 0 ? 1 : slash)), path.substr(slash + 1)};
}

std::string lower_name(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

// The name of an entry of `dir` equal to `component` without regard to
// case (the smallest in byte order when there are several), read from the
// directory itself.
bool scan_nocase(const std::string& dir, std::string_view component, std::string& found) {
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

// Directory listings for the case-insensitive lookup, while caching is on:
// each directory is listed once and its listing used again as long as the
// directory is the same one, unchanged since (inode and modification time);
// the program's own creations are added as they happen, so that they do
// not cost a new listing, and a removal has the directory listed anew.
//
// A listing keeps no names but a filter of them: for each lower-case name a
// few bits, chosen by hashes of it, are set. A name with a bit not set is
// surely not in the directory (the common case: a new file's name); one
// with all its bits set is looked for in the directory itself, and the
// answer kept for the next time. So a directory of many thousand files
// costs a few kilobytes, however many files the run adds to it.
constexpr std::size_t kFilterMinBits = std::size_t{1} << 13;  // 1 KB
constexpr std::size_t kFilterMaxBits = std::size_t{1} << 18;  // 32 KB
constexpr std::size_t kFilterBitsPerName = 16;
constexpr int kFilterHashes = 4;
// Answers read from a directory, kept per listing (names found in another
// case, or names only the filter took for present).
constexpr std::size_t kFoundMax = 64;
// Directories whose listings are kept at a time.
constexpr std::size_t kListingsMax = 64;

struct Listing {
  dev_t device = 0;
  ino_t inode = 0;
  struct timespec modified = {};
  std::vector<uint64_t> filter;  // a power of two of bits
  std::size_t names = 0;         // names put into the filter
  // Lower-case name: the directory's name for it, or empty for none.
  std::unordered_map<std::string, std::string> found;
};
bool listing_cache_on = false;
std::unordered_map<std::string, Listing> listings;

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

bool same_state(const Listing& l, const struct stat& st) {
  return l.device == st.st_dev && l.inode == st.st_ino && l.modified.tv_sec == st.st_mtim.tv_sec &&
         l.modified.tv_nsec == st.st_mtim.tv_nsec;
}

void take_state(Listing& l, const struct stat& st) {
  l.device = st.st_dev;
  l.inode = st.st_ino;
  l.modified = st.st_mtim;
}

// The two hashes of a name without regard to case (ASCII letters).
std::pair<uint64_t, uint64_t> name_hashes(std::string_view name) {
  uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (char c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  uint64_t g = h + 0x9E3779B97F4A7C15ull;  // splitmix64 of it
  g = (g ^ (g >> 30)) * 0xBF58476D1CE4E5B9ull;
  g = (g ^ (g >> 27)) * 0x94D049BB133111EBull;
  g ^= g >> 31;
  return {h, g | 1};
}

void filter_add(Listing& l, std::string_view name) {
  auto [h, g] = name_hashes(name);
  const uint64_t mask = l.filter.size() * 64 - 1;
  for (int i = 0; i < kFilterHashes; ++i) {
    uint64_t bit = (h + static_cast<uint64_t>(i) * g) & mask;
    l.filter[bit / 64] |= uint64_t{1} << (bit % 64);
  }
  ++l.names;
}

bool filter_may_hold(const Listing& l, std::string_view name) {
  auto [h, g] = name_hashes(name);
  const uint64_t mask = l.filter.size() * 64 - 1;
  for (int i = 0; i < kFilterHashes; ++i) {
    uint64_t bit = (h + static_cast<uint64_t>(i) * g) & mask;
    if ((l.filter[bit / 64] & (uint64_t{1} << (bit % 64))) == 0) return false;
  }
  return true;
}

// The listing of `dir`, read when it is not at hand or the directory has
// changed; nullptr when the directory cannot be read.
Listing* current_listing(const std::string& dir) {
  const char* os_dir = dir.empty() ? "." : dir.c_str();
  struct stat st;
  if (::stat(os_dir, &st) != 0) return nullptr;
  auto it = listings.find(dir);
  if (it != listings.end() && same_state(it->second, st)) return &it->second;
  DIR* d = ::opendir(os_dir);
  if (d == nullptr) return nullptr;
  if (it == listings.end() && listings.size() >= kListingsMax) listings.clear();
  Listing& l = listings[dir];
  take_state(l, st);
  l.found.clear();
  // The filter is sized for the names there are now, and for as many again.
  std::size_t count = 0;
  while (::readdir(d) != nullptr) ++count;
  std::size_t bits = kFilterMinBits;
  while (bits < kFilterMaxBits && bits < 2 * count * kFilterBitsPerName) bits *= 2;
  l.filter.assign(bits / 64, 0);
  l.filter.shrink_to_fit();
  l.names = 0;
  ::rewinddir(d);
  while (struct dirent* e = ::readdir(d)) filter_add(l, e->d_name);
  ::closedir(d);
  return &l;
}

// Notes a file the program has just created at the OS path `path`.
void note_created(std::string_view path) {
  if (!listing_cache_on) return;
  auto [dir, name] = split_directory(path);
  auto it = listings.find(dir);
  if (it == listings.end()) return;
  struct stat st;
  Listing& l = it->second;
  // A filter grown too full for its size is made anew, larger, when next
  // needed: a new listing for every doubling of the directory.
  if (::stat(dir.empty() ? "." : dir.c_str(), &st) != 0 ||
      ((l.names + 1) * kFilterBitsPerName > l.filter.size() * 64 &&
       l.filter.size() * 64 < kFilterMaxBits)) {
    listings.erase(it);
    return;
  }
  filter_add(l, name);
  l.found.erase(lower_name(name));
  take_state(l, st);
}

// Notes a name the program has just removed (or renamed away): the
// directory is listed again when next asked.
void note_removed(std::string_view path) {
  if (!listing_cache_on) return;
  listings.erase(split_directory(path).first);
}

// The name of an entry of `dir` equal to `component` without regard to case.
bool find_nocase(const std::string& dir, std::string_view component, std::string& found) {
  if (!listing_cache_on) return scan_nocase(dir, component, found);
  Listing* l = current_listing(dir);
  if (l == nullptr) return false;
  if (!filter_may_hold(*l, component)) return false;
  std::string key = lower_name(component);
  auto it = l->found.find(key);
  if (it == l->found.end()) {
    std::string name;
    if (!scan_nocase(dir, component, name)) name.clear();
    if (l->found.size() >= kFoundMax) l->found.clear();
    it = l->found.emplace(std::move(key), std::move(name)).first;
  }
  if (it->second.empty()) return false;
  found = it->second;
  return true;
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
  // Mostly only the last name is missing as given: with its directory
  // there as named, that name alone is looked up without regard to case.
  std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && slash + 1 < path.size()) {
    std::string dir = path.substr(0, slash);
    std::string_view last = std::string_view(path).substr(slash + 1);
    struct stat st;
    if (last != "." && last != ".." && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      std::string found;
      if (!find_nocase(dir, last, found)) return path;
      return dir + '/' + found;
    }
  }
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
  note_created(path);
  bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    int saved = errno;
    note_removed(path);
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
  std::string path = resolve_existing(name);
  note_removed(path);
  if (::unlink(path.c_str()) == 0) return true;
  // A name that is gone already is no failure to report.
  bool gone = errno == ENOENT;
  fail_with_errno();
  return gone ? false : fail_to_change(name);
}

namespace {

// Buffers of closed files are kept for the next file, so that opening a
// file per message allocates nothing.
constexpr std::size_t kSpareBuffers = 8;
char* spare_buffers[kSpareBuffers];
std::size_t spare_count = 0;

char* take_buffer() {
  if (spare_count > 0) return spare_buffers[--spare_count];
  return static_cast<char*>(std::malloc(kFileBuffer));
}

void give_back_buffer(char* buffer) {
  if (buffer == nullptr) return;
  if (spare_count < kSpareBuffers) {
    spare_buffers[spare_count++] = buffer;
  } else {
    std::free(buffer);
  }
}

}  // namespace

namespace {

// Starting the write-out of a range costs the caller the OS's work of
// placing the data on the disk; a helper thread does it instead, while the
// run goes on. A file's requests are dropped or waited for before its
// descriptor is closed, so that none reaches another file under the same
// number. Made once and never destroyed: it must outlive every File.
class WriteBehind {
 public:
  void request(int fd, int64_t from, int64_t length) {
    std::unique_lock lock(mutex_);
    if (!started_) {
      started_ = true;
      try {
        std::thread(&WriteBehind::serve, this).detach();
      } catch (...) {
        failed_ = true;
      }
    }
    if (failed_ || count_ == kQueue) {
      lock.unlock();
      ::sync_file_range(fd, from, length, SYNC_FILE_RANGE_WRITE);
      return;
    }
    queue_[(first_ + count_++) % kQueue] = Request{fd, from, length};
    work_.notify_one();
  }

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  // In a child process after fork(), with the lock held by the parent's
  // thread that forked: the state as before the first request.
  void restart() {
    new (&mutex_) std::mutex;
    new (&work_) std::condition_variable;
    new (&done_) std::condition_variable;
    first_ = count_ = 0;
    serving_ = -1;
    started_ = false;
    failed_ = false;
  }

  // No request of `fd` is left waiting or being served.
  void forget(int fd) {
    std::unique_lock lock(mutex_);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count_; ++i) {
      const Request& r = queue_[(first_ + i) % kQueue];
      if (r.fd != fd) queue_[(first_ + kept++) % kQueue] = r;
    }
    count_ = kept;
    done_.wait(lock, [&] { return serving_ != fd; });
  }

 private:
  struct Request {
    int fd;
    int64_t from;
    int64_t length;
  };
  static constexpr std::size_t kQueue = 64;

  void serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [&] { return count_ > 0; });
      Request r = queue_[first_];
      first_ = (first_ + 1) % kQueue;
      --count_;
      serving_ = r.fd;
      lock.unlock();
      ::sync_file_range(r.fd, r.from, r.length, SYNC_FILE_RANGE_WRITE);
      lock.lock();
      serving_ = -1;
      done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable done_;
  Request queue_[kQueue];
  std::size_t first_ = 0;
  std::size_t count_ = 0;
  int serving_ = -1;
  bool started_ = false;
  bool failed_ = false;
};

WriteBehind& write_behind_helper();

// A child made by fork() has no helper thread: it starts afresh, with a
// lock nobody holds (the parent holds it across the fork, so that the
// requests are never copied half changed).
void lock_for_fork() {
  write_behind_helper().lock();
}
void unlock_after_fork() {
  write_behind_helper().unlock();
}
void restart_after_fork() {
  write_behind_helper().restart();
}

WriteBehind& write_behind_helper() {
  static WriteBehind* helper = [] {
    auto* made = new WriteBehind;
    ::pthread_atfork(lock_for_fork, unlock_after_fork, restart_after_fork);
    return made;
  }();
  return *helper;
}

}  // namespace

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      append_(std::exchange(other.append_, false)),
      failed_(std::exchange(other.failed_, false)),
      read_failed_(std::exchange(other.read_failed_, false)),
      at_end_(std::exchange(other.at_end_, false)),
      dirty_(std::exchange(other.dirty_, false)),
      unnamed_(std::exchange(other.unnamed_, false)),
      buffer_(std::exchange(other.buffer_, nullptr)),
      capacity_(std::exchange(other.capacity_, kBufferSize)),
      base_(std::exchange(other.base_, 0)),
      os_pos_(std::exchange(other.os_pos_, 0)),
      pos_(std::exchange(other.pos_, 0)),
      end_(std::exchange(other.end_, 0)),
      behind_from_(std::exchange(other.behind_from_, 0)),
      path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    release_buffer();
    fd_ = std::exchange(other.fd_, -1);
    append_ = std::exchange(other.append_, false);
    failed_ = std::exchange(other.failed_, false);
    read_failed_ = std::exchange(other.read_failed_, false);
    at_end_ = std::exchange(other.at_end_, false);
    dirty_ = std::exchange(other.dirty_, false);
    unnamed_ = std::exchange(other.unnamed_, false);
    buffer_ = std::exchange(other.buffer_, nullptr);
    capacity_ = std::exchange(other.capacity_, kBufferSize);
    base_ = std::exchange(other.base_, 0);
    os_pos_ = std::exchange(other.os_pos_, 0);
    pos_ = std::exchange(other.pos_, 0);
    end_ = std::exchange(other.end_, 0);
    behind_from_ = std::exchange(other.behind_from_, 0);
    path_ = std::move(other.path_);
  }
  return *this;
}

File::~File() {
  close();
  release_buffer();
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
  std::string path;
  switch (mode) {
    case OpenMode::read:
      flags = O_RDONLY;
      path = resolve_existing(name);
      break;
    case OpenMode::update:
      flags = O_RDWR | O_NOFOLLOW;
      path = resolve_existing(name);
      break;
    case OpenMode::write:
      flags = O_WRONLY | O_CREAT | O_NOFOLLOW;
      path = file_exists(name) ? resolve_existing(name) : resolve_for_create(name);
      break;
    case OpenMode::append:
      flags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW;
      path = file_exists(name) ? resolve_existing(name) : resolve_for_create(name);
      break;
    case OpenMode::create_new:
      flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
      if (file_exists(name)) return fail_with("the name exists");
      path = resolve_for_create(name);
      break;
    case OpenMode::create_exact:
      flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
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
  if ((flags & O_CREAT) != 0) note_created(path);
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return fail_with("a directory");
  }
  // The lock is taken before a file is emptied, so a refused writer
  // changes nothing.
  if (share == Share::deny_write && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    ::close(fd);
    fail_with("held by another program");
    errno = error;  // a waiting opener tells "held" from other failures
    return false;
  }
  if (mode == OpenMode::write && ::ftruncate(fd, 0) != 0) {
    fail_with_errno();
    ::close(fd);
    return false;
  }
  fd_ = fd;
  append_ = mode == OpenMode::append;
  read_failed_ = false;
  at_end_ = false;
  dirty_ = false;
  base_ = append_ ? static_cast<int64_t>(st.st_size) : 0;
  os_pos_ = append_ ? -1 : 0;
  pos_ = end_ = 0;
  return true;
}

bool File::open_unnamed(std::string_view name) {
  close();
  failed_ = false;
  if (name.empty()) return fail_with("empty name");
  if (name.size() >= kPathMax) return fail_with("name too long");
  // The file is named later through /proc (linking the descriptor itself
  // needs a privilege on older systems): without /proc there are none.
  static const bool named_through_proc = ::access("/proc/self/fd", X_OK) == 0;
  if (!named_through_proc) {
    errno = EOPNOTSUPP;
    return fail_with_errno();
  }
  std::string dir = split_directory(resolve_for_create(name)).first;
  int fd = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return fail_with_errno();
  // close() above left every other field as a new file needs it.
  fd_ = fd;
  unnamed_ = true;
  append_ = false;
  os_pos_ = 0;
  path_.assign(name);
  return true;
}

bool File::link_as(std::string_view name) {
  if (fd_ < 0 || !unnamed_) return fail_with("not an unnamed file");
  if (!flush()) return false;
  if (name.empty() || name.size() >= kPathMax) return fail_with("name too long");
  if (file_exists(name)) {
    errno = EEXIST;
    return fail_with_errno();
  }
  std::string path = resolve_for_create(name);
  // The file is reached through its descriptor.
  char proc_path[64];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd_);
  if (::linkat(AT_FDCWD, proc_path, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    return fail_with_errno() || fail_to_change(name);
  }
  note_created(path);
  unnamed_ = false;
  path_.assign(name);
  return true;
}

bool File::park() {
  if (fd_ < 0) return false;
  bool ok = flush();
  leave_reading();
  release_buffer();
  return ok;
}

bool File::open_waiting(std::string_view name, OpenMode mode, unsigned wait_seconds) {
  // Ten tries a second, counted rather than timed.
  for (unsigned tries = wait_seconds * 10;; --tries) {
    if (open(name, mode, Share::deny_write)) return true;
    if (errno != EWOULDBLOCK || tries == 0) return false;
    pause_milliseconds(100);
  }
}

bool File::identity(FileIdentity& out) {
  return fd_ >= 0 && take_identity(fd_, "", AT_EMPTY_PATH, out);
}

bool File::close() {
  if (fd_ < 0) return !failed_;
  bool ok = !failed_ && !read_failed_;
  if (dirty_ && !write_buffer()) ok = false;
  if (behind_from_ != 0) write_behind_helper().forget(fd_);
  if (::close(fd_) != 0) ok = fail_with_errno() || fail_to_change(path_);
  fd_ = -1;
  failed_ = false;
  read_failed_ = false;
  at_end_ = false;
  dirty_ = false;
  unnamed_ = false;
  base_ = 0;
  behind_from_ = 0;
  pos_ = end_ = 0;
  return ok;
}

bool File::use_large_buffer() {
  if (capacity_ == kLargeBufferSize) return true;
  if (fd_ >= 0 && !flush()) return false;
  if (fd_ >= 0) leave_reading();
  release_buffer();
  capacity_ = kLargeBufferSize;
  return true;
}

void File::release_buffer() {
  char* buffer = std::exchange(buffer_, nullptr);
  if (capacity_ == kFileBuffer) {
    give_back_buffer(buffer);
  } else {
    std::free(buffer);
  }
}

bool File::ensure_buffer() {
  if (buffer_ == nullptr) {
    buffer_ = capacity_ == kFileBuffer ? take_buffer() : static_cast<char*>(std::malloc(capacity_));
  }
  return buffer_ != nullptr;
}

void File::leave_reading() {
  base_ += static_cast<int64_t>(pos_);
  pos_ = end_ = 0;
}

// Plain sequential reads, with a seek only where the file is read out of
// order.
long File::read_at(char* into, std::size_t size, int64_t at) {
  if (os_pos_ != at) {
    if (::lseek(fd_, at, SEEK_SET) != at) return -1;
    os_pos_ = at;
  }
  ssize_t n = ::read(fd_, into, size);
  if (n > 0) os_pos_ += n;
  if (n < 0) os_pos_ = -1;
  return n;
}

bool File::fill() {
  leave_reading();
  if (at_end_ || !ensure_buffer()) return false;
  for (;;) {
    long n = read_at(buffer_, capacity_, base_);
    if (n > 0) {
      end_ = static_cast<std::size_t>(n);
      return true;
    }
    if (n == 0) {
      at_end_ = true;
      return false;
    }
    if (errno != EINTR) {
      fail_with_errno();
      read_failed_ = true;
      at_end_ = true;
      return false;
    }
  }
}

int File::get_byte_slow() {
  if (fd_ < 0) return EOF;
  if (dirty_ && !write_buffer()) return EOF;
  if (!fill()) return EOF;
  return static_cast<unsigned char>(buffer_[pos_++]);
}

std::string_view File::peek_slow() {
  if (fd_ < 0 || (dirty_ && !write_buffer()) || !fill()) return std::string_view();
  return std::string_view(buffer_ + pos_, end_ - pos_);
}

std::string_view File::peek(std::size_t wanted) {
  if (end_ - pos_ >= wanted || fd_ < 0 || dirty_ || at_end_) return peek();
  if (!ensure_buffer()) return std::string_view();
  if (pos_ != 0) {
    std::memmove(buffer_, buffer_ + pos_, end_ - pos_);
    base_ += static_cast<int64_t>(pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  while (end_ < wanted && end_ < capacity_ && !at_end_) {
    long n = read_at(buffer_ + end_, capacity_ - end_, base_ + static_cast<int64_t>(end_));
    if (n > 0) {
      end_ += static_cast<std::size_t>(n);
    } else if (n == 0) {
      at_end_ = true;
    } else if (errno != EINTR) {
      fail_with_errno();
      read_failed_ = true;
      at_end_ = true;
    }
  }
  return std::string_view(buffer_ + pos_, end_ - pos_);
}

std::size_t File::read(void* buffer, std::size_t size) {
  if (fd_ < 0 || size == 0) return 0;
  if (dirty_ && !write_buffer()) return 0;
  char* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    if (pos_ == end_ && size - done >= capacity_ && !at_end_) {
      // A large read goes straight into the caller's memory.
      leave_reading();
      long n = read_at(out + done, size - done, base_);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        fail_with_errno();
        read_failed_ = true;
      }
      if (n <= 0) {
        at_end_ = true;
        break;
      }
      base_ += n;
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (pos_ == end_ && !fill()) break;
    std::size_t n = std::min(size - done, end_ - pos_);
    std::memcpy(out + done, buffer_ + pos_, n);
    pos_ += n;
    done += n;
  }
  return done;
}

bool File::write_through(const char* data, std::size_t size, int64_t at) {
  while (size > 0) {
    ssize_t n = append_ ? ::write(fd_, data, size) : ::pwrite(fd_, data, size, at);
    if (n < 0 && errno == ESPIPE) n = ::write(fd_, data, size);
    if (append_) os_pos_ = -1;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    at += n;
  }
  write_behind(at);
  return true;
}

// Has the OS start writing out what a long sequential write has put in the
// file so far, so that a later fsync finds most of it on disk already
// instead of waiting for all of it. Only a hint: its failure changes nothing.
void File::write_behind(int64_t written_to) {
  // A write behind the mark (a field filled in later) moves nothing.
  if (append_ || written_to - behind_from_ < kWriteBehind) return;
  write_behind_helper().request(fd_, behind_from_, written_to - behind_from_);
  behind_from_ = written_to;
}

bool File::write_buffer() {
  if (!dirty_) return true;
  bool ok = write_through(buffer_, end_, base_);
  dirty_ = false;
  base_ += static_cast<int64_t>(end_);
  pos_ = end_ = 0;
  return ok || write_failed();
}

bool File::write_slow(const void* data, std::size_t size) {
  if (fd_ < 0) return false;
  if (size == 0) return !failed_;
  if (!dirty_) leave_reading();
  if (!ensure_buffer()) {
    errno = ENOMEM;
    return write_failed();
  }
  const char* bytes = static_cast<const char*>(data);
  if (size > capacity_ - end_) {
    if (!write_buffer()) return false;
    if (size >= capacity_) {
      if (!write_through(bytes, size, base_)) {
        base_ += static_cast<int64_t>(size);
        return write_failed();
      }
      base_ += static_cast<int64_t>(size);
      return !failed_;
    }
  }
  std::memcpy(buffer_ + end_, bytes, size);
  end_ += size;
  pos_ = end_;
  dirty_ = true;
  return !failed_;
}

bool File::write_at(long offset, const void* data, std::size_t size) {
  if (fd_ < 0 || append_ || offset < 0) return false;
  const int64_t at = offset;
  const int64_t pending_end = base_ + static_cast<int64_t>(end_);
  if (dirty_ && at >= base_ && at + static_cast<int64_t>(size) <= pending_end) {
    std::memcpy(buffer_ + (at - base_), data, size);
    return !failed_;
  }
  // Bytes that overlap the pending ones go out after them.
  if (dirty_ && at + static_cast<int64_t>(size) > base_ && !write_buffer()) return false;
  if (!write_through(static_cast<const char*>(data), size, at)) return write_failed();
  return !failed_;
}

char* File::write_room_slow(std::size_t size) {
  if (fd_ < 0 || size > capacity_) return nullptr;
  if (!dirty_) leave_reading();
  if (!ensure_buffer()) return nullptr;
  if (size > capacity_ - end_ && !write_buffer()) return nullptr;
  return buffer_ + end_;
}

bool File::printf(const char* format, ...) {
  if (fd_ < 0) return false;
  if (!dirty_) leave_reading();
  if (!ensure_buffer()) {
    errno = ENOMEM;
    return write_failed();
  }
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  std::size_t room = capacity_ - end_;
  int n = std::vsnprintf(buffer_ + end_, room, format, ap);
  va_end(ap);
  if (n < 0) {
    va_end(again);
    return write_failed();
  }
  if (static_cast<std::size_t>(n) < room) {
    end_ += static_cast<std::size_t>(n);
    pos_ = end_;
    dirty_ = dirty_ || n > 0;
  } else {
    // Too long for what is left of the buffer: formatted apart and written.
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    text.pop_back();
    write(text.data(), text.size());
  }
  va_end(again);
  return !failed_;
}

bool File::write_failed() {
  fail_with_errno();
  fail_to_change(path_);
  failed_ = true;
  return false;
}

bool File::seek(long offset, int whence) {
  if (fd_ < 0) return false;
  // To where the pending output ends: nothing to do.
  if (dirty_ && whence == SEEK_SET && offset == tell()) return !failed_;
  if (dirty_ && !write_buffer()) return false;
  int64_t target = 0;
  if (whence == SEEK_SET) {
    target = offset;
  } else if (whence == SEEK_CUR) {
    target = base_ + static_cast<int64_t>(pos_) + offset;
  } else if (whence == SEEK_END) {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return fail_with_errno();
    target = static_cast<int64_t>(st.st_size) + offset;
  } else {
    return fail_with("bad seek");
  }
  if (target < 0) return fail_with(std::strerror(EINVAL));
  at_end_ = false;
  if (target >= base_ && target <= base_ + static_cast<int64_t>(end_)) {
    pos_ = static_cast<std::size_t>(target - base_);
  } else {
    base_ = target;
    pos_ = end_ = 0;
  }
  return true;
}

bool File::truncate(long size) {
  if (fd_ < 0 || (dirty_ && !write_buffer())) return false;
  leave_reading();
  at_end_ = false;
  return ::ftruncate(fd_, size) == 0 || fail_with_errno() || fail_to_change(path_);
}

bool File::flush() {
  if (fd_ < 0) return false;
  if (dirty_ && !write_buffer()) return false;
  return !failed_;
}

bool File::sync() {
  if (!flush()) return false;
  if (::fsync(fd_) != 0) return write_failed();
  return !failed_;
}

void cache_directory_listings(bool on) {
  listing_cache_on = on;
  listings.clear();
}

bool rename_exact(std::string_view from, std::string_view to) {
  std::string src = resolve_for_create(from);
  std::string dst = resolve_for_create(to);
  note_removed(src);
  note_removed(dst);
  if (::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (::link(src.c_str(), dst.c_str()) != 0) return false;
  return ::unlink(src.c_str()) == 0;
}

bool exists_exact(std::string_view name) {
  return !name.empty() && entry_exists(resolve_for_create(name));
}

bool replace_exact(std::string_view from, std::string_view to) {
  std::string src = resolve_for_create(from);
  std::string dst = resolve_for_create(to);
  note_removed(src);
  note_removed(dst);
  return ::rename(src.c_str(), dst.c_str()) == 0;
}

bool remove_exact(std::string_view name) {
  std::string path = resolve_for_create(name);
  note_removed(path);
  return ::unlink(path.c_str()) == 0;
}

bool sync_file(std::string_view name) {
  int fd = ::open(resolve_existing(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && ok) return false;
  errno = error;
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
    if (fd < 0) return Result::failed;
    note_created(path_);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int error = errno;
      ::close(fd);
      if (error != EWOULDBLOCK) {
        errno = error;
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
  bool ok = ::unlink(path_.c_str()) == 0;
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
