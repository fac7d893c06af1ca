// List commands sent by mail (subscribe, unsubscribe, changepass) and the
// administrative replies that answer them.
#pragma once

#include <string_view>

#include "fido/message_record.hpp"
#include "lists/list_files.hpp"
#include "platform/fs.hpp"

namespace quillmar {

inline constexpr int kCommandSubscribe = 1;
inline constexpr int kCommandUnsubscribe = 2;
inline constexpr int kCommandChangepass = 3;

// The message a list answers, and the count of the administrative replies
// written, which grows by one for every reply that reached the reply file.
struct ListRequest {
  const MessageHeader& message;
  long& replies;
};

// Carries out `command` for the sender of the message being imported on
// the list `list` and answers it.
void list_command(ListRecord& list, int command, const ListRequest& request);

// Writes one administrative reply built from `template_file` (nothing when
// it is empty or cannot be read) to the member `user`.
void send_admin_reply(ListRecord& list, const UserRecord& user,
                      const std::optional<PathText>& template_file, const ListRequest& request);

// Starts the serial of the administrative replies afresh (a new run).
void reset_admin_serial();

}  // namespace quillmar
