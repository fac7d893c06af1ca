// The small facts of the SOUP files shared by their readers and writers:
// the 4-byte big-endian length in front of every binary message, the AREAS
// and REPLIES lines ("prefix TAB name TAB encoding"), and the kind names
// and format letters of the binary message files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/fs.hpp"

namespace quillmar {

// The kinds of binary message files: name and format letter.
inline constexpr const char* kSoupKindName[2] = {"mail", "news"};
inline constexpr char kSoupFormatLetter[2] = {'b', 'B'};
// The area name that marks the mail area of a packet.
inline constexpr const char* kSoupMailArea = "Email";

// The 4-byte big-endian length field of a binary message.
void encode_soup_length(uint32_t length, unsigned char (&field)[4]);
uint32_t decode_soup_length(const unsigned char (&field)[4]);

// Writes one binary message: its length field, then its bytes.
bool write_framed_message(platform::File& file, std::string_view message);

enum class FramedRead { message, end_of_file, format_error };
// Reads the next binary message; a length beyond `maximum` or beyond the end
// of the file is a format error.
FramedRead read_framed_message(platform::File& file, std::string& message, uint32_t maximum);

// One line of AREAS or REPLIES.
struct SoupListing {
  std::string prefix;    // the message file is the prefix and ".MSG"
  std::string name;      // area name, or "mail"/"news" in REPLIES
  std::string encoding;  // format letter, index letter, kind letter
};

// The line "prefix TAB name TAB encoding" with its line feed.
std::string soup_listing_line(std::string_view prefix, std::string_view name,
                              std::string_view encoding);
// The encoding field of a binary file of the kind (kReplyMail, kReplyNews).
std::string soup_binary_encoding(int kind);

// Splits a line (without its line end); false when it has fewer than two
// TABs or a prefix that is not a plain file name.
bool parse_soup_listing(std::string_view line, SoupListing& out);

// The kind (0 mail, 1 news) of a REPLIES line, taken from its name field and
// then from the encoding's kind letter; -1 when neither says.
int soup_listing_kind(const SoupListing& listing);

}  // namespace quillmar
