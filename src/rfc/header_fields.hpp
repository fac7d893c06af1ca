// What the Internet header parsers fill: the recipients of a message with
// their kinds, the newsgroups it is cross-posted to, and its date.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/bounded_text.hpp"
#include "base/fixed_table.hpp"

namespace quillmar {

inline constexpr std::size_t kMaxRecipients = 1024;
inline constexpr std::size_t kMaxCrossPosts = 1024;

// Kinds of address lists; To, Cc and Bcc are also the kinds of recipients.
enum AddressKind : int {
  kAddressFrom = 0,
  kAddressTo = 1,
  kAddressCc = 2,
  kAddressBcc = 3,
  kAddressReplyTo = 4,
  kAddressQuote = 5,
};

struct Recipient {
  uint8_t kind = 0;  // kAddressTo, kAddressCc or kAddressBcc
  Text<128> address;
  Text<128> name;  // empty when the entry has no name
};

using RecipientTable = FixedTable<Recipient, kMaxRecipients>;
using CrossPostTable = FixedTable<Text<128>, kMaxCrossPosts>;

// A date as the Date header gives it, in the sender's local time.
struct ParsedDate {
  uint16_t day = 1;
  uint16_t month = 0;  // 0 = January
  uint16_t year = 1970;
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;

  friend bool operator==(const ParsedDate&, const ParsedDate&) = default;
};

}  // namespace quillmar
