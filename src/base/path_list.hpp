// A list of paths held at their length: the names one after the other in
// one block, each ended by a NUL, so that a long list costs its characters
// and no allocation per name once the block has grown.
#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>

namespace quillmar {

class PathList {
 public:
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::string_view*;
    using reference = std::string_view;

    Iterator(const std::string* names, std::size_t at) : names_(names), at_(at) {}
    std::string_view operator*() const {
      std::string_view rest = std::string_view(*names_).substr(at_);
      return rest.substr(0, rest.find('\0'));
    }
    Iterator& operator++() {
      std::size_t end = names_->find('\0', at_);
      at_ = end == std::string::npos ? names_->size() : end + 1;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const Iterator& other) const { return at_ == other.at_; }

   private:
    const std::string* names_;
    std::size_t at_;
  };

  // Names holding a NUL are cut there (no path holds one).
  void push_back(std::string_view name) {
    names_.append(name.substr(0, name.find('\0')));
    names_.push_back('\0');
    ++count_;
  }
  // Empties the list; the block is kept for the next names.
  void clear() {
    names_.clear();
    count_ = 0;
  }
  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }
  Iterator begin() const { return Iterator(&names_, 0); }
  Iterator end() const { return Iterator(&names_, names_.size()); }

 private:
  std::string names_;
  std::size_t count_ = 0;
};

}  // namespace quillmar
