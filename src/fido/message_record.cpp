#include "fido/message_record.hpp"

#include <new>

#include "base/log.hpp"

namespace quillmar {

MessageHeader* message_header = nullptr;
RecipientTable recipient_table;
CrossPostTable cross_post_table;

void allocate_message_work() {
  message_header = new (alloc_or_exit(sizeof(MessageHeader))) MessageHeader{};
  recipient_table.allocate();
  cross_post_table.allocate();
}

void reset_message_header() {
  *message_header = MessageHeader{};
  recipient_table.clear();
  cross_post_table.clear();
}

}  // namespace quillmar
