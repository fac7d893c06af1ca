// The MIME readers of header text, in memory: encoded words, Content-Type
// parameters, base64 and quoted-printable, and the encoder of 8-bit header
// text, read back by the decoder. The first byte chooses the routine; the
// rest is the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/charset.hpp"
#include "harness.hpp"
#include "rfc/header_words.hpp"
#include "rfc/mime_words.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

namespace {

void check_utf8(std::string_view text, const char* what) {
  if (!is_utf8(text)) fail("%s is not UTF-8", what);
}

// Valid UTF-8 without control characters: what an encoded word carries
// through unchanged.
bool printable_utf8(std::string_view text) {
  if (!is_utf8(text)) return false;
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

QUILLMAR_FUZZ_TARGET(mime_words) {
  if (size < 1) return 0;
  const int choice = data[0];
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (choice % 5) {
    case 0:
      check_utf8(decode_header_text(text, "iso-8859-1"), "decoded header text");
      break;
    case 1: {
      MimeField field = parse_mime_field(text, "iso-8859-1");
      if (field.value.find(';') != std::string::npos) fail("a value with its parameters");
      for (const auto& [name, value] : field.params) {
        for (char c : name) {
          if (c >= 'A' && c <= 'Z') fail("parameter name \"%s\" not in lower case", name.c_str());
        }
        if (name != "charset") check_utf8(value, "a parameter value");
      }
      break;
    }
    case 2:
      if (decode_base64_text(text).size() > text.size() / 4 * 3 + 3) {
        fail("more base64 bytes than the text can give");
      }
      break;
    case 3:
      if (decode_quoted_printable(text).size() > text.size()) {
        fail("more quoted-printable bytes than characters");
      }
      break;
    case 4: {
      if (!is_utf8(text)) break;
      const std::size_t used = static_cast<std::size_t>(choice / 5) % 77;
      std::string encoded = encode_header_words(text, used);
      std::size_t line_start = 0;
      for (bool first = true;; first = false) {
        std::size_t end = encoded.find('\n', line_start);
        std::size_t length = (end == std::string::npos ? encoded.size() : end) - line_start;
        if (!first && encoded.compare(line_start, 1, " ") != 0) {
          fail("a folded line without its blank");
        }
        if ((first ? used : 0) + length > 76 && encoded != text) {
          fail("an encoded line of %zu characters after %zu", length, first ? used : 0);
        }
        if (end == std::string::npos) break;
        line_start = end + 1;
      }
      if (encoded != text && printable_utf8(text) &&
          decode_header_text(encoded, "iso-8859-1") != text) {
        fail("encoded words that do not read back as the text");
      }
      break;
    }
  }
  return 0;
}
