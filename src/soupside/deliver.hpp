// deliver: the replies listed in REPLIES go out, mail through the local MTA's
// sendmail command and news by POST to the news server.
#pragma once

namespace quillmar {

// Sends every reply message not sent before; removes each reply file once
// all its messages are accepted or set aside, and its REPLIES line with it.
// Failures mark the run.
void deliver_replies();

}  // namespace quillmar
