// The FidoNet address "zone:net/node.point": its type, its one reader and
// its one writer. It lives this low because the settings hold addresses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/bounded_text.hpp"

namespace quillmar {

struct FtnAddress {
  uint16_t zone = 0;
  uint16_t net = 0;
  uint16_t node = 0;
  uint16_t point = 0;

  friend bool operator==(const FtnAddress&, const FtnAddress&) = default;
};

// Reads up to `fields` (3 or 4) of "zone:net/node.point" from the start of
// `text`, as "%hu:%hu/%hu.%hu" does: each number may follow white space and
// a sign and is kept modulo 65536. The fields read are stored in `out`, the
// others keep their values; `text` is left after the last field read. The
// number of fields read.
int read_ftn_address(std::string_view& text, FtnAddress& out, int fields = 4);

// How an address is written: "zone:net/node", that and ".point" for a
// point, or always with ".point".
enum class PointForm { never, when_set, always };

// The longest address text: four numbers of five digits and three
// separators.
inline constexpr std::size_t kFtnAddressTextMax = 23;
// Writes the address in the given form to `out` (room for
// kFtnAddressTextMax bytes); the number of bytes written.
std::size_t format_ftn_address(char* out, const FtnAddress& a, PointForm form);
// Appends the address in the given form.
void append_ftn_address(std::string& out, const FtnAddress& a, PointForm form);
// The address in the given form.
Text<32> ftn_address_text(const FtnAddress& a, PointForm form);

}  // namespace quillmar
