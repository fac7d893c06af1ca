#include "rfc/flowed_text.hpp"

namespace quillmar {

namespace {

// The line of `text` at `pos` without its line end; `pos` moves past it.
std::string_view next_line(std::string_view text, std::size_t& pos) {
  std::size_t end = text.find('\n', pos);
  std::string_view line =
      text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
  pos = end == std::string_view::npos ? text.size() : end + 1;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool is_signature_separator(std::string_view line) {
  return line == "-- ";
}

// The number of characters of UTF-8 text (other text: of bytes that do
// not look like UTF-8 continuation bytes).
std::size_t characters(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

// The byte offset after `count` characters of `text`.
std::size_t offset_of(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  for (std::size_t n = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && n++ == count) break;
  }
  return i;
}

// A flowed line as sent: space-stuffed when it starts with a blank, ">"
// or "From ", so that no reader takes it for quoted or a mailbox line.
void append_stuffed(std::string& out, std::string_view line) {
  if (!line.empty() && (line[0] == ' ' || line[0] == '>' || line.starts_with("From "))) {
    out += ' ';
  }
  out += line;
  out += '\n';
}

}  // namespace

std::string unflow_text(std::string_view text, bool delsp) {
  std::string out;
  std::string paragraph;
  bool open = false;
  std::size_t paragraph_depth = 0;
  auto end_paragraph = [&] {
    if (paragraph_depth > 0) {
      out.append(paragraph_depth, '>');
      if (!paragraph.empty()) out += ' ';
    }
    out += paragraph;
    out += '\n';
    paragraph.clear();
    open = false;
  };
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::string_view line = next_line(text, pos);
    std::size_t depth = 0;
    while (depth < line.size() && line[depth] == '>') ++depth;
    line.remove_prefix(depth);
    if (!line.empty() && line[0] == ' ') line.remove_prefix(1);  // space-stuffing
    bool flowed = !line.empty() && line.back() == ' ' && !is_signature_separator(line);
    if (open && depth != paragraph_depth) end_paragraph();
    if (!open) {
      paragraph_depth = depth;
      open = true;
    }
    if (flowed && delsp) line.remove_suffix(1);
    paragraph += line;
    if (!flowed) end_paragraph();
  }
  if (open) end_paragraph();
  return out;
}

std::string flow_text(std::string_view text, std::size_t width) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::string_view line = next_line(text, pos);
    if (is_signature_separator(line)) {
      out += "-- \n";
      continue;
    }
    // A line that ends its paragraph does not end in a blank.
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    // Stuffing adds a character to the lines that need it.
    while (characters(line) + 1 > width) {
      std::size_t limit = offset_of(line, width - 1);
      // The last blank within the width (a line never starts with the
      // blank that broke it), else the first one after it.
      std::size_t blank = line.rfind(' ', limit - 1);
      while (blank != std::string_view::npos && blank > 0 && line[blank - 1] == ' ') --blank;
      if (blank == std::string_view::npos || blank == 0) blank = line.find(' ', limit);
      if (blank == std::string_view::npos) break;
      std::size_t end = blank;
      while (end < line.size() && line[end] == ' ') ++end;
      if (end == line.size()) break;
      append_stuffed(out, line.substr(0, end));
      line.remove_prefix(end);
    }
    append_stuffed(out, line);
  }
  return out;
}

}  // namespace quillmar
