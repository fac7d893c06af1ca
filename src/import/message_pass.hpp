// The two passes over an Internet message of a SOUP message file: the parse
// pass collects its header (and counts the parts it will be split into),
// the write pass writes it as one or more FidoNet messages. Both run the
// same line loop, so that they take the same decisions.
#pragma once

#include <vector>

#include "base/bounded_text.hpp"
#include "base/path_list.hpp"
#include "base/path_text.hpp"
#include "fido/packet_writer.hpp"
#include "soup/soup_reader.hpp"

namespace quillmar {

// The parse pass: empties and fills `message_work.header`, the recipient and
// cross-post tables, `body_offset`, the attach list and the part count.
void parse_message(MessageFile& file, const MessageExtent& extent, const SoupArea& area);

// Counts the parts again (and rebuilds the attach list) with what the
// classification and the address mapping have decided since the parse
// pass: the category, the junk reason, the names in the header
// information, the attachments found. The driver runs it right before the
// write pass whenever the message may be split, or has attachments that a
// junk reason keeps from being decoded.
void recount_message(MessageFile& file, const MessageExtent& extent, const SoupArea& area);

// Defaults of sender and recipient, destination and origin, and the route
// of the sender with its password.
void complete_header(const SoupArea& area);

// The recipient name of news and list messages: the attribution found in
// the text, else "All", when the header names nobody.
void apply_recipient_name_rule();

// The FidoNet character set of the message, from its Internet one.
void select_chrs();

// The write pass: the message as FidoNet text into `packet`.
void write_imported_message(bool ignore_text, int category, bool own_org, int junk_reason,
                            const Text<128>* cut_marker, MessageFile& file, OutPacket& packet,
                            const MessageExtent& extent, const SoupArea& area);

// The files decoded since the last call of forget_decoded_files, and how
// many decoded files could not be written whole.
const PathList& decoded_files();
void forget_decoded_files();
long decoded_write_failures();

}  // namespace quillmar
