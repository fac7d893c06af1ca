#include "platform/lmdb_file_check.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace quillmar::platform {

namespace {

constexpr int kBadFile = kLmdbFileDamaged;

// A page starts with its number (8 bytes), 2 bytes of padding, its flags
// (2) and 4 more bytes; a meta page holds after that: magic (4), version
// (4), address (8), map size (8), then the records of the free-page and
// the main database (48 bytes each: the page size is the first field of the
// first; the root page the last of each), the last page used (8) and the
// transaction number (8). Numbers are in the machine's byte order.
constexpr std::size_t kFlagsAt = 10;
constexpr uint16_t kMetaFlag = 0x08;
constexpr std::size_t kMagicAt = 16;
constexpr uint32_t kMagic = 0xBEEFC0DE;
constexpr std::size_t kVersionAt = 20;
constexpr uint32_t kVersion = 1;
constexpr std::size_t kMapSizeAt = 32;
constexpr std::size_t kPageSizeAt = 40;
constexpr std::size_t kDatabaseAt[2] = {40, 88};
constexpr std::size_t kDepthOffset = 6;
constexpr std::size_t kRootOffset = 40;
constexpr std::size_t kLastPageAt = 136;
constexpr std::size_t kTransactionAt = 144;
constexpr std::size_t kMetaBytes = 152;
constexpr uint64_t kNoPage = ~uint64_t{0};
// LMDB's bounds of a page, of the depth of a tree and of a map it takes
// from a file.
constexpr uint32_t kMinPageSize = 512;
constexpr uint32_t kMaxPageSize = 32768;
constexpr uint16_t kMaxDepth = 32;
constexpr uint64_t kMaxFileMap = uint64_t{1} << 36;

template <typename T>
T field(const unsigned char* page, std::size_t at) {
  T value;
  std::memcpy(&value, page + at, sizeof value);
  return value;
}

struct Meta {
  uint32_t page_size = 0;
  uint64_t map_size = 0;
  uint64_t last_page = 0;
  uint64_t transaction = 0;
  uint64_t root[2] = {0, 0};
  uint16_t depth[2] = {0, 0};
};

// Reads the meta page at `at`; false (with `why`) when it is none.
bool read_meta(int fd, off_t at, Meta& meta, std::string& why) {
  unsigned char page[kMetaBytes];
  ssize_t n = ::pread(fd, page, sizeof page, at);
  if (n < 0) {
    why = std::strerror(errno);
    return false;
  }
  if (static_cast<std::size_t>(n) < sizeof page) {
    why = "the file ends within its meta page at " + std::to_string(at);
    return false;
  }
  if ((field<uint16_t>(page, kFlagsAt) & kMetaFlag) == 0 ||
      field<uint32_t>(page, kMagicAt) != kMagic) {
    why = "no meta page at " + std::to_string(at);
    return false;
  }
  if (field<uint32_t>(page, kVersionAt) != kVersion) {
    why = "the meta page at " + std::to_string(at) + " is of another version";
    return false;
  }
  meta.page_size = field<uint32_t>(page, kPageSizeAt);
  meta.map_size = field<uint64_t>(page, kMapSizeAt);
  meta.last_page = field<uint64_t>(page, kLastPageAt);
  meta.transaction = field<uint64_t>(page, kTransactionAt);
  for (int db = 0; db < 2; ++db) {
    meta.root[db] = field<uint64_t>(page, kDatabaseAt[db] + kRootOffset);
    meta.depth[db] = field<uint16_t>(page, kDatabaseAt[db] + kDepthOffset);
  }
  return true;
}

// The pages of a tree, as LMDB lays them out: a header of 16 bytes (the
// number, padding, the flags, the lower and upper bounds of the free room;
// an overflow page has its count of pages where the bounds are), then the
// offsets of the nodes (2 bytes each), the free room, and the nodes, which
// fill the page from the upper bound to its end. A node: data size (a
// branch: the child's page number) in 4 bytes, flags (a branch: the page
// number's upper bytes), key size, key, then a leaf's data (the number of
// its first overflow page with F_BIGDATA), padded to an even size.
constexpr std::size_t kHeader = 16;
constexpr std::size_t kNode = 8;
constexpr uint16_t kBranch = 0x01;
constexpr uint16_t kLeaf = 0x02;
constexpr uint16_t kOverflow = 0x04;
constexpr uint16_t kLeaf2 = 0x20;
constexpr uint16_t kBigData = 0x01;
constexpr uint16_t kSubData = 0x02;
constexpr uint16_t kDupData = 0x04;
constexpr std::size_t kDatabaseRecord = 48;
constexpr std::size_t kRecordRoot = 40;
// The largest data of a node read here (a list of free pages).
constexpr uint64_t kMaxData = uint64_t{1} << 28;

class PageWalk {
 public:
  PageWalk(int fd, const Meta& meta)
      : fd_(fd),
        size_(meta.page_size),
        last_(meta.last_page),
        page_(size_),
        seen_(meta.last_page + 1, false) {}

  // Walks the tree of `root` (kNoPage: none); `kind` 0 the free pages', 1
  // the main one, 2 a named database.
  bool tree(uint64_t root, int kind, std::string& why) {
    if (root == kNoPage) return true;
    std::vector<std::pair<uint64_t, int>> stack{{root, 1}};
    std::vector<uint64_t> named;
    while (!stack.empty()) {
      auto [number, depth] = stack.back();
      stack.pop_back();
      if (depth > kMaxDepth) return bad(why, number, "the tree is deeper than LMDB goes");
      if (!take(number, 1, why) || !read(number, page_.data(), why)) return false;
      uint16_t flags = field<uint16_t>(page_.data(), kFlagsAt);
      bool branch = (flags & kBranch) != 0;
      if (branch == ((flags & kLeaf) != 0) || (flags & (kOverflow | kLeaf2)) != 0) {
        return bad(why, number, "it is no branch or leaf page");
      }
      std::vector<Node> nodes;
      if (!read_nodes(number, branch, nodes, why)) return false;
      if (branch && nodes.empty()) return bad(why, number, "a branch page without nodes");
      for (const Node& n : nodes) {
        if (branch) {
          stack.push_back({n.child, depth + 1});
          continue;
        }
        if ((n.flags & kDupData) != 0 || ((n.flags & kSubData) != 0) != (kind == 1)) {
          return bad(why, number, "a node of a kind this history does not hold");
        }
        if (kind == 1) {
          if (n.size != kDatabaseRecord || (n.flags & kBigData) != 0) {
            return bad(why, number, "a database record of the wrong size");
          }
          named.push_back(field<uint64_t>(page_.data(), n.data + kRecordRoot));
        }
        if (kind == 0 && !free_list(number, n, why)) return false;
        if (kind != 0 && (n.flags & kBigData) != 0 && !overflow(number, n, nullptr, why)) {
          return false;
        }
      }
    }
    for (uint64_t root : named) {
      if (root != kNoPage && (root < 2 || root > last_)) {
        return bad(why, root, "a database's root is outside the file");
      }
      if (!tree(root, 2, why)) return false;
    }
    return true;
  }

 private:
  struct Node {
    uint16_t flags = 0;
    uint64_t size = 0;     // a leaf's data
    uint64_t child = 0;    // a branch's page
    std::size_t data = 0;  // where a leaf's data starts in the page
  };

  static bool bad(std::string& why, uint64_t number, const char* what) {
    why = "page " + std::to_string(number) + ": " + what;
    return false;
  }

  bool read(uint64_t number, unsigned char* to, std::string& why) {
    ssize_t n = ::pread(fd_, to, size_, static_cast<off_t>(number * size_));
    if (n != static_cast<ssize_t>(size_)) return bad(why, number, "it cannot be read whole");
    if (field<uint64_t>(to, 0) != number) return bad(why, number, "it bears another number");
    return true;
  }

  // Pages number to number + count - 1 are met for the first time.
  bool take(uint64_t number, uint64_t count, std::string& why) {
    if (number < 2 || number > last_ || count > last_ - number + 1) {
      return bad(why, number, "it is outside the file");
    }
    for (uint64_t i = number; i < number + count; ++i) {
      if (seen_[i]) return bad(why, i, "it is reached twice");
      seen_[i] = true;
    }
    return true;
  }

  // The nodes of the page read: they tile it from its upper bound to its
  // end, each within it.
  bool read_nodes(uint64_t number, bool branch, std::vector<Node>& nodes, std::string& why) {
    const unsigned char* p = page_.data();
    std::size_t lower = field<uint16_t>(p, 12);
    std::size_t upper = field<uint16_t>(p, 14);
    if (lower < kHeader || (lower - kHeader) % 2 != 0 || upper < lower || upper > size_) {
      return bad(why, number, "its bounds of free room are wrong");
    }
    std::size_t count = (lower - kHeader) / 2;
    std::vector<std::pair<std::size_t, std::size_t>> extents;  // start, length
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t at = field<uint16_t>(p, kHeader + 2 * i);
      if (at < upper || at + kNode > size_) return bad(why, number, "a node is outside it");
      Node n;
      uint64_t low = field<uint16_t>(p, at), high = field<uint16_t>(p, at + 2);
      n.flags = field<uint16_t>(p, at + 4);
      std::size_t key = field<uint16_t>(p, at + 6);
      std::size_t length = kNode + key;
      if (branch) {
        n.child = low | high << 16 | static_cast<uint64_t>(n.flags) << 32;
        if (n.child < 2 || n.child > last_) return bad(why, number, "it names a page outside");
      } else {
        n.size = low | high << 16;
        n.data = at + kNode + key;
        length += (n.flags & kBigData) != 0 ? 8 : n.size;
      }
      length += length % 2;
      if (length > size_ - at) return bad(why, number, "a node runs past its end");
      extents.push_back({at, length});
      nodes.push_back(n);
    }
    std::sort(extents.begin(), extents.end());
    std::size_t next = upper;
    for (const auto& [at, length] : extents) {
      if (at != next) return bad(why, number, "its nodes do not fill it as LMDB lays them out");
      next = at + length;
    }
    if (next != size_) return bad(why, number, "its nodes do not fill it as LMDB lays them out");
    return true;
  }

  // The overflow pages of a leaf's data; `data` gets the data when given.
  bool overflow(uint64_t number, const Node& n, std::vector<unsigned char>* data,
                std::string& why) {
    uint64_t first = field<uint64_t>(page_.data(), n.data);
    std::vector<unsigned char> head(size_);
    if (first < 2 || first > last_ || !read(first, head.data(), why)) {
      return bad(why, number, "its data's overflow page is outside the file or unreadable");
    }
    uint64_t pages = field<uint32_t>(head.data(), 12);
    if ((field<uint16_t>(head.data(), kFlagsAt) & kOverflow) == 0 || pages == 0 ||
        n.size > pages * size_ - kHeader || n.size > kMaxData) {
      return bad(why, first, "no overflow page of the data's size");
    }
    if (!take(first, pages, why)) return false;
    if (data != nullptr) {
      data->resize(n.size);
      ssize_t got = n.size == 0 ? 0
                                : ::pread(fd_, data->data(), n.size,
                                          static_cast<off_t>(first * size_ + kHeader));
      if (got != static_cast<ssize_t>(n.size)) return bad(why, first, "it cannot be read whole");
    }
    return true;
  }

  // A list of free pages: its count, then the pages, each within the file.
  bool free_list(uint64_t number, const Node& n, std::string& why) {
    std::vector<unsigned char> data;
    if ((n.flags & kBigData) != 0) {
      if (!overflow(number, n, &data, why)) return false;
    } else {
      data.assign(page_.begin() + static_cast<std::ptrdiff_t>(n.data),
                  page_.begin() + static_cast<std::ptrdiff_t>(n.data + n.size));
    }
    if (data.size() < 8) return bad(why, number, "a list of free pages without its count");
    uint64_t count = field<uint64_t>(data.data(), 0);
    if (count > data.size() / 8 - 1) return bad(why, number, "a list of free pages cut short");
    for (uint64_t i = 1; i <= count; ++i) {
      uint64_t page = field<uint64_t>(data.data(), 8 * i);
      if (page < 2 || page > last_) return bad(why, number, "a free page outside the file");
      free_.push_back(page);
    }
    return true;
  }

 public:
  // No page listed as free is a page of the trees (a write would put new
  // pages over them).
  bool free_pages_unused(std::string& why) {
    for (uint64_t page : free_) {
      if (seen_[page]) return bad(why, page, "it is listed as free and in use");
    }
    return true;
  }

 private:
  int fd_;
  std::size_t size_;
  uint64_t last_;
  std::vector<unsigned char> page_;
  std::vector<bool> seen_;
  std::vector<uint64_t> free_;
};

}  // namespace

int check_lmdb_file(const std::string& path, bool whole_tree, std::string& why) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return 0;
    why = std::strerror(errno);
    return errno;
  }
  Meta metas[2];
  int rc = kBadFile;
  struct stat st {};
  if (!read_meta(fd, 0, metas[0], why)) {
  } else if (metas[0].page_size < kMinPageSize || metas[0].page_size > kMaxPageSize ||
             (metas[0].page_size & (metas[0].page_size - 1)) != 0) {
    why = "its page size " + std::to_string(metas[0].page_size) + " is none LMDB writes";
  } else if (!read_meta(fd, metas[0].page_size, metas[1], why)) {
  } else if (metas[1].page_size != metas[0].page_size) {
    why = "its meta pages differ in the page size";
  } else if (::fstat(fd, &st) != 0) {
    why = std::strerror(errno);
    rc = errno;
  } else {
    const Meta& m = metas[1].transaction > metas[0].transaction ? metas[1] : metas[0];
    uint64_t pages = static_cast<uint64_t>(st.st_size) / m.page_size;
    if (m.last_page < 1 || m.last_page >= pages) {
      why = "the file of " + std::to_string(st.st_size) + " bytes is cut short (its last page is " +
            std::to_string(m.last_page) + " of " + std::to_string(m.page_size) + " bytes)";
    } else if (m.map_size > kMaxFileMap) {
      why = "its map size " + std::to_string(m.map_size) + " is out of bounds";
    } else if ((m.root[0] != kNoPage && (m.root[0] < 2 || m.root[0] > m.last_page)) ||
               (m.root[1] != kNoPage && (m.root[1] < 2 || m.root[1] > m.last_page)) ||
               m.depth[0] > kMaxDepth || m.depth[1] > kMaxDepth) {
      why = "its meta page names a root page it does not have";
    } else if (whole_tree) {
      PageWalk walk(fd, m);
      if (walk.tree(m.root[0], 0, why) && walk.tree(m.root[1], 1, why) &&
          walk.free_pages_unused(why)) {
        rc = 0;
      }
    } else {
      rc = 0;
    }
  }
  ::close(fd);
  return rc;
}

}  // namespace quillmar::platform
