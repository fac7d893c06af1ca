// collect: a SOUP packet from the messages of a Maildir and the new
// articles of news groups.
#pragma once

namespace quillmar {

// Adds what the Maildir and the news server hold to the packet in SoupDir
// (AREAS and message files), then removes the Maildir messages and
// remembers the last article of each group. Failures mark the run.
void collect_packet();

}  // namespace quillmar
