#include "export/export_state.hpp"

#include <new>

#include "base/log.hpp"
#include "base/text_helpers.hpp"

namespace quillmar {

ExportState export_state;

void allocate_export_work() {
  if (export_state.message != nullptr) return;
  export_state.message = new (alloc_or_exit(sizeof(ExportMessage))) ExportMessage{};
  export_state.attachments.allocate();
}

void release_export_work() {
  if (export_state.message == nullptr) return;
  export_state.message->~ExportMessage();
  std::free(export_state.message);
  export_state.message = nullptr;
  export_state.attachments.release();
  export_state.target = ExportTarget::undecided;
  export_state.stats = ExportStatistics{};
  export_state.write_failed = false;
}

void select_route(const RouteEntry& route) {
  export_state.target = ExportTarget::route;
  export_state.message->route_recipient = route.email;
  export_state.message->route_password = route.password;
  export_state.message->route_subject = route.subject;
}

std::string_view without_send_mark(std::string_view name) {
  if (!name.empty() && (name.front() == '^' || name.front() == '#')) name.remove_prefix(1);
  return name;
}

bool add_attachment(std::string_view name) {
  AttachmentEntry* e = export_state.attachments.add();
  if (e == nullptr) return false;
  e->name = name;
  std::size_t dot = name.rfind('.');
  bool packet = dot != std::string_view::npos && equals_nocase(name.substr(dot), ".PKT");
  e->state = packet ? kAttachPacket : kAttachFile;
  return true;
}

}  // namespace quillmar
