// Files a tosser or mailer would take from its inbound, decoded from
// Internet messages: they reach the inbound under such a name only when
// the message comes from a PacketSender; anyone else's go to DecodeDir, or,
// where that is the inbound too, get a name that no tosser takes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/path_text.hpp"
#include "config/settings.hpp"
#include "fido/message_record.hpp"

namespace quillmar {

// The suffix that takes a stranger's file out of a tosser's reach where it
// has to stay in the inbound.
inline constexpr std::string_view kStrangerSuffix = ".UNTRUSTED";

// Whether a tosser or a mailer takes a file of this name from the inbound
// or outbound it watches (without regard to case): packets (*.PKT), mail
// bundles (*.MO? ... *.SU?, any letter or digit last), outbound packets
// (*.?UT), flow files (*.?LO), file requests (*.REQ) and file-echo
// tickets (*.TIC).
bool is_tosser_name(std::string_view name);

// Why a decoded file may or may not reach the tosser.
struct PacketTrust {
  const PacketSenderEntry* sender = nullptr;  // the PacketSender of the message, if any
  std::string reason;                         // why not, when there is none
};

// The PacketSender of the message being imported: only mail (a mailing
// list's too) from a configured address whose Route password, where it
// has one, is right.
PacketTrust packet_trust(const MessageHeader& h, bool mail_area);

// Whether DecodeDir is another directory than InboundDir.
bool decode_dir_apart();

// Where a decoded file with a tosser's name went.
enum class PacketPlacement : uint8_t {
  elsewhere,   // not into the inbound: nothing to say
  inbound,     // into the inbound under its name: the message's PacketSender
  decode_dir,  // a stranger's, into DecodeDir
  renamed,     // a stranger's, into the inbound under a name no tosser takes
};

// The log line that says where a decoded file with a tosser's name went
// and why; `name` is the file's name in the message, `path` where it went.
void report_packet_placement(std::string_view name, PacketPlacement placement,
                             const PacketTrust& trust, const MessageHeader& h,
                             std::string_view path);

}  // namespace quillmar
