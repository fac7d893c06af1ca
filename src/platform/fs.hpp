// File system access for the whole program. Names use "\" or "/" as
// separators; a backslash becomes "/" only here, when the OS is called.
// Existing files and directories are found without regard to case, since
// FidoNet names are upper case while Linux mailers often write lower case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::platform {

// Longest path the OS can take, in bytes including the terminating NUL.
inline constexpr std::size_t kPathMax = 4096;

inline bool is_separator(char c) {
  return c == '\\' || c == '/';
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
// creation, also against another process doing the same); false when it
// exists or cannot be written.
bool create_flag_file(std::string_view name, std::string_view content);

// The text of the last failed call into the OS (strerror of errno).
const char* last_error();

// This process's id, and whether a process with `pid` still runs here.
long process_id();
bool process_running(long pid);

enum class Share { deny_none, deny_write };
enum class OpenMode {
  read,        // existing file, reading
  write,       // created or emptied, writing
  append,      // created or kept, writing at its end
  update,      // existing file, reading and writing
  create_new,  // a new file only: fails when the name exists (also as a link)
};

// An open file. "Deny write" holds an advisory lock for as long as the file
// is open, so that a second writer is refused.
class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();

  bool open(std::string_view name, OpenMode mode, Share share = Share::deny_none);
  bool is_open() const { return fp_ != nullptr; }
  // Closes the file; false when a write or the close itself failed.
  bool close();

  std::size_t read(void* buffer, std::size_t size);
  bool write(const void* data, std::size_t size);
  bool write(std::string_view text) { return write(text.data(), text.size()); }
  bool printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  int get_byte() { return fp_ != nullptr ? getc_unlocked(fp_) : EOF; }
  bool seek(long offset, int whence = SEEK_SET);
  long tell();
  bool truncate(long size);
  bool flush();
  // Flushes the buffer and has the OS put the file's data on disk.
  bool sync();
  bool failed() const { return failed_; }
  std::FILE* handle() { return fp_; }

 private:
  bool open_file(std::string_view name, OpenMode mode, Share share);
  bool write_failed();  // marks the file failed and notes why

  std::FILE* fp_ = nullptr;
  bool failed_ = false;
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

// Why `name` cannot be used as a directory; empty when it can.
std::string directory_problem(std::string_view name);

// True when standard error is a terminal (a person watches the run).
bool stderr_is_terminal();

}  // namespace quillmar::platform
