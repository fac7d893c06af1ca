// Reading a text file in pieces the way the old host's text mode did: a
// carriage return before a line feed belongs to the line end, and each read
// takes at most a given number of characters up to and including the line
// feed, so that a longer line comes back in several pieces.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/fs.hpp"

namespace quillmar {

class TextReader {
 public:
  bool open(std::string_view path);
  void close() { file_.close(); }
  bool is_open() const { return file_.is_open(); }

  // The next piece of at most `maximum` characters (the line feed included
  // when it was reached); false at the end of the file. The view stays
  // valid until the next call.
  bool read_piece(std::size_t maximum, std::string_view& piece);

 private:
  int next();      // the next byte after line-end translation, or EOF
  int peek_raw();  // the next raw byte, not consumed

  platform::File file_;
  char buffer_[65536];
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  char line_[4096];
};

// A piece without its line feeds and cut at its first NUL byte.
std::string_view line_text(std::string_view piece);

}  // namespace quillmar
