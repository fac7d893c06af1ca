// The SOUP message file reader and the header parse pass, in memory: the
// message file lies in the box's RAM directory, and nothing is written.
// The first byte chooses the format and the kind of the area; the rest is
// the message file. Every message is cut out of it and its header parsed
// as the import's first pass does, with the defaults and the character set
// chosen after it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fido/message_record.hpp"
#include "harness.hpp"
#include "import/message_pass.hpp"
#include "soup/soup_reader.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

QUILLMAR_FUZZ_TARGET(soup_message) {
  if (size < 1) return 0;
  static int seen = -1;
  // One message file with its buffer for the whole run, as the import has.
  static MessageFile* file = new MessageFile;
  if (setup_needed(seen)) {
    reset_box();
    if (!load_settings()) fail("the fixed configuration could not be read");
  }
  constexpr MessageFormat kFormats[] = {MessageFormat::rnews, MessageFormat::mailbox,
                                        MessageFormat::mmdf, MessageFormat::binary};
  SoupArea area;
  area.prefix = "MSG00001";
  area.format = kFormats[data[0] % 4];
  area.kind = (data[0] / 4) % 2 == 0 ? MessageKind::mail : MessageKind::news;
  area.area_name = area.kind == MessageKind::mail ? "Email" : "alt.test";
  write_file("soup/MSG00001.MSG",
             std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  if (!file->open(in_box("soup/MSG00001.MSG"))) fail("the message file could not be opened");
  const int64_t file_size = file->size();
  if (file_size != static_cast<int64_t>(size - 1)) fail("a message file of %zu bytes", size - 1);
  int64_t last_end = 0;
  for (int64_t count = 0;; ++count) {
    if (count > file_size + 1) fail("more messages than bytes");
    MessageExtent extent;
    if (next_message_extent(*file, area.format, extent) != ExtentResult::message) break;
    if (extent.start < last_end || extent.start > extent.end || extent.end > file_size) {
      fail("message %lld at [%lld, %lld) in a file of %lld bytes after %lld",
           static_cast<long long>(count), static_cast<long long>(extent.start),
           static_cast<long long>(extent.end), static_cast<long long>(file_size),
           static_cast<long long>(last_end));
    }
    parse_message(*file, extent, area);
    const MessageHeader& h = *message_work.header;
    if (h.body_offset < extent.start || h.body_offset > extent.end) {
      fail("a body at %ld outside its message [%lld, %lld)", h.body_offset,
           static_cast<long long>(extent.start), static_cast<long long>(extent.end));
    }
    select_chrs();
    complete_header(area);
    file->seek(extent.end);
    last_end = extent.end;
  }
  file->close();
  return 0;
}
