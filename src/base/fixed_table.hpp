// A table of fixed capacity whose storage is allocated once at start-up and
// whose entries are appended in order and never removed.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#include "base/log.hpp"

namespace quillmar {

template <class T, std::size_t Capacity>
class FixedTable {
 public:
  static constexpr std::size_t capacity = Capacity;

  void allocate() { items_ = static_cast<T*>(alloc_or_exit(sizeof(T) * Capacity)); }

  // Destroys every entry and gives the storage back (used between tests).
  void release() {
    for (std::size_t i = 0; i < count_; ++i) items_[i].~T();
    std::free(items_);
    items_ = nullptr;
    count_ = 0;
  }

  // A new empty entry at the end, or nullptr when the table is full.
  T* add() {
    if (items_ == nullptr || count_ == Capacity) return nullptr;
    return new (&items_[count_++]) T{};
  }
  // Removes every entry; the storage stays for the next ones.
  void clear() {
    for (std::size_t i = 0; i < count_; ++i) items_[i].~T();
    count_ = 0;
  }
  bool full() const { return count_ == Capacity; }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  T& operator[](std::size_t i) { return items_[i]; }
  const T& operator[](std::size_t i) const { return items_[i]; }
  T* begin() { return items_; }
  T* end() { return items_ + count_; }
  const T* begin() const { return items_; }
  const T* end() const { return items_ + count_; }

 private:
  T* items_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace quillmar
