// Distribution of a posting to a list's members as one mail.
#pragma once

#include <cstdint>

#include "lists/list_commands.hpp"
#include "lists/list_files.hpp"
#include "rfc/header_writer.hpp"
#include "soup/soup_reader.hpp"

namespace quillmar {

// The Bcc field of a list mail: every member who may receive list mail,
// two addresses on each continuation line.
void write_member_bcc(HeaderWriter& out, ListRecord& list);

// Checks the sender of the message being imported (`request.message`) and
// sends the posting, whose body lies in `file` from `body_start` to
// `message_end`, to every member. False when the posting was refused (and
// answered).
bool distribute_posting(ListRecord& list, MessageFile& file, int64_t body_start,
                        int64_t message_end, const ListRequest& request);

}  // namespace quillmar
