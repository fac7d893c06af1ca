// Reading a FidoNet message before it is written: its kludges and the
// gateway's address lines, and a check of its text (is there any, is it
// 8-bit).
#include "export/conversion.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/char_class.hpp"
#include "base/charset.hpp"
#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/number_scan.hpp"
#include "base/run_options.hpp"
#include "base/text_helpers.hpp"
#include "base/version.hpp"
#include "config/settings.hpp"
#include "export/export_state.hpp"
#include "export/journal.hpp"
#include "fido/address_mapping.hpp"
#include "fido/message_record.hpp"
#include "lists/distribution.hpp"
#include "lists/list_files.hpp"
#include "platform/clock.hpp"
#include "rfc/header_words.hpp"
#include "rfc/header_writer.hpp"
#include "soup/reply.hpp"

namespace quillmar::conversion {

namespace {

void read_kludge(std::string_view k) {
  ExportMessage& m = *export_state.message;
  // Only kludges beginning with these letters are read.
  switch (k.empty() ? '\0' : k.front()) {
    case 'I':
    case 'F':
    case 'M':
    case 'R':
    case 'C':
      break;
    default:
      return;
  }
  if (starts_with(k, "INTL ")) {
    std::string_view s = k.substr(5);
    FtnAddress to, from;
    if (read_ftn_address(s, to, 3) == 3 && read_ftn_address(s, from, 3) == 3) {
      m.origin.zone = from.zone;
      m.origin.net = from.net;
      m.origin.node = from.node;
    }
  } else if (starts_with(k, "FMPT ")) {
    std::string_view s = k.substr(5);
    scan_u16(s, m.origin.point);
  } else if (starts_with(k, "FLAGS ")) {
    std::string_view s = k.substr(6);
    while (!s.empty()) {
      std::size_t space = s.find(' ');
      std::string_view word = s.substr(0, space);
      if (equals_nocase(word, "KFS")) state.kill_file_sent = true;
      if (equals_nocase(word, "TFS")) state.truncate_file_sent = true;
      if (space == std::string_view::npos) break;
      s.remove_prefix(space + 1);
    }
  } else if (starts_with(k, "MSGID:")) {
    read_message_ref(k.substr(6), state.msgid_ref);
    state.msgid_read = true;
  } else if (starts_with(k, "REPLY:")) {
    read_message_ref(k.substr(6), state.reply_ref);
  } else if (starts_with(k, "CHRS:")) {
    std::string_view s = k.substr(5);
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    state.charset_kludge = s;
    // "IBMPC 2" is named "IBMPC#2" in CharSetMap.
    std::size_t space = state.charset_kludge.view().rfind(' ');
    if (space != std::string_view::npos && space + 1 < state.charset_kludge.size() &&
        is_digit(state.charset_kludge[space + 1])) {
      state.charset_kludge.set(space, '#');
    }
  }
}

// One of the gateway address lines ("To:", "Copy:", "BCopy:", "From:",
// "XPost:"); false when the line is none of them.
bool read_address_line(std::string_view line) {
  struct AddressLine {
    const char* name;
    int kind;
  };
  static constexpr AddressLine kLines[] = {{"To:", kAddressTo},
                                           {"Copy:", kAddressCc},
                                           {"BCopy:", kAddressBcc},
                                           {"From:", kAddressFrom},
                                           {"XPost:", -1}};
  switch (line.empty() ? '\0' : ascii_lower(line.front())) {
    case 't':
    case 'c':
    case 'b':
    case 'f':
    case 'x':
      break;
    default:
      return false;
  }
  for (const AddressLine& l : kLines) {
    if (!starts_with_nocase(line, l.name)) continue;
    std::string_view value = line.substr(std::strlen(l.name));
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (l.kind == kAddressFrom) {
      state.from_address = value;
    } else if (l.kind < 0) {
      while (!value.empty() && is_space(value.front())) value.remove_prefix(1);
      while (!value.empty() && is_space(value.back())) value.remove_suffix(1);
      std::size_t limit = settings->ExportMaxXPost == 0 ? kMaxCrossPosts : settings->ExportMaxXPost;
      if (message_work.cross_posts.size() < limit && !message_work.cross_posts.full()) {
        message_work.cross_posts.add()->assign(value);
      } else {
        state.xpost_limit = true;
      }
    } else {
      std::size_t limit = settings->ExportMaxTo == 0 ? kMaxRecipients : settings->ExportMaxTo;
      // The To name counts as the first recipient of a message not to UUCP.
      if (!state.is_uucp) --limit;
      if (message_work.recipients.size() < limit && !message_work.recipients.full()) {
        Recipient* r = message_work.recipients.add();
        r->kind = static_cast<uint8_t>(l.kind);
        r->address = value;
      } else {
        state.to_limit = true;
      }
    }
    return true;
  }
  return false;
}

// The next piece of the header scan as read_piece reads it: from the
// window in place when it holds the piece, else copied into `buffer` (of
// kScanPiece + 1 characters).
CrLine header_piece(platform::File& in, char* buffer, std::string_view& piece) {
  const std::string_view window = in.peek(kScanPiece + 1);
  const std::size_t n = std::min(window.size(), kScanPiece);
  const std::size_t k = n == 0 ? 0 : find_first_of3(window.data(), n, '\r', '\0', '\0');
  if (k < n) {
    piece = window.substr(0, k);
    in.skip(k + 1);
    return window[k] == '\r' ? CrLine::line : CrLine::ended;
  }
  if (n == kScanPiece) {
    piece = window.substr(0, n);
    in.skip(n);
    return CrLine::too_long;
  }
  // The file ends within the piece.
  CrLine r = read_piece(in, buffer, kScanPiece);
  piece = std::string_view(buffer, std::strlen(buffer));
  return r;
}

// Has the body any text, and any character outside the printable ASCII
// range? The stream is left where it was.
// True when the characters hold a control or 8-bit character (outside
// 0x20-0x7E). Eight characters are tested at once: a byte below 0x20, or
// above 0x7E, sets the high bit of its lane in one of the two sums.
bool has_8bit_char(const char* text, std::size_t size) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t w;
    std::memcpy(&w, text + i, 8);
    uint64_t below = (w - kOnes * 0x20) & ~w & kHigh;
    uint64_t above = ((w + kOnes * (127 - 0x7E)) | w) & kHigh;
    if ((below | above) != 0) return true;
  }
  for (; i < size; ++i) {
    if (static_cast<unsigned char>(text[i] - 0x20) > 0x5E) return true;
  }
  return false;
}

bool check_body_in_pieces(platform::File& in) {
  // The text is looked at in place, in the pieces the body is written in
  // (lines, and long lines cut at the body width): whether a piece that is
  // no kludge holds anything, and whether such text holds 8-bit or control
  // characters. Once both are known the rest need not be read.
  const std::size_t width = body_width();
  long start = in.tell();
  bool has_text = false;
  bool text_piece = false;  // the current piece is text (not a kludge)
  std::size_t column = 0;   // characters of the current piece so far
  for (bool ended = false; !ended && !(has_text && state.has_8bit);) {
    std::string_view window = in.peek();
    if (window.empty()) break;  // the end of the file ends the text
    const char* p = window.data();
    const char* nul = static_cast<const char*>(std::memchr(p, '\0', window.size()));
    const std::size_t limit = nul != nullptr ? static_cast<std::size_t>(nul - p) : window.size();
    std::size_t i = 0;
    while (i < limit && !(has_text && state.has_8bit)) {
      const char* cr = static_cast<const char*>(std::memchr(p + i, '\r', limit - i));
      const std::size_t line_end = cr != nullptr ? static_cast<std::size_t>(cr - p) : limit;
      while (i < line_end) {
        if (column == 0) {
          text_piece = p[i] != '\x01';
          if (text_piece) has_text = true;
        }
        std::size_t take = std::min(line_end - i, width - column);
        if (text_piece && !state.has_8bit && has_8bit_char(p + i, take)) state.has_8bit = true;
        i += take;
        column += take;
        if (column == width) column = 0;
      }
      if (cr != nullptr) {
        column = 0;
        ++i;
      }
    }
    ended = nul != nullptr;
    in.skip(ended ? limit + 1 : i);
  }
  in.seek(start);
  return has_text;
}
// Whether a line of the text holds a piece that is no kludge: a piece
// begins at every `width` characters.
bool line_has_text(const char* p, std::size_t start, std::size_t end, std::size_t width) {
  for (std::size_t piece = start; piece < end; piece += width) {
    if (p[piece] != '\x01') return true;
  }
  return false;
}

// The text from the current position to the NUL that ends it, when the
// reader's window holds all of it (read on into the window when needed).
bool whole_text(platform::File& in, std::string_view& text) {
  std::string_view window = in.peek();
  if (window.empty()) return false;  // the end of the file ends the text
  const void* nul = std::memchr(window.data(), '\0', window.size());
  if (nul == nullptr) {
    window = in.peek(window.size() + 1);
    nul = std::memchr(window.data(), '\0', window.size());
  }
  if (nul == nullptr) return false;
  text = window.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - window.data()));
  return true;
}

}  // namespace

// Reads on to the NUL that ends the text (or the end of the file).
void skip_to_text_end(platform::File& in) {
  for (;;) {
    std::string_view window = in.peek();
    if (window.empty()) return;
    const void* nul = std::memchr(window.data(), '\0', window.size());
    if (nul != nullptr) {
      in.skip(static_cast<std::size_t>(static_cast<const char*>(nul) - window.data()) + 1);
      return;
    }
    in.skip(window.size());
  }
}

// Reads the rest of a line; false when the text ended with it.
bool skip_rest_of_line(platform::File& in) {
  for (;;) {
    unsigned char c = read_byte(in);
    if (c == 0) return false;
    if (c == '\r') return true;
  }
}

// The kludges and gateway lines before the body; leaves `in` at the first
// body line.
void scan_header(platform::File& in) {
  char line[kScanPiece + 1];
  const bool gateway = export_state.target == ExportTarget::gateway;
  bool allowance = false;
  for (;;) {
    long pos = in.tell();
    std::string_view v;
    CrLine r = header_piece(in, line, v);
    state.scan_serial ^= crc32(v.data(), v.size());
    bool ended = r == CrLine::ended;
    bool taken = true;
    if (!v.empty() && v.front() == '\x01') {
      read_kludge(v.substr(1));
    } else if (!v.empty() && v.front() == 'A' && starts_with(v, "AREA:")) {
      state.area = v.substr(5);
    } else if (gateway && read_address_line(v)) {
      allowance = true;
    } else if (v.empty() && allowance && !ended) {
      allowance = false;
    } else {
      taken = false;
    }
    if (!taken || ended) {
      in.seek(pos);
      return;
    }
  }
}

// Sixteen characters tested at once: bit k of the mask is set where
// character k is a control character (below 0x20, CR among them) or
// outside ASCII's printable range (0x7F and above), or, with `equals`,
// "=" (which quoted-printable text encodes too).
#if defined(__SSE2__)
unsigned special_mask16(const char* p, bool equals) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Compared as signed bytes, 0x80 and above are below 0x20 too.
  __m128i m =
      _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7F)));
  if (equals) m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('=')));
  return static_cast<unsigned>(_mm_movemask_epi8(m));
}
#else
unsigned special_mask16(const char* p, bool equals) {
  unsigned mask = 0;
  for (unsigned k = 0; k < 16; ++k) {
    unsigned char c = static_cast<unsigned char>(p[k]);
    if (c < 0x20 || c > 0x7E || (equals && c == '=')) mask |= 1u << k;
  }
  return mask;
}
#endif
std::vector<uint32_t> line_ends;

// The same answers as check_body_in_pieces, from the whole text in the
// window in one pass: only the line ends and the characters outside the
// printable range stop the scan. A line holds text when one of its pieces
// is no kludge; such a piece makes the message 8-bit when it holds one of
// those characters. The line ends are kept for the body writer.
bool check_body(platform::File& in) {
  std::string_view text;
  if (!whole_text(in, text)) return check_body_in_pieces(in);
  state.text_end = in.tell() + static_cast<long>(text.size());
  state.text_start = in.tell();
  const std::size_t width = body_width();
  const char* p = text.data();
  const std::size_t n = text.size();
  line_ends.clear();
  bool has_text = false;
  std::size_t line = 0;  // where the current line begins
  auto found = [&](std::size_t q) {
    if (p[q] == '\r') {
      if (!has_text) has_text = line_has_text(p, line, q, width);
      line_ends.push_back(static_cast<uint32_t>(q));
      line = q + 1;
    } else if (!state.has_8bit && p[line + (q - line) / width * width] != '\x01') {
      state.has_8bit = true;
    }
  };
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    for (unsigned mask = special_mask16(p + i, false); mask != 0; mask &= mask - 1) {
      found(i + static_cast<std::size_t>(std::countr_zero(mask)));
    }
  }
  for (; i < n; ++i) {
    if (is_special(p[i])) found(i);
  }
  if (!has_text) has_text = line_has_text(p, line, n, width);
  return has_text;
}

}  // namespace quillmar::conversion
