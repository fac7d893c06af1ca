#include "export/export_state.hpp"

#include <cstring>
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
  mark.newsfix = newsfix_mark();
  return mark;
}

void export_rollback(const ExportMark& mark) {
  reply_rollback(mark.reply);
  journal_rollback(mark.journal);
  export_state.stats = mark.stats;
  newsfix_rollback(mark.newsfix);
}

bool find_attached_file(std::string_view name, PathText& found) {
  if (name.empty()) return false;
  platform::FileStamp st = platform::file_stamp(name);
  if (st.exists && found.assign(name)) return true;
  if (base_name(name).size() != name.size() || settings->InboundDir.empty()) return false;
  return found.assign(settings->InboundDir) && found.append(name) &&
         platform::file_stamp(found).exists;
}

namespace {

// A packed message begins with a fixed header of 14 bytes (the type word
// 2 among them), then its four NUL-ended strings and its NUL-ended text.
constexpr int kPackedHeaderBytes = 14;

// True when the packed messages of the open packet, walked from its header
// on, end in the zero word where the next message would begin. Two zero
// bytes at the end of the file are not enough: a packed message's header
// ends in zero bytes too, and a writer may pause right after one.
bool packet_walks_to_its_end(platform::File& f) {
  if (!f.seek(static_cast<long>(kPacketHeaderSize))) return false;
  constexpr std::size_t kRest = kPackedHeaderBytes - 2;
  unsigned char header[kPackedHeaderBytes];
  for (;;) {
    if (f.read(header, 2) != 2) return false;
    // Anything but a packed message's type: the zero word (or damage,
    // handled as before).
    if ((header[0] | (static_cast<unsigned>(header[1]) << 8)) != 2) return true;
    if (f.read(header + 2, kRest) != kRest) return false;
    // Date, to name, from name, subject and text, each ended by a NUL: the
    // buffered bytes are searched for the NULs in place.
    for (int strings = 5; strings > 0;) {
      std::string_view window = f.peek();
      if (window.empty()) return false;
      const void* nul = std::memchr(window.data(), '\0', window.size());
      if (nul == nullptr) {
        f.skip(window.size());
        continue;
      }
      f.skip(static_cast<std::size_t>(static_cast<const char*>(nul) - window.data()) + 1);
      --strings;
    }
  }
}

}  // namespace

bool packet_still_written(std::string_view path) {
  platform::File f;
  if (!f.open(path, platform::OpenMode::read)) return false;
  platform::FileStamp st = platform::file_stamp(path);
  long long age = static_cast<long long>(platform::now()) - st.mtime_ns / 1000000000;
  bool young = age < static_cast<long long>(settings->PacketSettleTime) * 60;
  unsigned char tail[2] = {1, 1};
  bool closed = f.seek(0, SEEK_END) && f.tell() >= static_cast<long>(kPacketHeaderSize + 2) &&
                f.seek(-2, SEEK_END) && f.read(tail, 2) == 2 && tail[0] == 0 && tail[1] == 0;
  // Only a young packet is walked: an old one is taken as it is.
  if (closed && young) closed = packet_walks_to_its_end(f);
  f.close();
  if (closed || !young) return false;
  log_print(
      "! %s has no closing zero word and changed %llds ago: may still be written, left "
      "for a later run\n",
      platform::shown_path(path).c_str(), age);
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
