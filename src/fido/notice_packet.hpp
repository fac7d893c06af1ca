// A one-message netmail packet the gateway writes to a FidoNet user on its
// own account: the notice that a netmail could not go out to the Internet.
#pragma once

#include <string_view>

#include "base/ftn_address.hpp"

namespace quillmar {

struct Notice {
  FtnAddress from;  // the gateway
  FtnAddress to;    // the user
  std::string_view from_name;
  std::string_view to_name;
  std::string_view subject;
  std::string_view text;      // lines ended by "\r"
  std::string_view reply_to;  // the MSGID value of the message answered, or empty
  uint32_t serial = 0;        // of its own MSGID
};

// Writes the packet into `path` (created new), puts it on disk and closes
// it; false (the file removed again) when any of that failed.
bool write_notice_packet(std::string_view path, const Notice& notice);

}  // namespace quillmar
