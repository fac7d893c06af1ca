// List commands sent by mail (subscribe, unsubscribe, changepass) and the
// administrative replies that answer them.
#pragma once

#include "lists/list_files.hpp"

namespace quillmar {

inline constexpr int kCommandSubscribe = 1;
inline constexpr int kCommandUnsubscribe = 2;
inline constexpr int kCommandChangepass = 3;

// Carries out `command` for the sender of the message being imported
// (`message_header`) on the list `list` and answers it.
void list_command(ListRecord& list, int command);

// Writes one administrative reply built from `template_name` (nothing when
// it is empty or cannot be read) to the member `user`.
void send_admin_reply(ListRecord& list, const UserRecord& user,
                      const std::optional<PathText>& template_file);

}  // namespace quillmar
