#include "export/export_state.hpp"

#include <new>

#include "base/log.hpp"
#include "base/text_helpers.hpp"

namespace quillmar {

ExportTarget export_target = ExportTarget::undecided;
ExportMessage* export_message = nullptr;
AttachmentList attachment_list;
ExportStatistics export_stats;
bool export_write_failed = false;

void allocate_export_work() {
  if (export_message != nullptr) return;
  export_message = new (alloc_or_exit(sizeof(ExportMessage))) ExportMessage{};
  attachment_list.allocate();
}

void release_export_work() {
  if (export_message == nullptr) return;
  export_message->~ExportMessage();
  std::free(export_message);
  export_message = nullptr;
  attachment_list.release();
  export_target = ExportTarget::undecided;
  export_stats = ExportStatistics{};
  export_write_failed = false;
}

void select_route(const RouteEntry& route) {
  export_target = ExportTarget::route;
  export_message->route_recipient = route.email;
  export_message->route_password = route.password;
  export_message->route_subject = route.subject;
}

std::string_view without_send_mark(std::string_view name) {
  if (!name.empty() && (name.front() == '^' || name.front() == '#')) name.remove_prefix(1);
  return name;
}

bool add_attachment(std::string_view name) {
  AttachmentEntry* e = attachment_list.add();
  if (e == nullptr) return false;
  e->name = name;
  std::size_t dot = name.rfind('.');
  bool packet = dot != std::string_view::npos && equals_nocase(name.substr(dot), ".PKT");
  e->state = packet ? kAttachPacket : kAttachFile;
  return true;
}

}  // namespace quillmar
