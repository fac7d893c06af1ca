#include "fido/message_record.hpp"

#include <new>

#include "base/log.hpp"

namespace quillmar {

MessageWork message_work;

void allocate_message_work() {
  message_work.header = new (alloc_or_exit(sizeof(MessageHeader))) MessageHeader{};
  message_work.recipients.allocate();
  message_work.cross_posts.allocate();
}

void reset_message_header() {
  *message_work.header = MessageHeader{};
  message_work.recipients.clear();
  message_work.cross_posts.clear();
}

}  // namespace quillmar
