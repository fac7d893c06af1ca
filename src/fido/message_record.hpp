// The message work fields: the record of the Internet message being
// converted (its parsed header and the import's state of it), the
// recipient table and the cross-post table. One instance each, allocated
// once at start-up and overwritten by every message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/bounded_text.hpp"
#include "config/settings.hpp"
#include "rfc/header_fields.hpp"

namespace quillmar {

// The identifier of a message (Message-ID or MSGID) or of the message it
// answers.
struct MessageRef {
  Text<128> id_text;  // Internet identifier; on import without angle brackets
  FtnAddress address;
  uint32_t serial = 0;
  bool gateway_form = false;  // address and serial were read from id_text
};

// Junk reasons, in the order of the words of the JUNKMAIL kludge.
enum JunkReason : int {
  kJunkNone = 0,
  kJunkFrom = 1,
  kJunkSubject = 2,
  kJunkBody = 3,
  kJunkGroup = 4,
  kJunkFromTo = 5,
  kJunkImpExp = 6,
};

// The Internet message being imported: its parsed header and, beside it,
// the state that the classification, the address mapping and the FidoNet
// message writer share. Emptied at the start of every parse pass.
struct MessageHeader {
  // Header fields.
  Text<128> from_address;
  Text<128> from_name;
  Text<128> to_address;
  Text<128> to_name;
  Text<128> reply_to_address;
  Text<128> reply_to_name;
  Text<128> x_from;
  Text<128> sender;
  Text<128> subject;
  ParsedDate date;
  Text<128> date_zone;
  MessageRef msgid_ref;
  MessageRef reply_ref;
  Text<128> organization;
  Text<64> mail_password;
  Text<128> content_type;
  Text<128> transfer_encoding;
  Text<128> charset;
  Text<128> quote_name;
  Text<128> quote_address;
  long body_offset = 0;
  bool body_has_header_lines = false;

  // The FidoNet message made of it.
  int category = kKindMail;  // kKindMail, kKindNews or kKindList
  Text<128> area_tag;
  FtnAddress origin;
  FtnAddress destination;
  Text<128> chrs;  // CHRS kludge value, empty for none
  bool has_attachments = false;
  Text<72> attach_list;  // shown names of the decoded files, blank-separated
  long part_number = 1;
  long part_count = 1;

  // Classification and routing.
  bool routed = false;
  bool wrong_route_password = false;
  const RouteEntry* route = nullptr;  // the Route entry of a routed message
  int junk_reason = kJunkNone;
  bool own_org = false;
  bool ignore_text = false;
  bool mailing_list = false;
  int list_index = -1;                    // ListConfig list, or -1
  const Text<128>* cut_marker = nullptr;  // truncation text of a MailingList entry
  Text<128> previous_to_name;             // To name before a junk or own-org redirection
};

// The message work fields: the record of the message being converted and
// its recipient and cross-post tables, shared by the steps of one message.
struct MessageWork {
  MessageHeader* header = nullptr;  // allocated once by allocate_message_work
  RecipientTable recipients;
  CrossPostTable cross_posts;
};

extern MessageWork message_work;

// Allocates the message work fields; called once at start-up.
void allocate_message_work();

// Empties the message record (the date back to 1 January 1970 00:00:00)
// and both tables.
void reset_message_header();

}  // namespace quillmar
