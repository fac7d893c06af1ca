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

namespace fs_detail {

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

}  // namespace fs_detail

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

std::string shown_path(std::string_view name) {
  std::string path = resolve_existing(name);
  return entry_exists(path) ? path : resolve_for_create(name);
}

void cache_directory_listings(bool on) {
  listing_cache_on = on;
  listings.clear();
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

}  // namespace quillmar::platform
