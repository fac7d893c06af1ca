#include "base/text_reader.hpp"

#include <cstdio>

namespace quillmar {

bool TextReader::open(std::string_view path) {
  pos_ = end_ = 0;
  return file_.open(path, platform::OpenMode::read);
}

int TextReader::peek_raw() {
  if (pos_ == end_) {
    end_ = file_.read(buffer_, sizeof buffer_);
    pos_ = 0;
    if (end_ == 0) return EOF;
  }
  return static_cast<unsigned char>(buffer_[pos_]);
}

int TextReader::next() {
  int c = peek_raw();
  // A Ctrl-Z ends a text file, as DOS editors write it.
  if (c == EOF || c == 0x1A) return EOF;
  ++pos_;
  if (c == '\r' && peek_raw() == '\n') {
    ++pos_;
    return '\n';
  }
  return c;
}

bool TextReader::read_piece(std::size_t maximum, std::string_view& piece) {
  if (maximum > sizeof line_) maximum = sizeof line_;
  std::size_t n = 0;
  while (n < maximum) {
    int c = next();
    if (c == EOF) break;
    line_[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  piece = std::string_view(line_, n);
  return n != 0;
}

std::string_view line_text(std::string_view piece) {
  while (!piece.empty() && piece.back() == '\n') piece.remove_suffix(1);
  return piece.substr(0, piece.find('\0'));
}

}  // namespace quillmar
