// File system access for the whole program. Names use "\" or "/" as
// separators; a backslash becomes "/" only here, when the OS is called.
// Existing files and directories are found without regard to case, since
// FidoNet names are upper case while Linux mailers often write lower case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::platform {

// Longest path the OS can take, in bytes including the terminating NUL.
inline constexpr std::size_t kPathMax = 4096;

inline bool is_separator(char c) {
  return c == '\\' || c == '/';
}

// The separator a directory name written as `name` ends in: "/" where the
// name uses "/" and no "\\" (a Linux path, which a user pastes into a
// shell), else "\\".
inline char separator_of(std::string_view name) {
  return name.find('/') != std::string_view::npos && name.find('\\') == std::string_view::npos
             ? '/'
             : '\\';
}

// The name in the OS's form: every backslash turned into "/".
std::string os_path(std::string_view name);

// The OS path of an existing entry, each component matched without regard
// to case where no exact match exists; the OS form of the name unchanged
// when nothing matches.
std::string resolve_existing(std::string_view name);

// The OS path for creating `name`: its directory resolved like an existing
// one, its last component kept as given.
std::string resolve_for_create(std::string_view name);

// The name for reports: the OS path of the entry as the directory holds it
// (or as it would be created), a name a user can paste into a shell.
std::string shown_path(std::string_view name);

// While on, the case-insensitive lookup lists each directory once and uses
// the listing again as long as the directory has not changed (its inode
// and modification time); the program's own creations are added to it.
// Off (the default) every lookup lists the directory. Turning it on or off
// forgets every listing.
void cache_directory_listings(bool on);

bool file_exists(std::string_view name);  // a file, a directory or a link (even a dangling one)
bool directory_exists(std::string_view name);
// Renames a file; fails when `to` exists (in any case of its name).
bool rename_file(std::string_view from, std::string_view to);
// Puts `from` in the place of `to` in one step: `to` always names either
// the old or the new file.
bool replace_file(std::string_view from, std::string_view to);
bool remove_file(std::string_view name);
// Puts the directory entries of the directory holding `name` on disk, so
// that a file created, renamed or removed there stays so after a power cut.
bool sync_directory_of(std::string_view name);
// The name made absolute against the current directory (OS form), so that
// a later run started elsewhere means the same file.
std::string absolute_path(std::string_view name);

// Puts everything written to the file system holding `name` on disk: the
// data of every file and every directory entry (one call for many files).
bool sync_file_system_of(std::string_view name);
// Gives `to` the permission bits of `from`.
bool copy_permissions(std::string_view from, std::string_view to);

// What a file was when it was looked at: its size and modification time, to
// tell later whether another program has changed or replaced it.
struct FileStamp {
  bool exists = false;  // a regular file
  uint64_t size = 0;
  int64_t mtime_ns = 0;  // nanoseconds since 1970
  bool operator==(const FileStamp&) const = default;
};
FileStamp file_stamp(std::string_view name);

// Creates `name` holding `content` only when the name is free (exclusive
// creation, also against another process doing the same). The flag appears
// with its content in one step: it never exists empty.
enum class FlagResult { made, exists, failed };
FlagResult create_flag_file(std::string_view name, std::string_view content);

// Why the last call of this layer that failed failed: the text of the
// errno of the call into the OS that failed (later calls do not change it),
// or a reason of this program (see last_error_text).
const char* last_error();

// This process's id, and whether a process with `pid` still runs here
// (one that has ended but is not yet reaped does not). With `program`,
// only a process of that program counts (its name as the system keeps it,
// without regard to case): after a restart the number may belong to
// another program.
long process_id();
bool process_running(long pid, std::string_view program = {});
// The program name the system keeps for process `pid` (empty when it
// cannot be told).
std::string process_name(long pid);

// Names the program makes up itself (numbered, upper case) are used exactly
// as given: no search of the directory for another case of the name, so
// that their cost does not grow with the number of files there.
// Renames `from` to `to`; fails (EEXIST) when `to` exists.
bool rename_exact(std::string_view from, std::string_view to);
bool remove_exact(std::string_view name);
bool exists_exact(std::string_view name);
// Puts `from` in the place of `to` in one step (see replace_file).
bool replace_exact(std::string_view from, std::string_view to);

// Puts the data of the named file on disk.
bool sync_file(std::string_view name);

// True when this process may take the entry `name` out of its directory
// (the name as given: exactly): the directory lets it write there, and a
// sticky one belongs to it or the entry does. False says that removing or
// renaming the entry fails however often it is tried.
bool may_remove_entry(std::string_view name);

// What tells one state of a file from another: a different file under the
// same name, or the same file written to since.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = -1;
  int64_t modified_ns = 0;
  // When the file was made, where the file system keeps it (0 elsewhere):
  // a file made later under an inode number freed meanwhile has another.
  int64_t born_ns = 0;
  bool operator==(const FileIdentity&) const = default;
};
// False when the name cannot be examined.
bool file_identity(std::string_view name, FileIdentity& out);

// Waits `milliseconds` (real time, whatever clock a test has pinned).
void pause_milliseconds(unsigned milliseconds);

// An exclusive lock on a lock file, held until release() or the end of the
// process. The file holds the process id of the holder, for the user.
class LockFile {
 public:
  enum class Result { taken, busy, failed };
  LockFile() = default;
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  ~LockFile();
  // Takes the lock, waiting up to `wait_seconds` for another holder.
  Result take(std::string_view name, unsigned wait_seconds);
  // Removes the lock file, then releases the lock; false when the file
  // could not be removed (the lock is released all the same).
  bool release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::string path_;
};

enum class Share { deny_none, deny_write };
enum class OpenMode {
  read,          // existing file, reading
  write,         // created or emptied, writing
  append,        // created or kept, writing at its end
  append_log,    // the same; a new file is readable by its owner and group only (0640)
  update,        // existing file, reading and writing
  create_new,    // a new file only: fails when the name exists (also as a link)
  create_exact,  // the same for a made-up name, looked up exactly as given
};

// An open file. "Deny write" holds an advisory lock for as long as the file
// is open, so that a second writer is refused.
//
// The file keeps its own buffer and position: reading a byte, a line or a
// field costs no call into the OS until the buffer is used up, and tell()
// and a seek within the buffered bytes cost none at all. Written data goes
// out in large blocks, at the latest on flush(), sync(), a seek or close().
class File {
 public:
  // Bytes the file reads or writes in one call into the OS.
  static constexpr std::size_t kBufferSize = 64 * 1024;
  // The same for a file that takes a large buffer (see use_large_buffer).
  static constexpr std::size_t kLargeBufferSize = 256 * 1024;

  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();

  bool open(std::string_view name, OpenMode mode, Share share = Share::deny_none);
  // Opens denying write, waiting up to `wait_seconds` while another program
  // holds the file; false (with errno EWOULDBLOCK) when it still holds it.
  bool open_waiting(std::string_view name, OpenMode mode, unsigned wait_seconds);
  bool is_open() const { return fd_ >= 0; }
  // Closes the file; false when a write or the close itself failed.
  bool close();

  std::size_t read(void* buffer, std::size_t size);
  bool write(const void* data, std::size_t size) {
    // Into the pending output while it has room: no call.
    if (dirty_ && size != 0 && size <= capacity_ - end_) {
      std::memcpy(buffer_ + end_, data, size);
      end_ += size;
      pos_ = end_;
      return !failed_;
    }
    return write_slow(data, size);
  }
  bool write(std::string_view text) { return write(text.data(), text.size()); }
  // Writes `text` and the character `end` after it.
  bool write_ending(std::string_view text, char end) {
    if (dirty_ && text.size() < capacity_ - end_) {
      std::memcpy(buffer_ + end_, text.data(), text.size());
      end_ += text.size();
      buffer_[end_++] = end;
      pos_ = end_;
      return !failed_;
    }
    return write(text) && write(&end, 1);
  }
  bool printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Writes `size` bytes at `offset` (not of a file opened to append) and
  // leaves the position where it is: into the pending output when they lie
  // within it, else with one positioned write.
  bool write_at(long offset, const void* data, std::size_t size);
  // Room for `size` bytes at the end of the pending output, to be filled
  // in place and handed on with commit(); nullptr when the buffer cannot
  // give it (the bytes then go through write()).
  char* write_room(std::size_t size) {
    if (dirty_ && size <= capacity_ - end_) return buffer_ + end_;
    return write_room_slow(size);
  }
  void commit(std::size_t size) {
    end_ += size;
    pos_ = end_;
    dirty_ = dirty_ || size != 0;
  }
  // The next byte, or EOF at the end of the file (or after a read error).
  int get_byte() {
    if (pos_ < end_) return static_cast<unsigned char>(buffer_[pos_++]);
    return get_byte_slow();
  }
  // Steps back over the byte get_byte() has just returned.
  void unget_byte() {
    if (pos_ > 0 && !dirty_) --pos_;
  }
  // The bytes buffered from the current position on, at least one unless
  // the file ends (or a read failed): a window for scanning in place. The
  // scanned bytes are consumed with skip().
  std::string_view peek() {
    if (pos_ < end_) return std::string_view(buffer_ + pos_, end_ - pos_);
    return peek_slow();
  }
  // The same window holding at least `wanted` bytes where the file and the
  // buffer allow: the unread bytes are kept and more are read behind them.
  // Earlier bytes leave the buffer (a seek back to them reads them again).
  std::string_view peek(std::size_t wanted);
  // How many bytes peek() would give without reading.
  std::size_t buffered() const { return dirty_ ? 0 : end_ - pos_; }
  void skip(std::size_t count) { pos_ += count <= end_ - pos_ ? count : end_ - pos_; }
  bool seek(long offset, int whence = SEEK_SET);
  long tell() const { return is_open() ? static_cast<long>(base_ + pos_) : -1L; }
  bool truncate(long size);
  bool flush();
  // Flushes the buffer and has the OS put the file's data on disk.
  bool sync();
  bool failed() const { return failed_; }
  // True when reading the file failed (rather than ended).
  bool read_failed() const { return read_failed_; }
  // The stamp of the open file.
  bool identity(FileIdentity& out);

  // A new file for writing in the directory of `name`, made without a name
  // where the file system allows it: it is written like any other, and
  // until link_as() gives it a name, closing it (or the end of the
  // program) leaves nothing behind. False when it cannot be made (errno
  // EOPNOTSUPP or EISDIR where the file system has no such files, or where
  // /proc, through which it is named, is missing).
  bool open_unnamed(std::string_view name);
  bool unnamed() const { return unnamed_; }
  // Gives a file made by open_unnamed() the name `name`, writing out the
  // buffered bytes first; false (errno EEXIST) when the name exists in any
  // case. The file stays open.
  bool link_as(std::string_view name);
  // Writes out the buffered bytes and hands the buffer back, for a file
  // that stays open while it waits (its next use takes a buffer again).
  bool park();
  // From now on the file moves its data in blocks of kLargeBufferSize: for
  // a large file written in one go, where fewer calls into the OS save
  // time. Writes out the buffered bytes first; false when that fails.
  bool use_large_buffer();

 private:
  bool open_file(std::string_view name, OpenMode mode, Share share);
  bool write_failed();  // marks the file failed and notes why
  int get_byte_slow();
  std::string_view peek_slow();
  char* write_room_slow(std::size_t size);
  bool write_slow(const void* data, std::size_t size);
  // Bytes read at the file offset `at`: 0 at the end, -1 on a failure.
  long read_at(char* into, std::size_t size, int64_t at);
  bool fill();          // reads the next block into the buffer
  bool write_buffer();  // writes the pending bytes out
  bool write_through(const char* data, std::size_t size, int64_t at);
  void write_behind(int64_t written_to);
  void leave_reading();  // the position becomes the start of an empty buffer
  bool ensure_buffer();
  void release_buffer();  // hands the buffer back (none is held after)

  int fd_ = -1;
  bool append_ = false;  // every write goes to the end of the file
  bool failed_ = false;
  bool read_failed_ = false;
  bool at_end_ = false;   // a read found the end: later reads find it too, until a seek
  bool dirty_ = false;    // the buffer holds bytes not yet written
  bool unnamed_ = false;  // made by open_unnamed() and not yet linked
  char* buffer_ = nullptr;
  std::size_t capacity_ = kBufferSize;  // the size of the buffer
  int64_t base_ = 0;                    // file offset of buffer_[0]
  int64_t os_pos_ = 0;                  // the OS's position in the file (-1: not known)
  std::size_t pos_ = 0;                 // current position in the buffer
  std::size_t end_ = 0;                 // bytes read into the buffer (reading) or pending (writing)
  int64_t behind_from_ = 0;             // where the data not yet handed to write-behind starts
  std::string path_;
};

struct DirEntry {
  std::string name;  // the name as the directory holds it
  uint32_t size = 0;
  uint16_t dos_date = 0;
  uint16_t dos_time = 0;
};

// Entries of the directory part of `pattern` whose names match its last
// component ("*" and "?" wildcards) without regard to case, sorted by name.
std::vector<DirEntry> list_directory(std::string_view pattern);

// True when `name` matches the wildcard `pattern` without regard to case.
bool wildcard_match(std::string_view pattern, std::string_view name);

// Path of the running executable (falling back to `argv0`).
std::string executable_path(const char* argv0);

// An environment variable, or an empty view when unset.
std::string_view get_environment(const char* name);

// Why the last file operation that failed here failed, in the OS's words
// ("No such file or directory"), or a reason of this program ("not a
// regular file", "held by another program").
const char* last_error_text();

// The file and the reason of the last write, close, rename or removal that
// failed ("/var/spool/soup/MAIL0000.MSG: No space left on device"); empty
// when none failed.
const std::string& last_write_failure();
// When the last failed write is that of `temp`, a temporary file standing
// for `name` (a journal written anew, a flag), it is named after `name`.
void name_failed_write(std::string_view temp, std::string_view name);

// Why `name` cannot be used as a directory; empty when it can.
std::string directory_problem(std::string_view name);

// True when standard error is a terminal (a person watches the run).
bool stderr_is_terminal();

}  // namespace quillmar::platform
