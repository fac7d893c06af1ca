// List commands sent by mail (subscribe, unsubscribe, changepass) and the
// administrative replies that answer them.
#pragma once

#include <string_view>

#include "lists/list_files.hpp"
#include "platform/fs.hpp"

namespace quillmar {

inline constexpr int kCommandSubscribe = 1;
inline constexpr int kCommandUnsubscribe = 2;
inline constexpr int kCommandChangepass = 3;

// Carries out `command` for the sender of the message being imported
// (`message_header`) on the list `list` and answers it.
void list_command(ListRecord& list, int command);

// How many list changes could not be made in this run (the list file was
// held by another program too long, or could not be written); the import
// keeps the message of such a command for a later run.
long list_failures();

// Writes one administrative reply built from `template_file` (nothing when
// it is empty or cannot be read) to the member `user`.
void send_admin_reply(ListRecord& list, const UserRecord& user,
                      const std::optional<PathText>& template_file);

// Starts the serial of the administrative replies afresh (a new run).
void reset_admin_serial();

// Writes a header value; a line break inside it becomes a blank, so that no
// text of a message can add header lines of its own.
void write_header_text(platform::File& out, std::string_view text);

}  // namespace quillmar
