#include "import/mime_render.hpp"

#include <algorithm>

#include "base/char_class.hpp"
#include "base/charset.hpp"
#include "base/text_helpers.hpp"
#include "import/mime_html.hpp"
#include "rfc/flowed_text.hpp"
#include "rfc/mime_words.hpp"

namespace quillmar {

namespace {

// Deeper nesting than this is shown as it stands.
constexpr int kMaxDepth = 32;

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_line_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_line_space(s.back())) s.remove_suffix(1);
  return s;
}

std::string lower(std::string_view s) {
  std::string out(trim(s));
  for (char& c : out) c = ascii_lower(c);
  return out;
}

struct EntityHeader {
  std::string content_type;
  std::string transfer_encoding;
  std::string disposition;
  std::string from;
  std::string date;
  std::string subject;
};

// Whether `line` belongs to a header block: a field (a name of printable
// characters other than the colon, then a colon) or, after a field, a
// continuation line.
bool is_header_line(std::string_view line, bool after_field) {
  if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) return after_field;
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  for (char c : line.substr(0, colon)) {
    if (c < 33 || c > 126) return false;
  }
  return true;
}

// The header block of an entity and its body: the header is the run of
// header lines at its start (a mailbox "From " line before them
// included), ended by an empty line, which belongs to neither, or by the
// first line that is no header line, which starts the body. So a
// forwarded message that holds only text keeps every line of it.
void split_entity(std::string_view entity, std::string_view& header, std::string_view& body) {
  std::size_t pos = 0;
  bool after_field = false;
  while (pos < entity.size()) {
    std::size_t start = pos;
    std::string_view line = next_line(entity, pos);
    if (line.empty()) {
      header = entity.substr(0, start);
      body = entity.substr(pos);
      return;
    }
    if (start == 0 && line.starts_with("From ")) continue;
    if (!is_header_line(line, after_field)) {
      header = entity.substr(0, start);
      body = entity.substr(start);
      return;
    }
    after_field = true;
  }
  header = entity;
  body = std::string_view();
}

// The fields of a header block that the rendering needs (the first of
// each), folded lines joined.
EntityHeader parse_header(std::string_view block) {
  EntityHeader h;
  std::vector<std::string> fields;
  std::size_t pos = 0;
  while (pos < block.size()) {
    std::string_view line = next_line(block, pos);
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !fields.empty()) {
      fields.back() += ' ';
      fields.back() += trim(line);
    } else {
      fields.emplace_back(line);
    }
  }
  auto take = [](std::string_view field, std::string_view name, std::string& out) {
    if (out.empty() && field.size() > name.size() && starts_with_nocase(field, name) &&
        field[name.size()] == ':') {
      out = std::string(trim(field.substr(name.size() + 1)));
    }
  };
  for (const std::string& f : fields) {
    take(f, "Content-Type", h.content_type);
    take(f, "Content-Transfer-Encoding", h.transfer_encoding);
    take(f, "Content-Disposition", h.disposition);
    take(f, "From", h.from);
    take(f, "Date", h.date);
    take(f, "Subject", h.subject);
  }
  return h;
}

// The parts of a multipart body: the text between the delimiter lines of
// `boundary`, without the line end before each delimiter; preamble and
// epilogue are left out.
std::vector<std::string_view> split_multipart(std::string_view body, std::string_view boundary) {
  std::vector<std::string_view> parts;
  std::size_t pos = 0;
  std::size_t part_start = std::string_view::npos;
  while (pos < body.size()) {
    std::size_t start = pos;
    std::string_view line = next_line(body, pos);
    if (line.size() >= 2 + boundary.size() && line.substr(0, 2) == "--" &&
        line.substr(2, boundary.size()) == boundary) {
      std::string_view rest = line.substr(2 + boundary.size());
      bool closing = rest.substr(0, 2) == "--";
      if (closing) rest.remove_prefix(2);
      if (trim(rest).empty()) {
        if (part_start != std::string_view::npos) {
          std::size_t part_end = start;
          if (part_end > part_start && body[part_end - 1] == '\n') --part_end;
          if (part_end > part_start && body[part_end - 1] == '\r') --part_end;
          parts.push_back(body.substr(part_start, part_end - part_start));
        }
        part_start = pos;
        if (closing) return parts;
      }
    }
  }
  if (part_start != std::string_view::npos && part_start < body.size()) {
    parts.push_back(body.substr(part_start));
  }
  return parts;
}

// The charset an HTML document names in a meta element near its start
// ("<meta charset=...>" or "content=\"text/html; charset=...\""); empty
// when it names none.
std::string meta_charset(std::string_view html) {
  std::string head = lower(html.substr(0, 4096));
  std::size_t at = head.find("charset=");
  if (at == std::string::npos) return {};
  std::size_t start = at + 8;
  while (start < head.size() && (head[start] == '"' || head[start] == '\'')) ++start;
  std::size_t end = start;
  auto name_char = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == ':';
  };
  while (end < head.size() && name_char(head[end])) {
    ++end;
  }
  return head.substr(start, end - start);
}

// Whether `data` is text in `charset` (an Internet charset name, empty when
// none is declared): it holds no NUL byte, and no sequence that a
// multibyte charset does not have.
bool is_text_in(std::string_view data, std::string_view charset) {
  if (data.find('\0') != std::string_view::npos) return false;
  std::string name = lower(charset);
  if (name == "utf-8" || name == "utf8") return is_utf8(data);
  static constexpr std::string_view kMultibyte[] = {
      "shift_jis",   "shift-jis", "sjis",    "euc-jp", "euc-kr",     "euc-tw",
      "gb2312",      "gbk",       "gb18030", "big5",   "big5-hkscs", "iso-2022-jp",
      "iso-2022-kr", "cp932",     "cp936",   "cp949",  "cp950",      "windows-31j"};
  bool multibyte = false;
  for (std::string_view m : kMultibyte) multibyte = multibyte || name == m;
  if (!multibyte || !charset_known(name) || is_ascii(data)) return true;
  // The recoding shows an invalid sequence as "?".
  auto marks = [](std::string_view s) { return std::count(s.begin(), s.end(), '?'); };
  return marks(recode(data, name, "UTF-8")) == marks(data);
}

std::string decode_transfer(std::string_view body, std::string_view encoding) {
  std::string cte = lower(encoding);
  if (cte == "base64") return decode_base64_text(body);
  if (cte == "quoted-printable") return decode_quoted_printable(body);
  return std::string(body);
}

class Renderer {
 public:
  explicit Renderer(const RenderOptions& options) : options_(options) {}

  void entity(const EntityHeader& h, std::string_view body, bool digest_part, int depth) {
    std::string_view type_text = h.content_type;
    if (type_text.empty()) type_text = digest_part ? "message/rfc822" : "text/plain";
    MimeField type = parse_mime_field(type_text, options_.fallback_charset);
    if (type.value.find('/') == std::string::npos) type.value = "text/plain";
    MimeField disposition = parse_mime_field(h.disposition, options_.fallback_charset);
    std::string name = disposition.param("filename");
    if (name.empty()) name = type.param("name");
    bool attached = disposition.value == "attachment" && !name.empty();
    const std::string& t = type.value;

    if (depth > kMaxDepth) {
      text(to_utf8(body, "", options_.fallback_charset));
      return;
    }
    if (t.rfind("multipart/", 0) == 0) {
      std::string boundary = type.param("boundary");
      std::vector<std::string_view> parts;
      if (!boundary.empty()) parts = split_multipart(body, boundary);
      if (parts.empty()) {
        // No part where the header promised some: the text is shown as it came.
        text(to_utf8(body, "", options_.fallback_charset));
        return;
      }
      if (t == "multipart/alternative") {
        alternative(parts, depth);
        return;
      }
      for (std::string_view part : parts) {
        std::string_view header, part_body;
        split_entity(part, header, part_body);
        entity(parse_header(header), part_body, t == "multipart/digest", depth + 1);
      }
      return;
    }
    if (t == "message/external-body" && !attached) {
      external(type, body);
      return;
    }
    if (t == "message/rfc822" && !attached) {
      forwarded(decode_transfer(body, h.transfer_encoding), depth);
      return;
    }
    // Text, and the reports of bounces and receipts, are shown as text.
    bool textual = t.rfind("text/", 0) == 0 || t == "application/pgp-signature" ||
                   t == "message/delivery-status" || t == "message/disposition-notification" ||
                   t == "message/rfc822-headers";
    if (textual && !attached) {
      // Only a named part can be a file.
      if (hidden_ && name.empty()) return;
      std::string data;
      // Text that its label calls base64 is text.
      bool wrong_base64 =
          lower(h.transfer_encoding) == "base64" &&
          plainly_not_base64(body, true,
                             !h.content_type.empty() && t.starts_with("text/") && name.empty());
      data = wrong_base64 ? std::string(body) : decode_transfer(body, h.transfer_encoding);
      std::string charset = type.param("charset");
      // A named part whose bytes are no text in its charset is a file.
      if (!name.empty() && !is_text_in(data, charset)) {
        add_file(name, std::move(data));
        return;
      }
      if (hidden_) return;
      if (wrong_base64) ++findings_.wrong_base64;
      if (charset.empty() && t == "text/html") charset = meta_charset(data);
      std::string utf8 = to_utf8(data, charset, options_.fallback_charset);
      separate();
      if (t == "text/html") {
        for (std::string& line : html_to_text(utf8, options_.html_width)) add_line(line);
      } else if (t == "text/plain" && lower(type.param("format")) == "flowed") {
        // Paragraphs as one line each: FidoNet readers wrap them.
        text(unflow_text(utf8, lower(type.param("delsp")) == "yes"));
      } else {
        text(utf8);
      }
      return;
    }
    add_file(name, decode_transfer(body, h.transfer_encoding));
  }

  std::vector<BodyItem> take() { return std::move(items_); }
  const RenderFindings& findings() const { return findings_; }

 private:
  // Of the alternatives: the first plain text, else a nested multipart,
  // else the HTML, else the last one.
  void alternative(const std::vector<std::string_view>& parts, int depth) {
    int chosen = -1;
    int rank = 99;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      std::string_view header, body;
      split_entity(parts[i], header, body);
      EntityHeader h = parse_header(header);
      std::string t = parse_mime_field(h.content_type.empty() ? "text/plain" : h.content_type,
                                       options_.fallback_charset)
                          .value;
      int r = t == "text/plain" ? 0 : t.rfind("multipart/", 0) == 0 ? 1 : t == "text/html" ? 2 : 3;
      if (r < rank || (r == 3 && rank == 3)) {
        rank = r;
        chosen = static_cast<int>(i);
      }
    }
    if (chosen < 0) return;
    std::string_view header, body;
    split_entity(parts[static_cast<std::size_t>(chosen)], header, body);
    entity(parse_header(header), body, false, depth + 1);
    // The files of the others (the inline images of the HTML) are saved;
    // their text, another rendering of the same content, is left out.
    bool was_hidden = hidden_;
    hidden_ = true;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (static_cast<int>(i) == chosen) continue;
      split_entity(parts[i], header, body);
      entity(parse_header(header), body, false, depth + 1);
    }
    hidden_ = was_hidden;
  }

  void forwarded(std::string_view message, int depth) {
    std::string_view header, body;
    split_entity(message, header, body);
    EntityHeader h = parse_header(header);
    separate();
    add_line("----- Forwarded message -----");
    const std::string& fb = options_.fallback_charset;
    if (!h.from.empty()) add_line("From: " + decode_header_text(h.from, fb));
    if (!h.date.empty()) add_line("Date: " + decode_header_text(h.date, fb));
    if (!h.subject.empty()) add_line("Subject: " + decode_header_text(h.subject, fb));
    add_line("");
    entity(h, body, false, depth + 1);
    separate();
    add_line("----- End of forwarded message -----");
  }

  // A part kept elsewhere: where to get it (its access parameters), its
  // type, and the text that goes with it (the commands of a mail server).
  void external(const MimeField& type, std::string_view body) {
    std::string_view header, text_body;
    split_entity(body, header, text_body);
    EntityHeader h = parse_header(header);
    separate();
    add_line("----- External content -----");
    static constexpr std::pair<std::string_view, std::string_view> kShown[] = {
        {"access-type", "Access"},
        {"url", "URL"},
        {"site", "Site"},
        {"directory", "Directory"},
        {"name", "Name"},
        {"mode", "Mode"},
        {"server", "Server"},
        {"subject", "Subject"},
        {"size", "Size"},
        {"expiration", "Expires"},
        {"permission", "Permission"}};
    for (const auto& [parameter, label] : kShown) {
      std::string value = type.param(parameter);
      if (!value.empty()) add_line(std::string(label) + ": " + value);
    }
    if (!h.content_type.empty()) {
      add_line("Type: " + parse_mime_field(h.content_type, options_.fallback_charset).value);
    }
    if (!trim(text_body).empty()) {
      add_line("");
      text(to_utf8(text_body, "", options_.fallback_charset));
    }
    add_line("----- End of external content -----");
  }

  // An empty line between the text of two parts.
  void separate() {
    if (hidden_) return;
    for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
      if (it->file) continue;
      if (!it->text.empty()) add_line("");
      return;
    }
  }

  void text(std::string_view utf8) {
    std::size_t pos = 0;
    while (pos < utf8.size()) add_line(next_line(utf8, pos));
  }

  void add_file(const std::string& name, std::string data) {
    BodyItem file;
    file.file = true;
    file.text = name;
    file.data = std::move(data);
    items_.push_back(std::move(file));
  }

  void add_line(std::string_view line) {
    if (hidden_) return;
    BodyItem item;
    item.text = line;
    items_.push_back(std::move(item));
  }

  const RenderOptions& options_;
  std::vector<BodyItem> items_;
  RenderFindings findings_;
  bool hidden_ = false;  // in an alternative not shown: only its files count
};

}  // namespace

std::vector<BodyItem> render_mime_body(std::string_view content_type,
                                       std::string_view transfer_encoding,
                                       std::string_view disposition, std::string_view body,
                                       const RenderOptions& options, RenderFindings* findings) {
  Renderer r(options);
  EntityHeader h;
  h.content_type = content_type;
  h.transfer_encoding = transfer_encoding;
  h.disposition = disposition;
  r.entity(h, body, false, 0);
  if (findings != nullptr) *findings = r.findings();
  return r.take();
}

}  // namespace quillmar
