#include "rfc/internet_address.hpp"

#include "base/char_class.hpp"
#include "base/text_helpers.hpp"

namespace quillmar {

namespace {

// The printable characters an atom may hold besides letters and digits.
bool is_atom_char(char c) {
  if (is_alnum(c)) return true;
  constexpr std::string_view kSpecials = "!#$%&'*+-/=?^_`{|}~";
  return kSpecials.find(c) != std::string_view::npos;
}

bool is_dot_atom(std::string_view text) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '.') {
      if (text[i + 1] == '.') return false;
    } else if (!is_atom_char(text[i])) {
      return false;
    }
  }
  return true;
}

bool is_quoted_local_part(std::string_view text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 32 || c >= 127) return false;
    if (c == '\\') {
      if (++i + 1 >= text.size()) return false;
    } else if (c == '"') {
      return false;
    }
  }
  return true;
}

bool is_domain(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    for (char c : text.substr(1, text.size() - 2)) {
      unsigned char u = static_cast<unsigned char>(c);
      if (u <= 32 || u >= 127 || c == '[' || c == ']' || c == '\\') return false;
    }
    return text.size() > 2;
  }
  if (text.empty() || text.size() > 253) return false;
  std::size_t label = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (label == 0 || label > 63 || text[i - 1] == '-' || text[i - label] == '-') return false;
      label = 0;
    } else if (is_alnum(text[i]) || text[i] == '-') {
      ++label;
    } else {
      return false;
    }
  }
  return true;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// One element of an address list: the part in angle brackets, else the
// element without its comments.
std::string element_address(std::string_view element) {
  std::string plain;
  std::string bracketed;
  bool in_brackets = false, has_brackets = false, quoted = false;
  int comment = 0;
  for (std::size_t i = 0; i < element.size(); ++i) {
    char c = element[i];
    if (c == '\\' && (quoted || comment > 0) && i + 1 < element.size()) {
      if (comment == 0) {
        (in_brackets ? bracketed : plain) += element.substr(i, 2);
      }
      ++i;
      continue;
    }
    if (comment > 0) {
      if (c == '(') ++comment;
      if (c == ')') --comment;
      continue;
    }
    if (c == '"') quoted = !quoted;
    if (!quoted && c == '(') {
      ++comment;
      continue;
    }
    if (!quoted && c == '<' && !in_brackets) {
      in_brackets = has_brackets = true;
      bracketed.clear();
      continue;
    }
    if (!quoted && c == '>' && in_brackets) {
      in_brackets = false;
      continue;
    }
    (in_brackets ? bracketed : plain) += c;
  }
  return std::string(trimmed(has_brackets ? bracketed : plain));
}

}  // namespace

bool is_internet_address(std::string_view text) {
  std::size_t at = text.rfind('@');
  if (at == std::string_view::npos || at == 0) return false;
  std::string_view local = text.substr(0, at);
  return (is_dot_atom(local) || is_quoted_local_part(local)) && is_domain(text.substr(at + 1));
}

std::vector<std::string> recipient_addresses(std::string_view list) {
  std::vector<std::string> out;
  std::size_t start = 0;
  bool quoted = false, in_brackets = false;
  int comment = 0;
  auto take = [&](std::size_t end) {
    std::string_view element = list.substr(start, end - start);
    std::string address = element_address(element);
    if (!address.empty()) out.push_back(std::move(address));
    start = end + 1;
  };
  for (std::size_t i = 0; i < list.size(); ++i) {
    char c = list[i];
    if (c == '\\' && (quoted || comment > 0)) {
      ++i;
      continue;
    }
    if (comment > 0) {
      if (c == '(') ++comment;
      if (c == ')') --comment;
      continue;
    }
    if (c == '"') {
      quoted = !quoted;
    } else if (quoted) {
      continue;
    } else if (c == '(') {
      ++comment;
    } else if (c == '<') {
      in_brackets = true;
    } else if (c == '>') {
      in_brackets = false;
    } else if (!in_brackets && c == ':') {
      // A group's name ends here; its members follow.
      start = i + 1;
    } else if (!in_brackets && (c == ',' || c == ';')) {
      take(i);
    }
  }
  take(list.size());
  return out;
}

std::string mail_recipient_problem(std::string_view message) {
  // The fields To, Cc and Bcc of the header, each unfolded.
  std::string fields;
  bool in_recipients = false;
  for (std::size_t pos = 0; pos < message.size();) {
    std::size_t lf = message.find('\n', pos);
    std::size_t end = lf == std::string_view::npos ? message.size() : lf;
    std::string_view line = message.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    if (line.front() == ' ' || line.front() == '\t') {
      if (in_recipients) fields += line;
      continue;
    }
    std::size_t colon = line.find(':');
    std::string_view name = trimmed(line.substr(0, colon));
    in_recipients =
        colon != std::string_view::npos &&
        (equals_nocase(name, "To") || equals_nocase(name, "Cc") || equals_nocase(name, "Bcc"));
    if (in_recipients) {
      fields += ',';
      fields += line.substr(colon + 1);
    }
  }
  std::vector<std::string> addresses = recipient_addresses(fields);
  if (addresses.empty()) return "it names no recipient";
  for (const std::string& a : addresses) {
    if (!is_internet_address(a)) {
      std::string shown = a.substr(0, 100);
      for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
      }
      return "its recipient \"" + shown + "\" is not an Internet address";
    }
  }
  return std::string();
}

}  // namespace quillmar
