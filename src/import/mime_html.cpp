#include "import/mime_html.hpp"

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

#include <climits>
#include <cstring>

#include "base/charset.hpp"

namespace quillmar {

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

bool name_is(const xmlNode* node, const char* name) {
  return node->name != nullptr &&
         xmlStrcasecmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

bool name_in(const xmlNode* node, std::initializer_list<const char*> names) {
  for (const char* n : names) {
    if (name_is(node, n)) return true;
  }
  return false;
}

std::string attribute(const xmlNode* node, const char* name) {
  xmlChar* v = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  if (v == nullptr) return {};
  std::string out(reinterpret_cast<const char*>(v));
  xmlFree(v);
  return out;
}

// Collects words into wrapped lines.
class TextBuilder {
 public:
  explicit TextBuilder(std::size_t width) : width_(width < 20 ? 20 : width) {}

  void word(std::string_view w) {
    if (w.empty()) return;
    std::size_t length = utf8_length(w);
    if (!line_.empty() && line_.size() > prefix().size()) {
      if (line_length_ + 1 + length > width_) {
        end_line();
      } else if (space_) {
        line_.push_back(' ');
        ++line_length_;
      }
    }
    if (line_.empty()) start_line();
    line_ += w;
    line_length_ += length;
    space_ = false;
  }
  void space() { space_ = true; }
  // Text kept as it is (preformatted): one line per line.
  void verbatim(std::string_view text) {
    std::size_t pos = 0;
    while (pos <= text.size()) {
      std::size_t end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view piece = text.substr(pos, end - pos);
      if (!piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
      if (line_.empty()) start_line();
      line_ += piece;
      line_length_ += utf8_length(piece);
      if (end == text.size()) break;
      end_line(true);
      pos = end + 1;
    }
  }
  void line_break() {
    if (line_.empty() && !lines_.empty() && lines_.back().empty()) return;
    end_line(true);
  }
  void paragraph() {
    if (!line_.empty()) end_line();
    if (!lines_.empty() && !lines_.back().empty()) lines_.emplace_back();
  }
  void push_prefix(const std::string& p) { prefixes_.push_back(p); }
  void pop_prefix() {
    if (!prefixes_.empty()) prefixes_.pop_back();
  }
  // Starts a list item with its mark.
  void item(const std::string& mark) {
    if (!line_.empty()) end_line();
    start_line();
    line_ += mark;
    line_length_ += utf8_length(mark);
    space_ = false;
  }
  std::vector<std::string> finish() {
    if (!line_.empty()) end_line();
    while (!lines_.empty() && lines_.back().empty()) lines_.pop_back();
    while (!lines_.empty() && lines_.front().empty()) lines_.erase(lines_.begin());
    return std::move(lines_);
  }

 private:
  std::string prefix() const {
    std::string p;
    for (const std::string& s : prefixes_) p += s;
    return p;
  }
  void start_line() {
    line_ = prefix();
    line_length_ = utf8_length(line_);
  }
  void end_line(bool keep_empty = false) {
    std::string_view l = line_;
    while (!l.empty() && l.back() == ' ') l.remove_suffix(1);
    if (!l.empty() || keep_empty) lines_.emplace_back(l);
    line_.clear();
    line_length_ = 0;
    space_ = false;
  }

  std::size_t width_;
  std::vector<std::string> lines_;
  std::vector<std::string> prefixes_;
  std::string line_;
  std::size_t line_length_ = 0;
  bool space_ = false;
};

struct Walker {
  TextBuilder& out;
  int depth = 0;
  bool pre = false;

  void text(std::string_view t) {
    if (pre) {
      out.verbatim(t);
      return;
    }
    std::size_t i = 0;
    while (i < t.size()) {
      if (is_space(t[i])) {
        out.space();
        ++i;
        continue;
      }
      std::size_t end = i;
      while (end < t.size() && !is_space(t[end])) ++end;
      out.word(t.substr(i, end - i));
      i = end;
    }
  }

  std::string plain_text_of(const xmlNode* node) {
    xmlChar* c = xmlNodeGetContent(node);
    if (c == nullptr) return {};
    std::string s(reinterpret_cast<const char*>(c));
    xmlFree(c);
    return s;
  }

  void children(const xmlNode* node) {
    for (const xmlNode* c = node->children; c != nullptr; c = c->next) walk(c);
  }

  void walk(const xmlNode* node) {
    if (depth > 200) return;
    ++depth;
    if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
      if (node->content != nullptr) text(reinterpret_cast<const char*>(node->content));
    } else if (node->type == XML_ELEMENT_NODE) {
      element(node);
    } else if (node->type == XML_DOCUMENT_NODE || node->type == XML_HTML_DOCUMENT_NODE) {
      children(node);
    }
    --depth;
  }

  void element(const xmlNode* node) {
    if (name_in(node, {"script", "style", "head", "title", "template", "noscript"})) return;
    if (name_is(node, "br")) {
      out.line_break();
      return;
    }
    if (name_is(node, "hr")) {
      out.paragraph();
      out.word("----------");
      out.paragraph();
      return;
    }
    if (name_is(node, "img")) {
      std::string alt = attribute(node, "alt");
      if (!alt.empty()) {
        out.space();
        text("[" + alt + "]");
        out.space();
      }
      return;
    }
    if (name_is(node, "a")) {
      std::string href = attribute(node, "href");
      children(node);
      std::string shown = plain_text_of(node);
      bool same = href == shown || "mailto:" + shown == href;
      if (!href.empty() && href[0] != '#' && !same && href.rfind("javascript:", 0) != 0) {
        out.space();
        out.word("<" + href + ">");
      }
      return;
    }
    if (name_in(node, {"ul", "ol", "menu", "dl"})) {
      out.paragraph();
      out.push_prefix("  ");
      int number = 0;
      bool ordered = name_is(node, "ol");
      for (const xmlNode* c = node->children; c != nullptr; c = c->next) {
        if (c->type == XML_ELEMENT_NODE && name_in(c, {"li", "dt", "dd"})) {
          out.item(ordered ? std::to_string(++number) + ". " : std::string("* "));
          out.push_prefix("  ");
          children(c);
          out.pop_prefix();
        } else {
          walk(c);
        }
      }
      out.pop_prefix();
      out.paragraph();
      return;
    }
    if (name_is(node, "li")) {
      out.item("* ");
      children(node);
      out.line_break();
      return;
    }
    if (name_is(node, "blockquote")) {
      out.paragraph();
      out.push_prefix("> ");
      children(node);
      out.paragraph();
      out.pop_prefix();
      out.paragraph();
      return;
    }
    if (name_is(node, "pre")) {
      out.paragraph();
      bool was = pre;
      pre = true;
      children(node);
      pre = was;
      out.paragraph();
      return;
    }
    if (name_in(node, {"td", "th"})) {
      out.space();
      children(node);
      out.space();
      return;
    }
    if (name_is(node, "tr")) {
      out.line_break();
      children(node);
      out.line_break();
      return;
    }
    bool block = name_in(
        node, {"p",      "div",     "h1",      "h2",     "h3",     "h4",      "h5",   "h6",
               "table",  "section", "article", "header", "footer", "address", "form", "fieldset",
               "center", "main",    "nav",     "aside",  "figure", "caption", "body", "html"});
    if (block) out.paragraph();
    children(node);
    if (block) out.paragraph();
  }
};

}  // namespace

std::vector<std::string> html_to_text(std::string_view html, std::size_t width) {
  TextBuilder builder(width);
  if (html.size() > static_cast<std::size_t>(INT_MAX)) html = html.substr(0, INT_MAX);
  int options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET |
                HTML_PARSE_IGNORE_ENC;
  htmlDocPtr doc =
      htmlReadMemory(html.data(), static_cast<int>(html.size()), nullptr, "UTF-8", options);
  if (doc == nullptr) return {};
  Walker walker{builder};
  walker.walk(reinterpret_cast<const xmlNode*>(doc));
  xmlFreeDoc(doc);
  return builder.finish();
}

}  // namespace quillmar
