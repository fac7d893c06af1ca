#include "soup/soup_format.hpp"

#include "base/text_helpers.hpp"

namespace quillmar {

void encode_soup_length(uint32_t length, unsigned char (&field)[4]) {
  field[0] = static_cast<unsigned char>(length >> 24);
  field[1] = static_cast<unsigned char>(length >> 16);
  field[2] = static_cast<unsigned char>(length >> 8);
  field[3] = static_cast<unsigned char>(length);
}

uint32_t decode_soup_length(const unsigned char (&field)[4]) {
  return (static_cast<uint32_t>(field[0]) << 24) | (static_cast<uint32_t>(field[1]) << 16) |
         (static_cast<uint32_t>(field[2]) << 8) | static_cast<uint32_t>(field[3]);
}

bool write_framed_message(platform::File& file, std::string_view message) {
  if (message.size() > 0x7FFFFFFFu) return false;
  unsigned char field[4];
  encode_soup_length(static_cast<uint32_t>(message.size()), field);
  return file.write(field, 4) && file.write(message);
}

FramedRead read_framed_message(platform::File& file, std::string& message, uint32_t maximum) {
  unsigned char field[4];
  std::size_t got = file.read(field, 4);
  if (got == 0) return FramedRead::end_of_file;
  if (got != 4) return FramedRead::format_error;
  uint32_t length = decode_soup_length(field);
  if (length > maximum || (length & 0x80000000u) != 0) return FramedRead::format_error;
  message.resize(length);
  if (length != 0 && file.read(message.data(), length) != length) {
    return FramedRead::format_error;
  }
  return FramedRead::message;
}

std::string soup_listing_line(std::string_view prefix, std::string_view name,
                              std::string_view encoding) {
  std::string line;
  line.reserve(prefix.size() + name.size() + encoding.size() + 3);
  line.append(prefix).append(1, '\t').append(name).append(1, '\t').append(encoding);
  line.push_back('\n');
  return line;
}

std::string soup_binary_encoding(int kind) {
  return std::string(1, kSoupFormatLetter[kind == 1 ? 1 : 0]) + "n";
}

bool parse_soup_listing(std::string_view line, SoupListing& out) {
  std::size_t tab1 = line.find('\t');
  if (tab1 == std::string_view::npos) return false;
  std::size_t tab2 = line.find('\t', tab1 + 1);
  if (tab2 == std::string_view::npos) return false;
  std::string_view prefix = line.substr(0, tab1);
  if (prefix.empty() || prefix.size() > 64 || prefix == "." || prefix == ".." ||
      prefix.find_first_of("\\/") != std::string_view::npos ||
      prefix.find('\0') != std::string_view::npos) {
    return false;
  }
  out.prefix.assign(prefix);
  out.name.assign(line.substr(tab1 + 1, tab2 - tab1 - 1));
  out.encoding.assign(line.substr(tab2 + 1));
  return true;
}

int soup_listing_kind(const SoupListing& listing) {
  if (equals_nocase(listing.name, "mail")) return 0;
  if (equals_nocase(listing.name, "news")) return 1;
  if (listing.encoding.size() > 2) {
    if (listing.encoding[2] == 'm') return 0;
    if (listing.encoding[2] == 'n') return 1;
  }
  return -1;
}

}  // namespace quillmar
