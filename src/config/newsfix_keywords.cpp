#include "config/newsfix_keywords.hpp"

#include <new>

#include "base/char_class.hpp"
#include "config/newsfix_files.hpp"

namespace quillmar {

namespace {

NewsFixSettings& newsfix() {
  return settings->newsfix;
}

// The longest password a subject carries.
constexpr std::size_t kPasswordMax = 71;

}  // namespace

// NewsFixNode <address or pattern> <password> [most groups]
void kw_newsfix_node(const ConfigLine& at) {
  std::string_view rest = at.value;
  std::string_view pattern = next_parameter(rest);
  std::string_view password = next_parameter(rest);
  std::string_view most = next_parameter(rest);
  if (password.empty()) return at.warn("NewsFixNode misses parameter");
  if (!rest.empty()) return at.warn("NewsFixNode has too many parameters");
  if (!valid_node_pattern(pattern)) return at.warn("not a FidoNet address or pattern");
  if (password.size() > kPasswordMax) return at.warn("password too long");
  NewsFixNodeEntry entry;
  if (!most.empty()) {
    uint64_t n = 0;
    bool ok = most.size() <= 9;
    for (char c : most) {
      ok = ok && is_digit(c);
      if (ok) n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (!ok) return at.warn("a whole number of 0 or more is required");
    entry.most_groups = static_cast<uint32_t>(n);
  }
  try {
    entry.pattern = pattern;
    entry.password = password;
    newsfix().nodes.push_back(std::move(entry));
  } catch (const std::bad_alloc&) {
    at.warn("out of memory");
  }
}

// NewsFixAllow <wildmat>
void kw_newsfix_allow(const ConfigLine& at) {
  if (at.value.empty() || at.value.find_first_of(" \t") != std::string_view::npos) {
    return at.warn("a wildmat without blanks is required");
  }
  try {
    newsfix().allow.emplace_back(at.value);
  } catch (const std::bad_alloc&) {
    at.warn("out of memory");
  }
}

// NewsFixName <name>: the robot's name (a To name of at most 35 characters).
void kw_newsfix_name(const ConfigLine& at) {
  if (at.value.empty() || at.value.size() > 35) {
    return at.warn("a name of 1 to 35 characters is required");
  }
  newsfix().name = at.value;
}

}  // namespace quillmar
