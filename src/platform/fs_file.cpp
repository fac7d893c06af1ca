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

using namespace fs_detail;

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
  // A file that could not be opened for writing is a failed change; a
  // missing file to update or a taken name for a new one is an answer.
  const bool answer =
      (mode == OpenMode::update && errno == ENOENT) ||
      ((mode == OpenMode::create_new || mode == OpenMode::create_exact) && errno == EEXIST);
  if (mode != OpenMode::read && !answer) fail_to_change(name);
  return false;
}

bool File::open_file(std::string_view name, OpenMode mode, Share share) {
  close();
  failed_ = false;
  errno = 0;  // what answers the open (see open()) is set below
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
    case OpenMode::append_log:
      flags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW;
      path = file_exists(name) ? resolve_existing(name) : resolve_for_create(name);
      break;
    case OpenMode::create_new:
      flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
      if (file_exists(name)) {
        errno = EEXIST;
        return fail_with("the name exists");
      }
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
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode == OpenMode::append_log ? 0640 : 0644);
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
  append_ = mode == OpenMode::append || mode == OpenMode::append_log;
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
  errno = 0;  // what answers the open (see open()) is set below
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

}  // namespace quillmar::platform
