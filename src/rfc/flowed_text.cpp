#include "rfc/flowed_text.hpp"

#include "base/text_helpers.hpp"

namespace quillmar {

namespace {

bool is_signature_separator(std::string_view line) {
  return line == "-- ";
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
    bool separator = is_signature_separator(line);
    bool flowed = !line.empty() && line.back() == ' ' && !separator;
    // A signature separator is a line of its own.
    if (open && (depth != paragraph_depth || separator)) end_paragraph();
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

}  // namespace quillmar
