#include "base/charset.hpp"

#include <iconv.h>
#include <locale.h>

#include <cerrno>

#include "base/text_helpers.hpp"

namespace quillmar {

namespace {

constexpr FidoCharsetInfo kCharsets[] = {
    {"UTF-8", 4, "UTF-8"},           {"IBMPC", 2, "CP437"},
    {"CP437", 2, "CP437"},           {"CP850", 2, "CP850"},
    {"CP852", 2, "CP852"},           {"CP865", 2, "CP865"},
    {"CP866", 2, "CP866"},           {"CP1250", 2, "CP1250"},
    {"CP1251", 2, "CP1251"},         {"CP1252", 2, "CP1252"},
    {"LATIN-1", 2, "ISO-8859-1"},    {"ISO-8859-2", 2, "ISO-8859-2"},
    {"ISO-8859-5", 2, "ISO-8859-5"}, {"ISO-8859-15", 2, "ISO-8859-15"},
    {"KOI8-R", 2, "KOI8-R"},         {"KOI8-U", 2, "KOI8-U"},
    {"ASCII", 1, "US-ASCII"},
};

struct Alias {
  const char* name;
  const char* chrs;
};
constexpr Alias kAliases[] = {
    {"UTF8", "UTF-8"},          {"LATIN1", "LATIN-1"},      {"ISO8859-1", "LATIN-1"},
    {"ISO_8859-1", "LATIN-1"},  {"KOI8R", "KOI8-R"},        {"KOI8U", "KOI8-U"},
    {"IBM437", "CP437"},        {"IBM850", "CP850"},        {"IBM866", "CP866"},
    {"WINDOWS-1250", "CP1250"}, {"WINDOWS-1251", "CP1251"}, {"WINDOWS-1252", "CP1252"},
    {"US-ASCII", "ASCII"},      {"LATIN-2", "ISO-8859-2"},  {"LATIN-9", "ISO-8859-15"},
    {"ALT", "CP866"},
};

// A conversion descriptor for the run's life, by pair of names.
struct Converter {
  std::string from;
  std::string to;
  iconv_t cd = reinterpret_cast<iconv_t>(-1);
};

iconv_t converter(std::string_view from, std::string_view to) {
  static Converter cache[8];
  static std::size_t next = 0;
  for (Converter& c : cache) {
    if (c.cd != reinterpret_cast<iconv_t>(-1) && equals_nocase(c.from, from) &&
        equals_nocase(c.to, to)) {
      iconv(c.cd, nullptr, nullptr, nullptr, nullptr);
      return c.cd;
    }
  }
  std::string target(to);
  target += "//TRANSLIT";
  iconv_t cd = iconv_open(target.c_str(), std::string(from).c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return cd;
  Converter& slot = cache[next];
  next = (next + 1) % (sizeof cache / sizeof cache[0]);
  if (slot.cd != reinterpret_cast<iconv_t>(-1)) iconv_close(slot.cd);
  slot.from = from;
  slot.to = to;
  slot.cd = cd;
  return cd;
}

// The byte length of the UTF-8 character that starts with `lead`.
std::size_t utf8_sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

// Runs `cd` over `text`; a character it cannot take is replaced by "?"
// and skipped (a whole UTF-8 character when `utf8_input`, else one byte).
std::string run_converter(iconv_t cd, std::string_view text, bool utf8_input) {
  // Transliteration ("é" as "e", "€" as "EUR") follows the character type
  // of the thread's locale; the C locale has almost none of it.
  static locale_t translit = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  locale_t old = static_cast<locale_t>(0);
  if (translit != static_cast<locale_t>(0)) old = uselocale(translit);
  std::string out;
  out.reserve(text.size() + text.size() / 2 + 16);
  char buffer[4096];
  char* in = const_cast<char*>(text.data());
  std::size_t in_left = text.size();
  while (true) {
    char* out_ptr = buffer;
    std::size_t out_left = sizeof buffer;
    std::size_t r = in_left == 0 ? iconv(cd, nullptr, nullptr, &out_ptr, &out_left)
                                 : iconv(cd, &in, &in_left, &out_ptr, &out_left);
    out.append(buffer, static_cast<std::size_t>(out_ptr - buffer));
    if (r != static_cast<std::size_t>(-1)) {
      if (in_left == 0) break;
      continue;
    }
    if (errno == E2BIG) continue;
    if (errno == EINVAL) break;  // a character cut off at the end is dropped
    if (in_left == 0) break;
    // EILSEQ: not valid input, or not in the target charset.
    std::size_t skip = utf8_input ? utf8_sequence_length(static_cast<unsigned char>(*in)) : 1;
    if (skip > in_left) skip = in_left;
    in += skip;
    in_left -= skip;
    out.push_back('?');
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  if (translit != static_cast<locale_t>(0)) uselocale(old);
  return out;
}

}  // namespace

const FidoCharsetInfo* find_fido_charset(std::string_view name) {
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  for (const Alias& a : kAliases) {
    if (equals_nocase(name, a.name)) name = a.chrs;
  }
  // The FidoNet name first: "CP437" is itself, not "IBMPC".
  for (const FidoCharsetInfo& c : kCharsets) {
    if (equals_nocase(name, c.chrs)) return &c;
  }
  for (const FidoCharsetInfo& c : kCharsets) {
    if (equals_nocase(name, c.iconv)) return &c;
  }
  return nullptr;
}

std::string iconv_name_of(std::string_view name) {
  while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
  // A CHRS value carries its level after a blank (or "#" in CharSetMap).
  std::size_t cut = name.find_first_of(" #");
  if (cut != std::string_view::npos) name = name.substr(0, cut);
  const FidoCharsetInfo* c = find_fido_charset(name);
  return c != nullptr ? c->iconv : std::string(name);
}

bool charset_known(std::string_view name) {
  if (name.empty()) return false;
  return converter("UTF-8", iconv_name_of(name)) != reinterpret_cast<iconv_t>(-1) &&
         converter(iconv_name_of(name), "UTF-8") != reinterpret_cast<iconv_t>(-1);
}

bool is_ascii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool is_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t n = utf8_sequence_length(c);
    if (c >= 0x80 && (n == 1 || c == 0xC0 || c == 0xC1 || c > 0xF4)) return false;
    if (i + n > text.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

std::string recode(std::string_view text, std::string_view from, std::string_view to,
                   std::string_view fallback) {
  std::string source = iconv_name_of(from);
  std::string target = iconv_name_of(to);
  if (converter(target, "UTF-8") == reinterpret_cast<iconv_t>(-1)) target = "UTF-8";
  if (converter(source, "UTF-8") == reinterpret_cast<iconv_t>(-1)) {
    source = iconv_name_of(fallback);
    if (converter(source, "UTF-8") == reinterpret_cast<iconv_t>(-1)) source = "ISO-8859-1";
  }
  if (is_ascii(text) && find_fido_charset(target) != nullptr) return std::string(text);
  // Through UTF-8, so that a character the target lacks is one character.
  std::string utf8 = equals_nocase(source, "UTF-8")
                         ? std::string(text)
                         : run_converter(converter(source, "UTF-8"), text, false);
  if (equals_nocase(target, "UTF-8")) {
    return is_utf8(utf8) ? utf8 : run_converter(converter("UTF-8", "UTF-8"), utf8, true);
  }
  return run_converter(converter("UTF-8", target), utf8, true);
}

std::string to_utf8(std::string_view text, std::string_view declared, std::string_view fallback) {
  if (is_ascii(text)) return std::string(text);
  std::string name = iconv_name_of(declared);
  bool usable = !name.empty() && !equals_nocase(name, "US-ASCII") &&
                converter(name, "UTF-8") != reinterpret_cast<iconv_t>(-1);
  if (usable && !(equals_nocase(name, "UTF-8") && !is_utf8(text))) {
    // The system's converter passes on what it takes for UTF-8 under
    // another name of it ("utf8") more freely than UTF-8 allows (F7 A7 9D
    // A0): what is not UTF-8 is read as the fallback instead.
    std::string out = recode(text, name, "UTF-8", fallback);
    if (is_utf8(out)) return out;
  }
  if (is_utf8(text)) return std::string(text);
  return recode(text, fallback, "UTF-8", "ISO-8859-1");
}

std::string_view cut_text(std::string_view text, std::size_t max, bool utf8) {
  if (text.size() <= max) return text;
  std::size_t end = max;
  if (utf8) {
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  }
  return text.substr(0, end);
}

std::size_t utf8_length(std::string_view text) {
  std::size_t n = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

}  // namespace quillmar
