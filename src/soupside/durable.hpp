// Small state files that survive a kill or a power cut: written whole under
// a temporary name, put on disk, then put in place in one step.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

enum class ReadResult { ok, missing, error };

// Reads a whole file of at most `maximum` bytes.
ReadResult read_whole_file(std::string_view path, std::size_t maximum, std::string& out);

// Replaces `path` by a file holding `content`: either the old or the new
// content is there after a crash, never a part. Reports failures.
bool write_file_durably(std::string_view path, std::string_view content);

// Removes a file and puts the removal on disk; a missing file is no error.
bool remove_durably(std::string_view path);

// Appends one line to a file and puts it on disk before returning.
bool append_line_durably(std::string_view path, std::string_view line);

// The lines of a text, each without its LF (and a CR before it). With
// `complete_only` a last line without LF is left out: a crash cut it.
std::vector<std::string_view> text_lines(std::string_view text, bool complete_only = false);

// The fields of a line between the separators.
std::vector<std::string_view> split_fields(std::string_view line, char separator);

// `dir` (ending in a separator) followed by `name`, with "/" as separator
// (as a sysop can copy it into a shell); empty when too long.
std::string path_in(std::string_view dir, std::string_view name);

// A path as the messages show it: "/" for every "\\" separator.
std::string shown(std::string_view path);

}  // namespace quillmar
