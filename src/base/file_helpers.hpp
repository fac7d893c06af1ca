// File and naming helpers: free file names in three numbering schemes,
// copying, and reading the byte-oriented FidoNet message data with the end
// of the file folded into the NUL byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/path_text.hpp"
#include "platform/fs.hpp"

namespace quillmar {

using platform::file_exists;

// Copies `source` to `destination` through `buffer`; the number of bytes
// copied, or -1 when a file cannot be opened or the copy cannot be written.
long long copy_file(std::string_view source, std::string_view destination, char* buffer,
                    std::size_t buffer_size);

// Whether a name is taken: by default, whether it exists.
using NameTaken = bool (*)(std::string_view);

// "%s%08lX.%s": the first number whose name is free. Nothing when every
// number is taken or the name is too long for a path.
std::optional<uint32_t> unique_hex_name(std::string_view dir, std::string_view extension,
                                        PathText& out, NameTaken taken = file_exists);

// "%s%s%04X.%s": the same with a prefix and 65,536 numbers at most.
std::optional<uint16_t> unique_prefixed_name(std::string_view dir, std::string_view prefix,
                                             std::string_view extension, PathText& out);

// Counts the name of an existing file up (FILE.ZIP, FILE.ZI0 ... FILE.Z99 ...)
// until it is free; false when every name it can form exists, in which case
// the path still names an existing file and must not be written.
bool bump_file_name(PathText& path, NameTaken taken = file_exists);

// Replaces a file name holding "*" (the name starts at `name_pos` of the
// path) by the first free "%08lX.%s"; false when the name holds no "*".
bool replace_wildcard_name(PathText& path, std::size_t name_pos, NameTaken taken = file_exists);

// The next byte, or 0 at the end of the file.
inline unsigned char read_byte(platform::File& file) {
  int c = file.get_byte();
  return c == EOF ? 0 : static_cast<unsigned char>(c);
}

// Reads up to `maximum` bytes up to a NUL; the number of bytes before it.
// The buffer is always terminated; `maximum` is at most N - 1.
std::size_t read_zstring(platform::File& file, char* buffer, std::size_t buffer_size,
                         std::size_t maximum);
template <std::size_t N>
std::size_t read_zstring(platform::File& file, char (&buffer)[N], std::size_t maximum) {
  return read_zstring(file, buffer, N, maximum);
}

// Writes `text` cut to `maximum` characters (and at a NUL), then its NUL.
bool write_zstring(platform::File& file, std::string_view text, std::size_t maximum);

// Reads a whole (small) file into `data`; false when it cannot be opened or
// a read fails.
bool read_whole_file(std::string_view path, std::string& data);

enum class CrLine { ended = 0, line = 1, too_long = 2 };

// Reads a text line ending in a carriage return into a buffer of N bytes
// (N - 1 characters at most; a longer line comes back in pieces).
CrLine read_cr_line(platform::File& file, char* buffer, std::size_t buffer_size);
template <std::size_t N>
CrLine read_cr_line(platform::File& file, char (&buffer)[N]) {
  static_assert(N >= 2);
  return read_cr_line(file, buffer, N);
}

}  // namespace quillmar
