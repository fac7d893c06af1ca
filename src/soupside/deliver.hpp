// deliver: the replies listed in REPLIES go out, mail through the local MTA's
// sendmail command and news by POST to the news server.
#pragma once

namespace quillmar {

// Sends every reply message not sent before; removes each reply file once
// all its messages are accepted or set aside, and its REPLIES line with it.
// Failures mark the run.
void deliver_replies();

// True for the mail programs' exit statuses (sysexits.h) that refuse the
// message itself: bad data, unknown user or host, service refused, protocol
// error, no permission. Any other status may pass on a later try.
bool sendmail_refuses(int exit_code);

}  // namespace quillmar
