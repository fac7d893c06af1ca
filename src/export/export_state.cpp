#include "export/export_state.hpp"

#include <new>

#include "base/log.hpp"
#include "base/text_helpers.hpp"
#include "export/journal.hpp"
#include "fido/packet_writer.hpp"
#include "platform/clock.hpp"

namespace quillmar {

ExportState export_state;

ExportMark export_mark() {
  ExportMark mark;
  mark.reply = reply_mark();
  mark.journal = journal_mark();
  mark.stats = export_state.stats;
  return mark;
}

void export_rollback(const ExportMark& mark) {
  reply_rollback(mark.reply);
  journal_rollback(mark.journal);
  export_state.stats = mark.stats;
}

bool find_attached_file(std::string_view name, PathText& found) {
  if (name.empty()) return false;
  platform::FileStamp st = platform::file_stamp(name);
  if (st.exists && found.assign(name)) return true;
  if (base_name(name).size() != name.size() || settings->InboundDir.empty()) return false;
  return found.assign(settings->InboundDir) && found.append(name) &&
         platform::file_stamp(found).exists;
}

bool packet_still_written(std::string_view path) {
  platform::File f;
  if (!f.open(path, platform::OpenMode::read)) return false;
  unsigned char tail[2] = {1, 1};
  bool closed = f.seek(0, SEEK_END) && f.tell() >= static_cast<long>(kPacketHeaderSize + 2) &&
                f.seek(-2, SEEK_END) && f.read(tail, 2) == 2 && tail[0] == 0 && tail[1] == 0;
  f.close();
  if (closed) return false;
  platform::FileStamp st = platform::file_stamp(path);
  long long age = static_cast<long long>(platform::now()) - st.mtime_ns / 1000000000;
  if (age >= static_cast<long long>(settings->PacketSettleTime) * 60) return false;
  log_print(
      "! %.*s has no closing zero word and changed %llds ago: may still be written, left "
      "for a later run\n",
      static_cast<int>(path.size()), path.data(), age);
  return true;
}

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
