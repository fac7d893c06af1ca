#include "soupside/durable.hpp"

#include "base/log.hpp"
#include "base/path_text.hpp"
#include "platform/fs.hpp"

namespace quillmar {

ReadResult read_whole_file(std::string_view path, std::size_t maximum, std::string& out) {
  out.clear();
  if (!platform::file_exists(path)) return ReadResult::missing;
  platform::File file;
  if (!file.open(path, platform::OpenMode::read)) return ReadResult::error;
  char buffer[65536];
  for (;;) {
    std::size_t n = file.read(buffer, sizeof buffer);
    if (n == 0) break;
    if (out.size() + n > maximum) return ReadResult::error;
    out.append(buffer, n);
  }
  bool ok = !file.failed() && !file.read_failed();
  file.close();
  return ok ? ReadResult::ok : ReadResult::error;
}

bool write_file_durably(std::string_view path, std::string_view content) {
  std::string temporary(path);
  temporary += ".NEW";
  platform::remove_file(temporary);
  platform::File file;
  if (!file.open(temporary, platform::OpenMode::create_new, platform::Share::deny_write)) {
    log_print("! cannot create %s: %s\n", temporary.c_str(), platform::last_error_text());
    return false;
  }
  bool ok = file.write(content) && file.sync();
  ok = file.close() && ok;
  if (!ok) {
    log_print("! cannot write %s: %s\n", temporary.c_str(), platform::last_error_text());
    platform::remove_file(temporary);
    return false;
  }
  if (!platform::replace_file(temporary, path) || !platform::sync_directory_of(path)) {
    log_print("! cannot put %s in place of %.*s: %s\n", temporary.c_str(),
              static_cast<int>(path.size()), path.data(), platform::last_error_text());
    return false;
  }
  return true;
}

bool remove_durably(std::string_view path) {
  if (!platform::file_exists(path)) return true;
  if (!platform::remove_file(path) || !platform::sync_directory_of(path)) {
    log_print("! cannot remove %.*s: %s\n", static_cast<int>(path.size()), path.data(),
              platform::last_error_text());
    return false;
  }
  return true;
}

bool append_line_durably(std::string_view path, std::string_view line) {
  bool existed = platform::file_exists(path);
  platform::File file;
  if (!file.open(path, platform::OpenMode::append, platform::Share::deny_write)) {
    log_print("! cannot append to %.*s: %s\n", static_cast<int>(path.size()), path.data(),
              platform::last_error_text());
    return false;
  }
  bool ok = file.write(line) && file.sync();
  ok = file.close() && ok;
  if (ok && !existed) ok = platform::sync_directory_of(path);
  if (!ok)
    log_print("! cannot append to %.*s: %s\n", static_cast<int>(path.size()), path.data(),
              platform::last_error_text());
  return ok;
}

std::vector<std::string_view> text_lines(std::string_view text, bool complete_only) {
  std::vector<std::string_view> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos && complete_only) break;
    std::size_t end = lf == std::string_view::npos ? text.size() : lf;
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    pos = end + 1;
  }
  return lines;
}

std::vector<std::string_view> split_fields(std::string_view line, char separator) {
  std::vector<std::string_view> fields;
  std::size_t pos = 0;
  for (;;) {
    std::size_t next = line.find(separator, pos);
    fields.push_back(line.substr(pos, next == std::string_view::npos ? next : next - pos));
    if (next == std::string_view::npos) return fields;
    pos = next + 1;
  }
}

std::string path_in(std::string_view dir, std::string_view name) {
  std::string path = shown(dir);
  path += name;
  if (path.size() >= platform::kPathMax) return std::string();
  return path;
}

std::string shown(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

}  // namespace quillmar
