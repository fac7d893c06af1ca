// NewsFix's copy of the news server's list of groups (NEWSFIX.GRP in
// SoupDir): LIST ACTIVE and LIST NEWSGROUPS of the first server, fetched by
// collect at most once a day while NewsFix is on; EXPORT's robot reads it.
#pragma once

#include "soupside/nntp_client.hpp"

namespace quillmar {

// Whether the list is to be fetched: NewsFix is on and the file is
// missing or a day old.
bool group_list_due();

// Fetches the list and puts it in place whole; when that fails the old
// list stays (the failure is logged).
void fetch_group_list(NntpClient& nntp);

}  // namespace quillmar
