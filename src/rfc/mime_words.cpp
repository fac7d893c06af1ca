#include "rfc/mime_words.hpp"

#include <map>

#include "base/char_class.hpp"
#include "base/charset.hpp"
#include "base/text_helpers.hpp"

namespace quillmar {

namespace {

// `text` with every `escape` and two hexadecimal digits as the byte they
// give (and "_" as a blank in an encoded word); other characters as they
// are.
void append_unescaped(std::string& out, std::string_view text, char escape, bool underscore) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == escape && i + 2 < text.size() && hex_digit_value(text[i + 1]) >= 0 &&
        hex_digit_value(text[i + 2]) >= 0) {
      out.push_back(
          static_cast<char>(16 * hex_digit_value(text[i + 1]) + hex_digit_value(text[i + 2])));
      i += 2;
    } else {
      out.push_back(underscore && text[i] == '_' ? ' ' : text[i]);
    }
  }
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_line_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_line_space(s.back())) s.remove_suffix(1);
  return s;
}

// One encoded word at the start of `text`: its length and its text as
// UTF-8; 0 when `text` does not start with a well-formed one.
std::size_t encoded_word(std::string_view text, std::string_view fallback, std::string& out) {
  if (text.substr(0, 2) != "=?") return 0;
  std::size_t q1 = text.find('?', 2);
  if (q1 == std::string_view::npos || q1 + 2 >= text.size() || text[q1 + 2] != '?') return 0;
  char kind = ascii_lower(text[q1 + 1]);
  if (kind != 'b' && kind != 'q') return 0;
  std::size_t end = text.find("?=", q1 + 3);
  if (end == std::string_view::npos) return 0;
  std::string_view charset = text.substr(2, q1 - 2);
  // RFC 2231 adds a language after "*".
  charset = charset.substr(0, charset.find('*'));
  std::string_view data = text.substr(q1 + 3, end - q1 - 3);
  for (char c : data) {
    if (is_line_space(c)) return 0;
  }
  std::string bytes;
  if (kind == 'b') {
    bytes = decode_base64_text(data);
  } else {
    append_unescaped(bytes, data, '=', true);
  }
  // A control character (a line end, a NUL, the kludge mark) would break
  // the line the text goes into: it becomes a blank.
  out = to_utf8(bytes, charset, fallback);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return end + 2;
}

// "%XX" sequences of a charset-tagged parameter value.
std::string percent_decoded(std::string_view text) {
  std::string out;
  append_unescaped(out, text, '%', false);
  return out;
}

}  // namespace

std::string decode_header_text(std::string_view text, std::string_view fallback) {
  std::string out;
  std::string raw;  // undecoded text waiting to be read as UTF-8 or `fallback`
  std::string run;  // decoded words not yet written, joined
  auto flush_raw = [&] {
    out += to_utf8(raw, "", fallback);
    raw.clear();
  };
  auto flush_run = [&] {
    out += run;
    run.clear();
  };
  std::size_t i = 0;
  bool after_word = false;
  while (i < text.size()) {
    std::string word;
    std::size_t n = encoded_word(text.substr(i), fallback, word);
    if (n > 0) {
      // White space between two encoded words is not part of the text.
      if (after_word) {
        std::string_view between(raw);
        if (trim(between).empty()) raw.clear();
      }
      if (!raw.empty()) {
        flush_run();
        flush_raw();
      }
      run += word;
      i += n;
      after_word = true;
      continue;
    }
    if (!is_line_space(text[i])) {
      if (!run.empty()) flush_run();
      after_word = false;
    }
    if (!run.empty() && is_line_space(text[i])) {
      raw.push_back(text[i]);
      ++i;
      continue;
    }
    raw.push_back(text[i]);
    ++i;
  }
  flush_run();
  flush_raw();
  return out;
}

std::string MimeField::param(std::string_view name) const {
  for (const auto& p : params) {
    if (p.first == name) return p.second;
  }
  return {};
}

std::string unquote_mime_string(std::string_view text, std::size_t& length) {
  std::string out;
  std::size_t i = 1;
  for (; i < text.size() && text[i] != '"'; ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) {
      ++i;
    }
    out.push_back(text[i]);
  }
  length = i < text.size() ? i + 1 : text.size();
  return out;
}

MimeField parse_mime_field(std::string_view text, std::string_view fallback) {
  MimeField field;
  std::size_t semi = text.find(';');
  field.value = lower(trim(text.substr(0, semi)));
  // Values by name: one whole value ("name=", "name*="), or the pieces of
  // a split one ("name*0=", "name*1*=" ...) by number. The form a name is
  // first given in counts, and in it the first value of each number.
  struct Piece {
    std::string text;
    bool encoded = false;
  };
  struct Parameter {
    bool split = false;
    std::map<int, Piece> pieces;
  };
  std::map<std::string, Parameter> split;
  std::vector<std::string> order;
  std::size_t i = semi == std::string_view::npos ? text.size() : semi + 1;
  while (i < text.size()) {
    while (i < text.size() && (is_line_space(text[i]) || text[i] == ';')) ++i;
    std::size_t eq = text.find('=', i);
    if (eq == std::string_view::npos) break;
    std::string name = lower(trim(text.substr(i, eq - i)));
    i = eq + 1;
    while (i < text.size() && is_line_space(text[i])) ++i;
    std::string value;
    if (i < text.size() && text[i] == '"') {
      std::size_t length = 0;
      value = unquote_mime_string(text.substr(i), length);
      i += length;
      while (i < text.size() && text[i] != ';') ++i;
    } else {
      std::size_t end = text.find(';', i);
      if (end == std::string_view::npos) end = text.size();
      value = std::string(trim(text.substr(i, end - i)));
      i = end;
    }
    if (name.empty()) continue;
    bool encoded = name.back() == '*';
    if (encoded) name.pop_back();
    int number = -1;
    std::size_t star = name.rfind('*');
    if (star != std::string::npos && star + 1 < name.size()) {
      std::string digits = name.substr(star + 1);
      bool all_digits = digits.size() <= 4;
      for (char c : digits) all_digits = all_digits && c >= '0' && c <= '9';
      if (all_digits) {
        number = std::stoi(digits);
        name.resize(star);
      }
    }
    auto found = split.find(name);
    if (found == split.end()) {
      order.push_back(name);
      found = split.emplace(name, Parameter{number >= 0, {}}).first;
    } else if (found->second.split != (number >= 0) ||
               found->second.pieces.count(number < 0 ? 0 : number) != 0) {
      continue;
    }
    // An encoded value is decoded also when a mailer put it in quotes.
    found->second.pieces[number < 0 ? 0 : number] = Piece{value, encoded};
  }
  for (const std::string& name : order) {
    const std::map<int, Piece>& pieces = split[name].pieces;
    std::string charset;
    std::string bytes;
    bool first = true;
    bool tagged = false;
    for (const auto& [number, piece] : pieces) {
      std::string_view v = piece.text;
      if (piece.encoded) {
        if (first) {
          // charset'language'text
          std::size_t a = v.find('\'');
          std::size_t b = a == std::string_view::npos ? a : v.find('\'', a + 1);
          if (b != std::string_view::npos) {
            charset = std::string(v.substr(0, a));
            v.remove_prefix(b + 1);
            tagged = true;
          }
        }
        bytes += percent_decoded(v);
      } else {
        bytes += v;
      }
      first = false;
    }
    std::string value =
        tagged ? to_utf8(bytes, charset, fallback) : decode_header_text(bytes, fallback);
    field.params.emplace_back(name, value);
  }
  return field;
}

std::string decode_base64_text(std::string_view text) {
  std::string out;
  int group[4] = {0, 0, 0, 0};
  int count = 0;
  int padding = 0;
  auto flush = [&] {
    if (count >= 2) out.push_back(static_cast<char>((group[0] << 2) | (group[1] >> 4)));
    if (count >= 3) out.push_back(static_cast<char>(((group[1] & 15) << 4) | (group[2] >> 2)));
    if (count >= 4) out.push_back(static_cast<char>(((group[2] & 3) << 6) | group[3]));
    count = 0;
  };
  for (char c : text) {
    if (c == '=') {
      if (count >= 2 && count + ++padding >= 4) {
        flush();
        return out;
      }
      continue;
    }
    int v = c == '-' ? -1 : base64_value(static_cast<unsigned char>(c));
    if (v < 0) continue;
    padding = 0;
    group[count++] = v;
    if (count == 4) flush();
  }
  flush();
  return out;
}

bool plainly_not_base64(std::string_view body, bool complete, bool declared_text) {
  if (!complete) body = body.substr(0, body.rfind('\n') + 1);
  std::size_t characters = 0;   // of the alphabet
  std::size_t first_width = 0;  // of the first line of data
  bool uneven = false;          // a line before the last one of another width
  bool odd = false;             // such a line of a width no encoder writes
  std::size_t last_width = 0;
  std::size_t pos = 0;
  bool before_last = false;  // a line of data came before this one
  while (pos < body.size()) {
    std::size_t end = body.find('\n', pos);
    std::string_view line = body.substr(pos, end == std::string_view::npos ? end : end - pos);
    pos = end == std::string_view::npos ? body.size() : end + 1;
    line = trim(line);
    if (line.empty()) continue;
    for (char c : line) {
      if (c == '=') continue;
      if (c == '-' || base64_value(static_cast<unsigned char>(c)) < 0) return true;
      ++characters;
    }
    if (before_last) {
      // The line before this one was not the last: it is a full line.
      if (first_width == 0) first_width = last_width;
      if (last_width != first_width) uneven = true;
      if (last_width % 4 != 0) odd = true;
    }
    last_width = line.size();
    before_last = true;
  }
  if (uneven && odd) return true;
  if (complete && characters % 4 == 1) return true;
  if (!declared_text) return false;
  std::string data = decode_base64_text(body);
  std::size_t control = 0;
  for (char ch : data) {
    auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1B && c != 0x0E &&
         c != 0x0F) ||
        c == 0x7F) {
      ++control;
    }
  }
  return control * 2 > data.size();
}

std::string decode_quoted_printable(std::string_view text) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    bool last = end == std::string_view::npos;
    std::string_view line = text.substr(pos, last ? std::string_view::npos : end - pos);
    pos = last ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    bool soft = !line.empty() && line.back() == '=';
    if (soft) line.remove_suffix(1);
    append_unescaped(out, line, '=', false);
    if (!soft && !last) out.push_back('\n');
  }
  return out;
}

}  // namespace quillmar
