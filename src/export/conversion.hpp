// The conversion of one FidoNet message (see convert.hpp): its working
// state and the pieces its parts share. convert.cpp decides what the
// message becomes and writes the reply; convert_scan.cpp reads the kludges
// and gateway lines and checks the text; convert_header.cpp writes the
// Internet header; convert_body.cpp writes the text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/bounded_text.hpp"
#include "base/char_class.hpp"
#include "base/file_helpers.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"
#include "fido/message_record.hpp"
#include "lists/list_files.hpp"
#include "platform/fs.hpp"
#include "rfc/header_writer.hpp"

namespace quillmar::conversion {

// Pieces of the header scan hold 256 characters, body pieces LineWidth
// (at most 199) characters.
constexpr std::size_t kScanPiece = 256;
constexpr std::size_t kPieceBuffer = 512;
constexpr std::size_t kLeastCut = 33;

// The working state of one conversion; emptied for every message.
struct ConvertState {
  Text<128> area;
  Text<128> recipient;
  bool is_uucp = false;
  Text<128> from_address;
  Text<128> reply_address;
  MessageRef msgid_ref;
  MessageRef reply_ref;
  bool msgid_read = false;
  uint32_t scan_serial = 0;
  Text<128> charset_kludge;
  std::string_view out_charset;
  bool kill_file_sent = false;
  bool truncate_file_sent = false;
  bool has_8bit = false;
  bool is_news = false;
  Text<128> newsgroup;
  ListRecord* list = nullptr;
  bool is_mailing_list = false;
  bool to_limit = false;
  bool xpost_limit = false;
  // ModernMime: the iconv name of the FidoNet text's charset, and whether
  // it is UTF-8 (whose characters a cut keeps whole).
  std::string source_charset;
  bool source_utf8 = false;
  // The file offset of the NUL that ends the text, once the body check has
  // found it in the reader's window (-1: not known). The body is then
  // written from the window in place.
  long text_end = -1;
  long text_start = -1;  // and where it begins (line_ends counts from there)
};
extern ConvertState state;

// Where the text of the message in the window has its line ends (offsets
// from its start), found by the body check; kept for the run.
extern std::vector<uint32_t> line_ends;

inline void skip_spaces(std::string_view& s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
}

// "%d": blanks, a sign, digits (large values are held, not overflowed).
inline bool take_int(std::string_view& s, int& out) {
  skip_spaces(s);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || !is_digit(s.front())) return false;
  long value = 0;
  while (!s.empty() && is_digit(s.front())) {
    if (value < 100000000) value = value * 10 + (s.front() - '0');
    s.remove_prefix(1);
  }
  out = static_cast<int>(negative ? -value : value);
  return true;
}

inline bool take_char(std::string_view& s, char c) {
  if (s.empty() || s.front() != c) return false;
  s.remove_prefix(1);
  return true;
}

inline bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Reads one piece of at most `maximum` characters.
inline CrLine read_piece(platform::File& in, char* buffer, std::size_t maximum) {
  return read_cr_line(in, buffer, maximum + 1);
}

// The body's piece width: LineWidth, kept within what the buffers hold.
inline std::size_t body_width() {
  std::size_t width = settings->LineWidth;
  return width < 20 ? 20 : width > 255 ? 255 : width;
}

// Reads on to the NUL that ends the text (or the end of the file).
void skip_to_text_end(platform::File& in);
// Reads the rest of a line; false when the text ended with it.
bool skip_rest_of_line(platform::File& in);

// The kludges and gateway lines before the body; leaves `in` at the first
// body line.
void scan_header(platform::File& in);
// Whether the body has any text; sets `state.has_8bit` when that text
// holds a character outside the printable ASCII range. The stream is left
// where it was.
bool check_body(platform::File& in);

// Sixteen characters tested at once: bit k of the mask is set where
// character k is a control character (below 0x20, CR among them) or
// outside ASCII's printable range (0x7F and above), or, with `equals`,
// "=" (which quoted-printable text encodes too).
unsigned special_mask16(const char* p, bool equals);
inline bool is_special(char ch) {
  return static_cast<unsigned char>(ch - 0x20) > 0x5E;
}

// FidoNet text as UTF-8: in the charset of its CHRS kludge (or of the
// area), and as IBMPC when text said to be UTF-8 is not.
std::string fido_text_as_utf8(std::string_view text);

// The Internet header of the reply message.
void write_header(platform::File& file);

// The text of the reply message.
void write_body(platform::File& in, platform::File& out);

// With BounceUnaddressed: the recipient text of a netmail that is no
// Internet address (empty when all are); `none` is set when a netmail to
// UUCP names no recipient at all. A name beside gateway lines that give
// addresses is no recipient: the message is then taken as one to UUCP.
std::string unaddressed_recipient(bool& none);
// Returns the netmail to its writer instead (convert_return.cpp), and
// reads its text to its end.
void return_to_writer(platform::File& in, std::string_view recipient);

}  // namespace quillmar::conversion
