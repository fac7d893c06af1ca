#include "import/mime_html.hpp"

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

#include <climits>
#include <cstring>
#include <type_traits>

#include "base/charset.hpp"
#include "base/log.hpp"
#include "platform/shared_library.hpp"

namespace quillmar {

namespace {

// libxml2 is opened the first time HTML has to be rendered: a run that
// never meets HTML does not carry it (and ICU, which it brings) in memory.
constexpr const char* kXmlLibrary = "libxml2.so.2";

struct XmlFunctions {
  decltype(&htmlReadMemory) read_memory = nullptr;
  decltype(&xmlFreeDoc) free_doc = nullptr;
  decltype(&xmlGetProp) get_prop = nullptr;
  decltype(&xmlNodeGetContent) node_content = nullptr;
  decltype(&xmlStrcasecmp) compare_nocase = nullptr;
  xmlFreeFunc* free = nullptr;  // the library's variable xmlFree
};

// The functions of libxml2, or null when the library cannot be used; it is
// tried once per run, and a failure is logged once.
const XmlFunctions* xml() {
  static bool tried = false;
  static XmlFunctions functions;
  static bool usable = false;
  if (tried) return usable ? &functions : nullptr;
  tried = true;
  platform::SharedLibrary library = platform::open_shared_library(kXmlLibrary);
  std::string error = library.error;
  bool ok = library.handle != nullptr;
  auto resolve = [&](auto& slot, const char* name) {
    if (!ok) return;
    void* address = platform::shared_library_symbol(library, name, error);
    if (address == nullptr) {
      ok = false;
      return;
    }
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(address);
  };
  resolve(functions.read_memory, "htmlReadMemory");
  resolve(functions.free_doc, "xmlFreeDoc");
  resolve(functions.get_prop, "xmlGetProp");
  resolve(functions.node_content, "xmlNodeGetContent");
  resolve(functions.compare_nocase, "xmlStrcasecmp");
  resolve(functions.free, "xmlFree");
  if (ok && *functions.free == nullptr) {
    ok = false;
    error = "xmlFree is not set";
  }
  usable = ok;
  if (!usable) {
    log_print("! %s cannot be used (%.120s): HTML is shown with its tags dropped\n", kXmlLibrary,
              error.c_str());
  }
  return usable ? &functions : nullptr;
}

void xml_free(void* p) {
  (*xml()->free)(p);
}

// White space as HTML takes it: blank, tab, CR, LF, FF.
bool is_html_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

bool name_is(const xmlNode* node, const char* name) {
  return node->name != nullptr &&
         xml()->compare_nocase(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

bool name_in(const xmlNode* node, std::initializer_list<const char*> names) {
  for (const char* n : names) {
    if (name_is(node, n)) return true;
  }
  return false;
}

std::string attribute(const xmlNode* node, const char* name) {
  xmlChar* v = xml()->get_prop(node, reinterpret_cast<const xmlChar*>(name));
  if (v == nullptr) return {};
  std::string out(reinterpret_cast<const char*>(v));
  xml_free(v);
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
      if (is_html_space(t[i])) {
        out.space();
        ++i;
        continue;
      }
      std::size_t end = i;
      while (end < t.size() && !is_html_space(t[end])) ++end;
      out.word(t.substr(i, end - i));
      i = end;
    }
  }

  std::string plain_text_of(const xmlNode* node) {
    xmlChar* c = xml()->node_content(node);
    if (c == nullptr) return {};
    std::string s(reinterpret_cast<const char*>(c));
    xml_free(c);
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

// Without libxml2, in the simplest sound way: the text between the tags,
// with character references and the common named entities decoded;
// comments, scripts, styles and the head dropped; a line break at <br>,
// a paragraph at the common block elements.
char lower_ascii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_ascii_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void append_utf8(std::string& out, unsigned long c) {
  if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// The entity at html[at] ('&') appended to `out`; returns the position
// after it. What is no entity known here stays as it is.
std::size_t decode_entity(std::string_view html, std::size_t at, std::string& out) {
  std::size_t semi = html.find(';', at);
  if (semi == std::string_view::npos || semi - at > 10) {
    out.push_back('&');
    return at + 1;
  }
  std::string_view name = html.substr(at + 1, semi - at - 1);
  if (name.size() >= 2 && name[0] == '#') {
    bool hex = name[1] == 'x' || name[1] == 'X';
    std::string_view digits = name.substr(hex ? 2 : 1);
    unsigned long c = 0;
    bool ok = !digits.empty();
    for (char d : digits) {
      int v = d >= '0' && d <= '9'                                    ? d - '0'
              : hex && lower_ascii(d) >= 'a' && lower_ascii(d) <= 'f' ? lower_ascii(d) - 'a' + 10
                                                                      : -1;
      if (v < 0) ok = false;
      if (ok && c <= 0x10FFFF) c = c * (hex ? 16 : 10) + static_cast<unsigned long>(v);
    }
    if (ok) {
      append_utf8(out, c);
      return semi + 1;
    }
  }
  // The named entities of Latin-1 (U+00A0 to U+00FF, in order), and the
  // few others that mail uses most.
  static constexpr const char* kLatin1[96] = {
      "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",
      "copy",   "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn",
      "sup2",   "sup3",   "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",
      "raquo",  "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde",
      "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave",
      "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde",
      "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",
      "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
      "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",   "eth",
      "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
      "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};
  static constexpr struct {
    const char* name;
    unsigned long code;
  } kOther[] = {{"amp", '&'},       {"lt", '<'},       {"gt", '>'},       {"quot", '"'},
                {"apos", '\''},     {"ndash", 0x2013}, {"mdash", 0x2014}, {"lsquo", 0x2018},
                {"rsquo", 0x2019},  {"ldquo", 0x201C}, {"rdquo", 0x201D}, {"bull", 0x2022},
                {"hellip", 0x2026}, {"euro", 0x20AC},  {"trade", 0x2122}};
  for (std::size_t k = 0; k < 96; ++k) {
    if (name == kLatin1[k]) {
      append_utf8(out, 0xA0 + k);
      return semi + 1;
    }
  }
  for (const auto& e : kOther) {
    if (name == e.name) {
      append_utf8(out, e.code);
      return semi + 1;
    }
  }
  out.push_back('&');
  return at + 1;
}

// The position of the end of the element `name` whose content is skipped
// (after "</name...>"), or the end of `html`.
std::size_t skip_element(std::string_view html, std::size_t from, std::string_view name) {
  for (std::size_t at = html.find("</", from); at != std::string_view::npos;
       at = html.find("</", at + 2)) {
    std::size_t i = 0;
    while (i < name.size() && at + 2 + i < html.size() &&
           lower_ascii(html[at + 2 + i]) == name[i]) {
      ++i;
    }
    if (i < name.size()) continue;
    std::size_t end = html.find('>', at);
    return end == std::string_view::npos ? html.size() : end + 1;
  }
  return html.size();
}

void render_without_parser(std::string_view html, Walker& walker) {
  TextBuilder& out = walker.out;
  std::string run;  // the text since the last tag, entities decoded
  auto flush = [&] {
    walker.text(run);
    run.clear();
  };
  std::size_t i = 0;
  while (i < html.size()) {
    char c = html[i];
    if (c == '&') {
      i = decode_entity(html, i, run);
      continue;
    }
    bool tag = c == '<' && i + 1 < html.size() &&
               (is_ascii_letter(html[i + 1]) || html[i + 1] == '/' || html[i + 1] == '!');
    if (!tag) {
      run.push_back(c);
      ++i;
      continue;
    }
    flush();
    if (html.substr(i, 4) == "<!--") {
      std::size_t end = html.find("-->", i + 4);
      i = end == std::string_view::npos ? html.size() : end + 3;
      continue;
    }
    // The tag ends at the first '>' outside quoted attribute values.
    std::size_t end = i + 1;
    char quote = 0;
    while (end < html.size() && (quote != 0 || html[end] != '>')) {
      if (quote != 0 && html[end] == quote) {
        quote = 0;
      } else if (quote == 0 && (html[end] == '"' || html[end] == '\'')) {
        quote = html[end];
      }
      ++end;
    }
    if (end == html.size()) end = html.find('>', i);
    if (end == std::string_view::npos) break;  // an unfinished tag at the end
    std::size_t n = i + 1;
    bool closing = html[n] == '/';
    if (closing) ++n;
    std::string name;
    while (n < end && name.size() < 12 &&
           (is_ascii_letter(html[n]) || (html[n] >= '0' && html[n] <= '9'))) {
      name.push_back(lower_ascii(html[n++]));
    }
    i = end + 1;
    if (!closing && (name == "script" || name == "style" || name == "head" || name == "title")) {
      i = skip_element(html, i, name);
    } else if (name == "br" || name == "li" || name == "tr") {
      out.line_break();
    } else if (name == "p" || name == "div" || name == "blockquote" || name == "pre" ||
               name == "table" || name == "ul" || name == "ol" || name == "hr" ||
               (name.size() == 2 && name[0] == 'h' && name[1] >= '1' && name[1] <= '6')) {
      out.paragraph();
    }
  }
  flush();
}

}  // namespace

std::vector<std::string> html_to_text(std::string_view html, std::size_t width) {
  TextBuilder builder(width);
  Walker walker{builder};
  const XmlFunctions* functions = xml();
  if (functions == nullptr) {
    render_without_parser(html, walker);
    return builder.finish();
  }
  if (html.size() > static_cast<std::size_t>(INT_MAX)) html = html.substr(0, INT_MAX);
  int options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET |
                HTML_PARSE_IGNORE_ENC;
  htmlDocPtr doc =
      functions->read_memory(html.data(), static_cast<int>(html.size()), nullptr, "UTF-8", options);
  if (doc == nullptr) return {};
  walker.walk(reinterpret_cast<const xmlNode*>(doc));
  functions->free_doc(doc);
  return builder.finish();
}

}  // namespace quillmar
