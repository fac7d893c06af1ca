// Helpers shared by the files of the file system layer (fs.cpp, fs_names.cpp,
// fs_file.cpp); no other file includes this header.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/fs.hpp"

namespace quillmar::platform::fs_detail {

// Bytes a file reads or writes in one call into the OS.
constexpr std::size_t kFileBuffer = File::kBufferSize;
// How much a sequential write puts in a file before the OS is asked to
// start writing it out.
constexpr int64_t kWriteBehind = 4 * 1024 * 1024;

// The reason of the last failure; a program's own text or strerror's.
extern const char* last_reason;
// The file and reason of the last failed change (see last_write_failure).
extern std::string write_failure;

// Note `reason` (or errno's text) as the last failure's; false.
bool fail_with(const char* reason);
bool fail_with_errno();
// Notes the reason just recorded as that of a failed change of `path`; false.
bool fail_to_change(std::string_view path);

bool entry_exists(const std::string& path);
// The directory of an OS path as the lookup names it (no "/" at its end
// but for the root, empty for the current directory) and the name in it.
std::pair<std::string, std::string_view> split_directory(std::string_view path);

// The stamp of a file (see statx): its birth time too, where the file
// system keeps one.
bool take_identity(int dir_fd, const char* path, int flags, FileIdentity& out);

// The directory listings of the case-insensitive lookup learn of the
// program's own creations and removals (OS paths).
void note_created(std::string_view path);
void note_removed(std::string_view path);

}  // namespace quillmar::platform::fs_detail
