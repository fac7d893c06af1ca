#include "base/file_helpers.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quillmar {

long long copy_file(std::string_view source, std::string_view destination, char* buffer,
                    std::size_t buffer_size) {
  platform::File in;
  if (!in.open(source, platform::OpenMode::read)) return -1;
  platform::File out;
  if (!out.open(destination, platform::OpenMode::write, platform::Share::deny_write)) return -1;
  long long total = 0;
  for (std::size_t n; (n = in.read(buffer, buffer_size)) != 0;) {
    if (!out.write(buffer, n)) break;
    total += static_cast<long long>(n);
  }
  return out.close() ? total : -1;
}

std::optional<uint32_t> unique_hex_name(std::string_view dir, std::string_view extension,
                                        PathText& out, NameTaken taken) {
  char name[32];
  uint32_t n = 0;
  do {
    std::snprintf(name, sizeof name, "%08lX.", static_cast<unsigned long>(n));
    if (!out.assign(dir) || !out.append(name) || !out.append(extension)) return std::nullopt;
    if (!taken(out.view())) return n;
  } while (++n != 0);
  return std::nullopt;
}

std::optional<uint16_t> unique_prefixed_name(std::string_view dir, std::string_view prefix,
                                             std::string_view extension, PathText& out) {
  char number[16];
  for (uint32_t n = 0; n <= 0xFFFF; ++n) {
    std::snprintf(number, sizeof number, "%04X.", static_cast<unsigned>(n));
    if (!out.assign(dir) || !out.append(prefix) || !out.append(number) || !out.append(extension)) {
      return std::nullopt;
    }
    if (!file_exists(out)) return static_cast<uint16_t>(n);
  }
  return std::nullopt;
}

bool bump_file_name(PathText& path, NameTaken taken) {
  if (path.empty()) return false;
  std::size_t p = path.size() - 1;
  for (;;) {
    if (!taken(path.view())) return true;
    char c = path[p];
    if (c < '0' || c > '9') {
      path.set(p, '0');
    } else if (c != '9') {
      path.set(p, static_cast<char>(c + 1));
    } else {
      if (p == 0) return false;
      --p;
      if (path[p] == '.') {
        if (p == 0) return false;
        --p;
      }
      if (platform::is_separator(path[p])) return false;
    }
  }
}

bool replace_wildcard_name(PathText& path, std::size_t name_pos, NameTaken taken) {
  if (name_pos > path.size()) return false;
  std::string_view name = path.view().substr(name_pos);
  if (name.find('*') == std::string_view::npos) return false;
  char extension[8] = "ATT";
  std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    std::string_view ext = name.substr(dot + 1, 7);
    if (name.substr(dot + 1).find('*') == std::string_view::npos) {
      ext.copy(extension, ext.size());
      extension[ext.size()] = '\0';
    }
  }
  char replacement[32];
  uint32_t n = 0;
  do {
    std::snprintf(replacement, sizeof replacement, "%08lX.%s", static_cast<unsigned long>(n),
                  extension);
    path.truncate(name_pos);
    path.append(replacement);
    if (!taken(path.view())) return true;
  } while (++n != 0);
  return true;
}

bool write_zstring(platform::File& file, std::string_view text, std::size_t maximum) {
  text = text.substr(0, maximum);
  text = text.substr(0, text.find('\0'));
  return file.write(text) && file.write("\0", 1);
}

std::size_t read_zstring(platform::File& file, char* buffer, std::size_t buffer_size,
                         std::size_t maximum) {
  if (buffer_size == 0) return 0;
  if (maximum > buffer_size - 1) maximum = buffer_size - 1;
  std::size_t i = 0;
  while (i < maximum) {
    std::string_view window = file.peek();
    if (window.empty()) {
      // The end of the file reads as a NUL.
      buffer[i] = '\0';
      return i;
    }
    std::size_t n = std::min(window.size(), maximum - i);
    const void* nul = std::memchr(window.data(), '\0', n);
    if (nul != nullptr) {
      std::size_t k = static_cast<std::size_t>(static_cast<const char*>(nul) - window.data());
      std::memcpy(buffer + i, window.data(), k + 1);
      file.skip(k + 1);
      return i + k;
    }
    std::memcpy(buffer + i, window.data(), n);
    file.skip(n);
    i += n;
  }
  buffer[i] = '\0';
  return i;
}

CrLine read_cr_line(platform::File& file, char* buffer, std::size_t buffer_size) {
  if (buffer_size < 2) {
    if (buffer_size == 1) buffer[0] = '\0';
    return CrLine::ended;
  }
  std::size_t maximum = buffer_size - 1;
  std::size_t i = 0;
  while (i < maximum) {
    std::string_view window = file.peek();
    if (window.empty()) {
      // The end of the file reads as a NUL.
      buffer[i] = '\0';
      return CrLine::ended;
    }
    std::size_t n = std::min(window.size(), maximum - i);
    const char* p = window.data();
    const char* stop = p + n;
    const char* cr = static_cast<const char*>(std::memchr(p, '\r', n));
    if (cr != nullptr) stop = cr;
    const char* nul =
        static_cast<const char*>(std::memchr(p, '\0', static_cast<std::size_t>(stop - p)));
    if (nul != nullptr) {
      std::size_t k = static_cast<std::size_t>(nul - p);
      std::memcpy(buffer + i, p, k + 1);
      file.skip(k + 1);
      return CrLine::ended;
    }
    std::size_t k = static_cast<std::size_t>(stop - p);
    std::memcpy(buffer + i, p, k);
    i += k;
    if (cr != nullptr) {
      file.skip(k + 1);
      buffer[i] = '\0';
      return CrLine::line;
    }
    file.skip(k);
  }
  buffer[maximum] = '\0';
  return CrLine::too_long;
}

bool read_whole_file(std::string_view path, std::string& data) {
  data.clear();
  platform::File f;
  if (!f.open(path, platform::OpenMode::read)) return false;
  char buffer[4096];
  for (std::size_t n; (n = f.read(buffer, sizeof buffer)) != 0;) data.append(buffer, n);
  bool ok = !f.read_failed();
  f.close();
  return ok;
}

}  // namespace quillmar
