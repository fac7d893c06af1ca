// Reading the lines of a message: header lines unfolded with their white
// space made single blanks, body lines taken in place from the file's
// window where they can be, soft line breaks of quoted-printable joined.
#include "import/line_pass.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/char_class.hpp"
#include "base/charset.hpp"
#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"
#include "fido/address_mapping.hpp"
#include "fido/message_record.hpp"
#include "fido/message_writer.hpp"
#include "import/classify.hpp"
#include "import/decoded_file.hpp"
#include "import/import_journal.hpp"
#include "import/import_state.hpp"
#include "import/mime_render.hpp"
#include "rfc/header_values.hpp"
#include "rfc/mime_words.hpp"

namespace quillmar::line_pass {

namespace {

// Removes the line end (a line feed and a carriage return before it).
std::size_t cut_line_end(std::size_t len) {
  if (len > 0 && line_buffer[len - 1] == '\n') --len;
  if (len > 0 && line_buffer[len - 1] == '\r') --len;
  line_buffer[len] = '\0';
  return len;
}

// The position of the first white space in `text` that normalising its
// white space changes: a tab or other control white space, a blank at the
// start or after a blank; `size` when there is none. Sixteen characters
// (eight without SSE2) are looked at at a time until one of them may be
// such a place; the characters from there on are then looked at one by one.
std::size_t first_space_to_change(const char* text, std::size_t size) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i blanks = _mm_set1_epi8(' ');
  const __m128i control_top = _mm_set1_epi8(0x0D);
  // The lanes of a block that may be such a place: a control character
  // (any byte up to CR), or a blank after a blank (`before`: whether the
  // character before the block is one, or the block starts the text).
  auto candidates = [&](std::size_t at, unsigned before) {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
    unsigned blank = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, blanks)));
    unsigned control = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(block, control_top), block)));
    return control | (blank & ((blank << 1) | before));
  };
  unsigned before = 1;  // a blank at the start changes as one after a blank
  for (; i + 16 <= size; i += 16) {
    if (candidates(i, before) != 0) break;
    before = text[i + 15] == ' ' ? 1 : 0;
  }
  if (i + 16 > size && i < size && size >= 16) {
    // The rest, shorter than a block: the last sixteen characters, of
    // which those before `i` are passed already.
    std::size_t last = size - 16;
    unsigned last_before = last == 0 || text[last - 1] == ' ' ? 1 : 0;
    unsigned hits = candidates(last, last_before) & ~((1u << (i - last)) - 1);
    if (hits == 0) return size;
    i = last + static_cast<std::size_t>(__builtin_ctz(hits));
  }
#else
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  bool after_blank = true;  // a blank at the start changes as one after a blank
  for (; i + 8 <= size; i += 8) {
    uint64_t w;
    std::memcpy(&w, text + i, 8);
    // A byte below 0x0E sets the high bit of its lane (the lowest one set
    // is exact); a blank sets it in `blank` (every one exact).
    uint64_t control = (w - kOnes * 0x0E) & ~w & kHigh;
    uint64_t t = w ^ (kOnes * ' ');
    uint64_t blank = ~(((t & ~kHigh) + ~kHigh) | t) & kHigh;
    uint64_t pair = blank & ((blank << 8) | (after_blank ? 0x80 : 0));
    if ((control | pair) != 0) break;
    after_blank = (blank >> 63) != 0;
  }
#endif
  for (; i < size; ++i) {
    char c = text[i];
    if (is_space(c) && (c != ' ' || i == 0 || text[i - 1] == ' ')) return i;
  }
  return size;
}

}  // namespace

// Reads the next line (with its line feed) of the message into the line
// buffer at `at`; the number of bytes read. NUL bytes become blanks.
std::size_t MessagePass::read_raw(std::size_t at) {
  return copy_raw(next_raw(kLineBuffer - 1 - at), at);
}

// The next line (with its line feed) of the message as the file's window
// holds it, at most `room` bytes.
std::string_view MessagePass::next_raw(std::size_t room) {
  std::size_t limit = room < remaining() ? room : remaining();
  if (limit == 0) return {};
  return file_.read_line(limit);
}

// Copies a line into the line buffer at `at`, NUL bytes as blanks; the
// number of bytes copied.
std::size_t MessagePass::copy_raw(std::string_view l, std::size_t at) {
  if (l.empty()) return 0;
  char* out = line_buffer + at;
  std::memcpy(out, l.data(), l.size());
  out[l.size()] = '\0';
  if (!file_.has_nul(l)) return l.size();
  for (char* nul = static_cast<char*>(std::memchr(out, '\0', l.size())); nul != nullptr;
       nul = static_cast<char*>(
           std::memchr(nul, '\0', static_cast<std::size_t>(out + l.size() - nul)))) {
    *nul = ' ';
  }
  return l.size();
}

bool MessagePass::read_header_line(std::string_view& line) {
  std::size_t len = read_raw(0);
  if (len == 0) return false;
  len = cut_line_end(len);
  // Folding: a line that starts with white space continues the one before.
  while (len > 0 && remaining() > 0 && len < kLineBuffer - 1) {
    int next = file_.peek();
    if (next < 0 || next == '\r' || next == '\n' || !is_space(static_cast<char>(next))) break;
    std::size_t n = read_raw(len);
    if (n == 0) break;
    len = cut_line_end(len + n);
  }
  // White space becomes single blanks, none at the ends. The line stays
  // in place up to the first white space that must change.
  std::size_t i = first_space_to_change(line_buffer, len);
  std::size_t out = i;
  while (i < len) {
    if (is_space(line_buffer[i])) {
      if (out != 0 && line_buffer[out - 1] != ' ') line_buffer[out++] = ' ';
      ++i;
      continue;
    }
    // From a character that is no white space on, the text moves as it is
    // up to the next white space that changes.
    std::size_t run = first_space_to_change(line_buffer + i, len - i);
    std::memmove(line_buffer + out, line_buffer + i, run);
    out += run;
    i += run;
  }
  if (out > 0 && line_buffer[out - 1] == ' ') --out;
  line_buffer[out] = '\0';
  line = std::string_view(line_buffer, out);
  return true;
}

bool MessagePass::read_body_line(std::string_view& line) {
  std::string_view raw = next_raw(kLineBuffer - 1);
  if (raw.empty()) return false;
  // Mostly the line is taken where it is, in the file's window.
  if (!file_.has_nul(raw)) {
    std::string_view l = raw;
    if (state_ == DecodeState::uuencode) {
      if (!l.empty() && l.back() == '\n') l.remove_suffix(1);
      if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    } else {
      l = text_of_line(l);
    }
    if (!quoted_printable_ || l.empty() || l.back() != '=') {
      line = l;
      return true;
    }
  }
  std::size_t len = copy_raw(raw, 0);
  auto strip = [this](std::size_t n) {
    if (state_ == DecodeState::uuencode) return cut_line_end(n);
    while (n > 0 && (line_buffer[n - 1] == '\n' || line_buffer[n - 1] == '\r' ||
                     line_buffer[n - 1] == ' ')) {
      --n;
    }
    line_buffer[n] = '\0';
    return n;
  };
  len = strip(len);
  // A soft line break of quoted-printable joins the next line.
  while (quoted_printable_ && len > 0 && line_buffer[len - 1] == '=') {
    line_buffer[--len] = '\0';
    std::size_t n = read_raw(len);
    if (n == 0) break;
    len = strip(len + n);
  }
  line = std::string_view(line_buffer, len);
  return true;
}

}  // namespace quillmar::line_pass
