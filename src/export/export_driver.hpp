// The EXPORT command: finds the FidoNet mail meant for the Internet (a
// /PKT= directory, stored netmail, or a BinkleyTerm-style outbound) and has
// it converted into the SOUP reply packet.
#pragma once

#include <string_view>

#include "config/settings.hpp"
#include "export/export_state.hpp"
#include "platform/fs.hpp"

namespace quillmar {

// The whole command; the statistics are printed at its end.
void run_export();

// Every "*.PKT" file of the /PKT= directory.
void export_pkt_dir();

// The outbound files of one address: packets ("?UT") and flow files
// ("?LO") of every flavour. `to_name` names the recipient of the covering
// packets built for files listed without a message (empty for none).
void scan_outbound(const FtnAddress& address, std::string_view to_name);

// Exports a packet that a flow file or a netmail message lists (the name
// without its mark; a bare name is also looked for in InboundDir). The entry
// becomes dealt with, or kept when the packet stays for a later run.
void export_listed_packet(AttachmentEntry& e, bool allow_attachments);

// The outbound name of an address without the flavour's extension
// ("OUT\01180005", "OUT.001\007B0004.PNT\00000007"); false when it does not
// fit a path.
bool outbound_base_name(const FtnAddress& address, PathText& out);

}  // namespace quillmar
