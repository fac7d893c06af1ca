// The text of a reply message: kludge lines passed over, the text ended
// by its tear and origin lines, long lines wrapped, quoted-printable or
// recoded when asked.
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

bool is_tearline(std::string_view piece) {
  return starts_with(piece, "---") && (piece.size() == 3 || piece[3] == ' ');
}

bool ends_text(std::string_view line) {
  return starts_with(line, " * Origin:") ||
         (!line.empty() && line.front() == '\x01' && starts_with_nocase(line.substr(1), "Via "));
}

// The offset of the first character a quoted-printable line must encode
// ("=", a control or an 8-bit character) in the `size` characters at `text`;
// `size` when there is none. The last block is read overlapping the one
// before, its characters already tested masked off.
std::size_t first_to_encode(const char* text, std::size_t size) {
  std::size_t i = 0;
  if (size >= 16) {
    for (; i + 16 <= size; i += 16) {
      unsigned mask = special_mask16(text + i, true);
      if (mask != 0) return i + static_cast<std::size_t>(std::countr_zero(mask));
    }
    if (i == size) return size;
    const std::size_t back = size - 16;
    unsigned mask = special_mask16(text + back, true) & (~0u << (i - back));
    return mask != 0 ? back + static_cast<std::size_t>(std::countr_zero(mask)) : size;
  }
  for (; i < size; ++i) {
    if (text[i] == '=' || is_special(text[i])) return i;
  }
  return size;
}

// Writes one body piece and its line end, quoted-printable when asked,
// into the output's buffer: the runs that need no encoding are copied
// whole.
void write_piece(platform::File& out, std::string_view piece) {
  // Where the buffer cannot give the room, the piece is encoded apart.
  static std::string apart;
  const std::size_t most = piece.size() * 3 + 1;
  char* room = out.write_room(most);
  if (room == nullptr) apart.resize(most);
  char* to = room != nullptr ? room : apart.data();
  const char* p = piece.data();
  const std::size_t size = piece.size();
  std::size_t n = 0;
  if (state.has_8bit && settings->UseQP) {
    for (std::size_t i = 0; i < size;) {
      std::size_t k = i + first_to_encode(p + i, size - i);
      std::memcpy(to + n, p + i, k - i);
      n += k - i;
      if (k == size) break;
      unsigned char c = static_cast<unsigned char>(p[k]);
      to[n++] = '=';
      to[n++] = hex_digit_char(c >> 4);
      to[n++] = hex_digit_char(c & 0x0F);
      i = k + 1;
    }
  } else if (size != 0) {
    std::memcpy(to, p, size);
    n = size;
  }
  to[n++] = '\n';
  if (room != nullptr) {
    out.commit(n);
  } else {
    out.write(to, n);
  }
}

// The quote prefix a cut piece hands on: its text up to its first ">" and
// one blank, when the ">" comes early and no "<" before it.
void carry_quote_prefix(std::string_view piece, Text<16>& prefix) {
  prefix.clear();
  std::size_t gt = piece.substr(0, 6).find('>');
  if (gt == std::string_view::npos || piece.substr(0, 7).find('<') != std::string_view::npos) {
    return;
  }
  prefix = piece.substr(0, gt + 1);
  prefix.push_back(' ');
}

// Where a cut piece is wrapped: after its last blank from position 33 on,
// else after its last character that is neither letter nor digit.
std::size_t wrap_length(std::string_view piece, std::size_t width) {
  std::size_t last = std::min(piece.size(), width);
  for (std::size_t i = last; i-- > kLeastCut;) {
    if (is_space(piece[i])) return i + 1;
  }
  for (std::size_t i = last; i-- > kLeastCut;) {
    if (!is_alnum(piece[i])) return i + 1;
  }
  return piece.size();
}

// The byte length of the first `characters` UTF-8 characters of `text`.
std::size_t utf8_prefix_bytes(std::string_view text, std::size_t characters) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == characters) return i;
  }
  return text.size();
}

// A body piece in the Internet charset (ModernMime), as a line of flowed
// text (format=flowed, DelSp=yes): a piece cut from a longer line (`soft`)
// ends in a blank that the reader removes when it joins it with the next
// one; a line of its own ends in none (its trailing blanks go, a
// signature separator excepted); a line that starts with a blank, ">" or
// "From " is space-stuffed. Quoted-printable lines get soft line breaks,
// so that none is longer than 76 characters.
void write_recoded_piece(platform::File& out, std::string_view piece, bool soft) {
  if (!soft && piece != "-- ") {
    while (!piece.empty() && (piece.back() == ' ' || piece.back() == '\t')) piece.remove_suffix(1);
  }
  std::string text;
  if (!piece.empty() && (piece[0] == ' ' || piece[0] == '>' || piece.starts_with("From "))) {
    text.push_back(' ');
  }
  text += recode(fido_text_as_utf8(piece), "UTF-8", state.out_charset);
  if (soft) text.push_back(' ');
  const bool qp = state.has_8bit && settings->UseQP;
  std::string encoded;
  std::size_t line = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool escape = qp && (c == '=' || c < 0x20 || c > 0x7E ||
                         ((c == ' ' || c == '\t') && i + 1 == text.size()));
    std::size_t n = escape ? 3 : 1;
    if (qp && line + n > 75) {
      encoded += "=\n";
      line = 0;
    }
    if (escape) {
      encoded.push_back('=');
      encoded.push_back(hex_digit_char(c >> 4));
      encoded.push_back(hex_digit_char(c & 0x0F));
    } else {
      encoded.push_back(static_cast<char>(c));
    }
    line += n;
  }
  encoded.push_back('\n');
  out.write(encoded);
}

// The body of a FidoNet message as Internet text: kludge lines passed
// over, the text ended by its tear and origin lines, long lines wrapped at
// LineWidth carrying their quote prefix on.
class BodyWriter {
 public:
  BodyWriter(platform::File& in, platform::File& out) : in_(in), out_(out) {}

  void run() {
    for (;;) {
      if (!continuation_ && !end_found_ && !by_characters_ && in_place()) write_plain_lines();
      long start = in_.tell();
      std::string_view v;
      CrLine r = next_piece(read_width_, raw_, v);
      const bool text_end = r == CrLine::ended;
      if (end_found_) {
        if (text_end) return;
        // What follows the origin line is passed over.
        if (in_place()) {
          in_.skip(static_cast<std::size_t>(state.text_end - in_.tell()) + 1);
          return;
        }
        continue;
      }
      if (!continuation_) {
        Control c = control_line(v, r);
        if (c == Control::stop) return;
        if (c == Control::skip) continue;
      }
      // A line that filled a piece exactly leaves an empty rest: no line.
      if (continuation_ && v.empty() && r == CrLine::line) {
        continuation_ = false;
        prefix_.clear();
        continue;
      }
      if (text_end && v.empty()) return;
      if (write_text_piece(v, r == CrLine::too_long, text_end, start)) return;
    }
  }

 private:
  enum class Control { text, skip, stop };

  // Whether the window of the reader holds the rest of the text, so that
  // pieces are taken from it in place.
  bool in_place() const {
    const long at = in_.tell();
    return state.text_end >= at && in_.buffered() > static_cast<std::size_t>(state.text_end - at);
  }

  // The first line end at or after `at` (an offset into the text): the
  // reader moves on line by line, and back only within a line.
  std::size_t line_end_index(std::size_t at) {
    const uint32_t* ends = line_ends.data();
    const std::size_t count = line_ends.size();
    std::size_t k = next_end_;
    while (k > 0 && ends[k - 1] >= at) --k;
    while (k < count && ends[k] < at) ++k;
    next_end_ = k;
    return k;
  }

  // Writes the plain lines from here on straight from the window, as the
  // piece by piece path would: each ended by a CR within the width, kludge
  // lines passed over. Stops before a line that needs more (a long line, a
  // tear or origin line, the last line), which that path then takes.
  void write_plain_lines() {
    const char* p = in_.peek().data();
    const std::size_t at = static_cast<std::size_t>(in_.tell() - state.text_start);
    const uint32_t* ends = line_ends.data();
    const std::size_t count = line_ends.size();
    const bool as_is = !settings->ModernMime && !(state.has_8bit && settings->UseQP);
    std::size_t k = line_end_index(at);
    std::size_t done = 0;
    for (; k < count; ++k) {
      const char* line = p + done;
      const std::size_t size = ends[k] - at - done;
      if (size >= read_width_) break;
      const std::string_view v(line, size);
      if (size != 0) {
        const char first = line[0];
        if (first == '\x01') {
          done += size + 1;
          continue;
        }
        if ((first == '-' && is_tearline(v)) || (first == ' ' && starts_with(v, " * Origin:"))) {
          break;
        }
      }
      char* room = as_is ? out_.write_room(size + 1) : nullptr;
      if (room != nullptr) {
        if (size != 0) std::memcpy(room, line, size);
        room[size] = '\n';
        out_.commit(size + 1);
      } else {
        write_out(v);
      }
      done += size + 1;
    }
    next_end_ = k;
    in_.skip(done);
  }

  // The next piece of at most `maximum` characters as read_cr_line reads
  // it: from the window in place when it holds the rest of the text, else
  // copied into `buffer` (of at least `maximum` + 1 characters).
  CrLine next_piece(std::size_t maximum, char* buffer, std::string_view& piece) {
    if (!in_place()) {
      CrLine r = read_cr_line(in_, buffer, maximum + 1);
      piece = std::string_view(buffer, std::strlen(buffer));
      return r;
    }
    const std::string_view window = in_.peek();
    const std::size_t at = static_cast<std::size_t>(in_.tell() - state.text_start);
    const std::size_t size = static_cast<std::size_t>(state.text_end - state.text_start);
    const char* p = window.data();
    // The first line end from here on: the reader moves on line by line,
    // and back only within a line.
    const uint32_t* ends = line_ends.data();
    const std::size_t count = line_ends.size();
    const std::size_t k = line_end_index(at);
    if (k < count && ends[k] - at < maximum) {
      piece = std::string_view(p, ends[k] - at);
      in_.skip(piece.size() + 1);
      return CrLine::line;
    }
    const std::size_t rest = size - at;
    if (k == count && rest < maximum) {
      piece = std::string_view(p, rest);
      in_.skip(rest + 1);
      return CrLine::ended;
    }
    piece = std::string_view(p, maximum);
    in_.skip(maximum);
    return CrLine::too_long;
  }

  // A piece at the start of a line: a kludge line is passed over, a tear
  // line before an origin line and the origin line end the text. The first
  // character tells which test applies.
  Control control_line(std::string_view v, CrLine r) {
    const bool text_end = r == CrLine::ended;
    if (v.empty()) return Control::text;
    switch (v.front()) {
      case '\x01':
        if (text_end || (r == CrLine::too_long && !skip_rest_of_line(in_))) return Control::stop;
        return Control::skip;
      case '-':
        if (is_tearline(v)) {
          if (text_end) return Control::stop;
          long after = in_.tell();
          std::string_view next;
          CrLine r2 = next_piece(kScanPiece, next_, next);
          if (ends_text(next)) {
            if (r2 == CrLine::ended) return Control::stop;
            end_found_ = true;
            return Control::skip;
          }
          in_.seek(after);
        }
        return Control::text;
      case ' ':
        if (starts_with(v, " * Origin:")) {
          if (text_end) return Control::stop;
          end_found_ = true;
          return Control::skip;
        }
        return Control::text;
      default:
        return Control::text;
    }
  }

  // Writes a piece of text after the quote prefix carried from the piece
  // before; a piece cut at the width is wrapped, and the rest is read again
  // as the next piece. True when the text ended with the piece.
  bool write_text_piece(std::string_view v, bool cut, bool text_end, long start) {
    if (!cut && prefix_.empty() && !by_characters_) {
      // A whole line as it stands: written from where it was read.
      continuation_ = false;
      write_out(v);
      return text_end;
    }
    std::size_t carried = prefix_.size();
    piece_ = prefix_;
    piece_.append(v);
    if (by_characters_) return write_character_piece(cut, text_end, start, carried);
    if (cut) {
      // Flowed text is joined again by its reader: no prefix is carried.
      if (!settings->ModernMime) carry_quote_prefix(piece_, prefix_);
      std::size_t keep = wrap_length(piece_, width_);
      if (keep < piece_.size() && keep > carried) {
        in_.seek(start + static_cast<long>(keep - carried));
        piece_.truncate(keep);
      }
    } else {
      prefix_.clear();
    }
    continuation_ = cut;
    write_out(piece_, cut);
    return text_end;
  }

  // A piece of text; `soft`: cut from a longer line, the rest follows.
  void write_out(std::string_view piece, bool soft = false) {
    if (settings->ModernMime) {
      write_recoded_piece(out_, piece, soft);
    } else {
      write_piece(out_, piece);
    }
  }

  // UTF-8 text (ModernMime) is wrapped at a character boundary within
  // `width` characters; the rest is read again.
  bool write_character_piece(bool cut, bool text_end, long start, std::size_t carried) {
    std::size_t limit = utf8_prefix_bytes(piece_, width_);
    if (cut || limit < piece_.size()) {
      // Flowed text is joined again by its reader: no prefix is carried.
      std::size_t keep = wrap_length(piece_.view().substr(0, limit), limit);
      if (keep > limit) keep = limit;
      // A piece read to its limit may end inside a character.
      if (keep == piece_.size()) keep = piece_.size() - 1;
      std::size_t whole = cut_text(piece_, keep, true).size();
      if (whole > carried) keep = whole;
      if (keep < piece_.size() && keep > carried) {
        in_.seek(start + static_cast<long>(keep - carried));
        piece_.truncate(keep);
        cut = true;
        text_end = false;
      }
    }
    if (!cut) prefix_.clear();
    continuation_ = cut;
    write_recoded_piece(out_, piece_, cut);
    return text_end;
  }

  platform::File& in_;
  platform::File& out_;
  const std::size_t width_ = body_width();
  // UTF-8 text is cut by characters, not bytes: its pieces are read longer.
  const bool by_characters_ = settings->ModernMime && state.source_utf8;
  const std::size_t read_width_ = by_characters_ ? std::min<std::size_t>(4 * width_, 480) : width_;
  char raw_[kPieceBuffer];
  char next_[kScanPiece + 1];
  Text<kPieceBuffer> piece_;
  Text<16> prefix_;
  bool continuation_ = false;
  bool end_found_ = false;
  std::size_t next_end_ = 0;  // an index into line_ends
};

}  // namespace

void write_body(platform::File& in, platform::File& out) {
  BodyWriter(in, out).run();
}

}  // namespace quillmar::conversion
