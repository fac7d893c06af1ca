// Bounded text: a fixed buffer of N bytes holding at most N - 1 characters
// and a terminating NUL. Every store is bounded; a longer value is cut, and
// the store reports whether the whole value fitted.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quillmar {

template <std::size_t N>
class Text {
  static_assert(N >= 1);

 public:
  static constexpr std::size_t capacity = N - 1;

  // Only the text is set up: the bytes behind its end are never read, and
  // a message's many fields are cleared for every message.
  Text() { data_[0] = '\0'; }
  explicit Text(std::string_view s) { assign(s); }

  // Stores the first N - 1 characters of `s`; true when nothing was cut.
  bool assign(std::string_view s) {
    len_ = static_cast<uint32_t>(std::min(s.size(), capacity));
    if (len_ != 0) std::memmove(data_, s.data(), len_);
    data_[len_] = '\0';
    return s.size() <= capacity;
  }
  Text& operator=(std::string_view s) {
    assign(s);
    return *this;
  }

  // Appends as much of `s` as fits; true when nothing was cut.
  bool append(std::string_view s) {
    std::size_t room = capacity - len_;
    std::size_t n = std::min(room, s.size());
    if (n != 0) std::memmove(data_ + len_, s.data(), n);
    len_ += static_cast<uint32_t>(n);
    data_[len_] = '\0';
    return s.size() <= room;
  }
  bool push_back(char c) { return append(std::string_view(&c, 1)); }

  // Shortens the text to `n` characters (no effect when already shorter).
  void truncate(std::size_t n) {
    if (n < len_) {
      len_ = static_cast<uint32_t>(n);
      data_[len_] = '\0';
    }
  }
  void clear() { truncate(0); }

  // Replaces the whole text with what `fill` writes into the raw buffer
  // (a NUL-terminated string of at most N - 1 characters).
  template <class Fill>
  void fill_raw(Fill&& fill) {
    fill(data_, N);
    data_[N - 1] = '\0';
    len_ = static_cast<uint32_t>(std::strlen(data_));
  }

  const char* c_str() const { return data_; }
  std::string_view view() const { return std::string_view(data_, len_); }
  operator std::string_view() const { return view(); }
  std::size_t size() const { return len_; }
  bool empty() const { return len_ == 0; }
  char operator[](std::size_t i) const { return data_[i]; }
  char back() const { return len_ != 0 ? data_[len_ - 1] : '\0'; }

  // Changes one character in place (i < size()).
  void set(std::size_t i, char c) {
    if (i < len_) data_[i] = c;
  }

 private:
  uint32_t len_ = 0;
  char data_[N];
};

}  // namespace quillmar
