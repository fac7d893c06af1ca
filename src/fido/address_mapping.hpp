// Mapping between FidoNet and Internet addresses and message identifiers:
// the address map, the gateway form of FTN addresses in host names
// (p3.f12.n345.z2.fidonet.org), MSGID and REPLY kludges to and from
// Message-IDs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/bounded_text.hpp"
#include "config/settings.hpp"
#include "fido/message_record.hpp"
#include "platform/fs.hpp"

namespace quillmar {

// The gateway domain of every zone that no FidoDomain line covers.
inline constexpr std::string_view kDefaultGatewayDomain = "fidonet.org";

// True when the host ends in "." and the default gateway domain or the
// domain of a FidoDomain entry written with "#".
bool is_gateway_domain(std::string_view host);

struct GatewayHost {
  FtnAddress address;
  bool parsed = false;  // a "." followed the last component read
};

// Reads the components "p", "f", "n", "z" (each may be left out, none may
// be reordered) of the text that starts at an address's "@".
GatewayHost parse_gateway_host(std::string_view from_at);

// The domain text of the first FidoDomain entry whose zone range holds
// `zone`, else the default gateway domain written with its "#".
std::string_view domain_for_zone(uint16_t zone);

// The local part of an Internet address with every "." turned into a blank.
void local_part_to_name(std::string_view address, Text<128>& name);

// The address map entry of an Internet mail: the first entry after the
// first whose Internet address or FidoNet name names the recipient (the To
// address and name, or any entry of the recipient table), else the first.
const AddrMapEntry& find_recipient_mapping(std::string_view to_address, std::string_view to_name,
                                           const RecipientTable& recipients);

// Destination and origin of the message being imported: the mapped
// recipient for mail, the first address map entry for news; the gateway
// address as origin. With AddrMapToName, mail to an entry's address whose
// To field has no name of its own is addressed to the entry's FidoNet name.
void map_destination_and_origin();

// Reads a Message-ID or reference held in `ref.id_text` as gateway form
// when it is one; otherwise clears `gateway_form`.
void read_gateway_identifier(MessageRef& ref);

// The identifier, reply address and To address rules of the import, in
// that order, on the message being imported. True when the message is a
// reply to a gateway user whose FidoNet name it now carries (a personal
// reply); `list_traffic` is set for messages of a MailingList entry.
bool map_import_addresses(bool list_traffic);

// Export: the state of both identifiers before the kludges of a message
// from `origin` are read.
void prepare_message_refs(MessageRef& msgid, MessageRef& reply, const FtnAddress& origin);

// Export: reads the value of a MSGID or REPLY kludge (the text after the
// colon) into `ref`.
void read_message_ref(std::string_view value, MessageRef& ref);

// Appends the value of a Message-ID, In-Reply-To or References header and
// its line end: the identifier text in angle brackets, or one built from
// the serial and the FTN address under the domain of its zone.
void append_message_id(std::string& out, std::string_view id_text, uint32_t serial,
                       const FtnAddress& address);
// A message identifier as a header value with its line end; an identifier
// taken from a message may hold a line break, which becomes a blank.
void write_message_id_line(platform::File& out, const MessageRef& ref);

// The same value without its line end.
std::string message_id_text(std::string_view id_text, uint32_t serial, const FtnAddress& address);

// Export: the Internet sender address (and the reply address, when the
// address map gives one) of a FidoNet sender that did not name its own.
void map_sender_to_internet(const FtnAddress& origin, std::string_view fido_name,
                            Text<128>& sender_address, Text<128>& reply_address);

}  // namespace quillmar
