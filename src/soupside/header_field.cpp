#include "soupside/header_field.hpp"

#include "base/text_helpers.hpp"

namespace quillmar {

// The value of the first header field `name` (without regard to case) of
// the message's header block, blanks around it removed.
std::string header_value(std::string_view message, std::string_view name) {
  std::size_t pos = 0;
  while (pos < message.size()) {
    std::size_t lf = message.find('\n', pos);
    std::string_view line =
        message.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    if (line.empty() || line == "\r") break;
    if (line.size() > name.size() && line[name.size()] == ':' &&
        equals_nocase(line.substr(0, name.size()), name)) {
      std::string_view v = line.substr(name.size() + 1);
      while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
      while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r')) {
        v.remove_suffix(1);
      }
      return std::string(v);
    }
    if (lf == std::string_view::npos) break;
    pos = lf + 1;
  }
  return std::string();
}

bool is_message_id(std::string_view id) {
  if (id.size() < 3 || id.size() > 250 || id.front() != '<' || id.back() != '>') return false;
  for (char c : id) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return false;
  }
  return true;
}

}  // namespace quillmar
