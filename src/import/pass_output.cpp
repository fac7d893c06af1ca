// The FidoNet text a pass writes (and the sizes the counting passes
// take): the header information block, lines cut into chunks, kludge
// lines, the split into parts, and runs of plain lines.
#include "import/line_pass.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/char_class.hpp"
#include "base/charset.hpp"
#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"
#include "fido/address_mapping.hpp"
#include "fido/message_record.hpp"
#include "fido/message_writer.hpp"
#include "import/classify.hpp"
#include "import/decoded_file.hpp"
#include "import/import_journal.hpp"
#include "import/import_state.hpp"
#include "import/mime_render.hpp"
#include "rfc/header_values.hpp"
#include "rfc/mime_words.hpp"

namespace quillmar::line_pass {

void MessagePass::emit_raw(std::string_view bytes) {
  if (writing() && !ignore_text_) packet_->file.write(bytes);
}

void MessagePass::emit(std::string_view bytes) {
  written_ += static_cast<long>(bytes.size());
  emit_raw(bytes);
}

// The block of header information at the top of the text.
void MessagePass::write_header_information() {
  const MessageHeader& h = *message_work.header;
  const Settings& s = *settings;
  long before = written_;
  char buf[512];
  auto line = [&](const char* format, auto... args) {
    int n = std::snprintf(buf, sizeof buf, format, args...);
    if (n > 0) emit(std::string_view(buf, std::min<std::size_t>(n, sizeof buf - 1)));
  };
  for (std::size_t i = 0; i < message_work.cross_posts.size(); ++i) {
    emit(i % 3 == 0 ? "XPost: " : ", ");
    emit(message_work.cross_posts[i].view());
    if (i % 3 == 2 || i + 1 == message_work.cross_posts.size()) emit("\r");
  }
  if (!h.body_has_header_lines && s.extra_lines != ExtraLines::none) {
    bool addresses = s.extra_lines == ExtraLines::addresses;
    const Text<128>& from = addresses ? h.from_address : h.from_name;
    const Text<128>& from_shown = addresses ? h.from_name : h.from_address;
    const Text<128>& to = addresses ? h.to_address : h.to_name;
    const Text<128>& to_shown = addresses ? h.to_name : h.to_address;
    if (!from.empty() && !equals_nocase(from.view(), from_shown.view())) {
      line("From: %s\r", from.c_str());
    }
    if (mail_area() && !to.empty() && !equals_nocase(to.view(), to_shown.view())) {
      line("To: %s\r", to.c_str());
    }
  }
  static constexpr const char* kRecipientWords[] = {"", "To", "Copy", "BCopy"};
  for (int kind : {kAddressTo, kAddressCc, kAddressBcc}) {
    for (const Recipient& r : message_work.recipients) {
      if (r.kind != kind) continue;
      line("%s: %s", kRecipientWords[kind], r.address.c_str());
      if (!r.name.empty()) line(" (%s)", r.name.c_str());
      emit("\r");
    }
  }
  if (h.wrong_route_password && h.route != nullptr) {
    const FtnAddress& a = h.route->address;
    emit("*** Incorrect Quillmar Route-password ");
    line("for node %s", ftn_address_text(a, PointForm::when_set).c_str());
    emit(" ***\r");
  }
  if (mail_area() && h.has_attachments &&
      !equals_nocase(base_name(h.subject.view()), base_name(h.attach_list.view()))) {
    line("Subject: %s\r", h.subject.c_str());
  }
  if (written_ != before) emit("\r");
}

void MessagePass::write_line(std::string_view line, bool header_line) {
  MessageHeader& h = *message_work.header;
  const Settings& s = *settings;
  if (!header_line) {
    for (; pending_blanks_ > 0; --pending_blanks_) emit("\r");
  }
  if (ignore_text_) return;
  // Without ImportLimit the passes that only count need no sizes.
  if (!writing() && s.ImportLimit == 0) return;
  if (header_line) {
    if (line.size() <= 2) return;
    StripLevel level = s.StripKludges[category_];
    if (level == StripLevel::yes) return;
    if (level == StripLevel::some &&
        (starts_with_nocase(line, "Received:") || starts_with_nocase(line, "Path:") ||
         starts_with_nocase(line, "References:"))) {
      return;
    }
  }
  if (s.ImportLimit != 0 && written_ > 0 &&
      static_cast<uint64_t>(written_) + line.size() + kSplitReserve >= s.ImportLimit) {
    if (writing()) {
      ++h.part_number;
      emit_raw("\r[continued in next message]\r");
      if (!ignore_text_) {
        write_message_end(category_, packet_->file);
        write_message_start(category_, packet_->file, h.attach_list.view(), junk_reason_, own_org_);
      }
      emit_raw("[continued from previous message]\r\r");
    } else {
      ++h.part_count;
    }
    written_ = 0;
  }
  std::size_t width = header_line ? kHeaderWidth : kBodyWidth;
  // A body line that fits goes out as it is, with its line end.
  if (!header_line && line.size() <= width) {
    written_ += static_cast<long>(line.size()) + 1;
    if (writing()) packet_->file.write_ending(line, '\r');
    return;
  }
  // So does a header line that fits, as a kludge.
  if (header_line && line.size() <= width) {
    written_ += static_cast<long>(line.size()) + 2;
    if (!writing()) return;
    platform::File& f = packet_->file;
    if (char* room = f.write_room(line.size() + 2)) {
      room[0] = '\x01';
      std::memcpy(room + 1, line.data(), line.size());
      room[line.size() + 1] = '\r';
      f.commit(line.size() + 2);
    } else {
      f.write("\x01", 1);
      f.write_ending(line, '\r');
    }
    return;
  }
  // The chunks are put together first and written at once; the passes that
  // only count take their sizes.
  const bool copy = writing();
  std::size_t out = 0;
  bool first = true;
  while (true) {
    std::size_t chunk = line.size();
    if (line.size() > width) {
      chunk = width;
      for (std::size_t len = width; len >= kLeastChunk; --len) {
        // With ModernMime 8-bit bytes are letters: words stay whole.
        bool letter = is_alnum(line[len - 1]) ||
                      (modern_ && static_cast<unsigned char>(line[len - 1]) >= 0x80);
        if (!letter) {
          chunk = len;
          break;
        }
      }
      // A chunk never ends inside a UTF-8 character.
      if (modern_ && target_utf8_) {
        std::size_t whole = cut_text(line, chunk, true).size();
        if (whole > 0) chunk = whole;
      }
    }
    if (header_line) {
      std::string_view mark = first ? "\x01" : "\x01  ";
      if (copy) std::memcpy(output_buffer + out, mark.data(), mark.size());
      out += mark.size();
    }
    if (copy) {
      std::memcpy(output_buffer + out, line.data(), chunk);
      output_buffer[out + chunk] = '\r';
    }
    out += chunk + 1;
    line.remove_prefix(chunk);
    if (line.empty()) break;
    if (header_line && first) width = kHeaderWidth - 2;
    first = false;
  }
  emit(std::string_view(output_buffer, out));
}

// The lines of plain text that follow, written as body_step() writes them;
// it stops before the first line that needs more: one holding a NUL byte,
// one longer than a line of the text, one starting with "begin".
void MessagePass::write_plain_lines() {
  const int64_t start = file_.tell();
  const std::size_t rest = remaining();
  std::string_view text = file_.look_ahead(rest);
  if (text.size() != rest) {
    // The rest of the message is not in the window at once: line by line.
    for (;;) {
      const int64_t at = file_.tell();
      std::string_view line = next_raw(kLineBuffer - 1);
      if (line.empty()) return;
      const bool nul = file_.has_nul(line);
      line = text_of_line(line);
      if (nul || !write_plain_line(line)) {
        file_.seek(at);
        return;
      }
    }
  }
  // The rest is at hand: its lines are found in it, up to the first NUL.
  const char* nul = static_cast<const char*>(std::memchr(text.data(), '\0', text.size()));
  std::size_t done = 0;
  while (done < text.size()) {
    const char* at = text.data() + done;
    std::size_t left = text.size() - done;
    std::size_t feed = MessageFile::line_feed_at(at, left);
    std::size_t taken = feed < left ? feed + 1 : left;
    if (nul != nullptr && nul < at + taken) break;
    std::string_view line(at, taken);
    line = text_of_line(line);
    if (!write_plain_line(line)) break;
    done += taken;
  }
  file_.seek(start + static_cast<int64_t>(done));
}

// One line of plain text (its line end cut off) as body_step() writes it;
// false, with nothing done, for a line that needs more than that.
bool MessagePass::write_plain_line(std::string_view line) {
  if (line.size() > kBodyWidth || line.starts_with("begin")) return false;
  if (line.empty()) {
    ++pending_blanks_;
    parameter_scan_ = false;
    return true;
  }
  for (; pending_blanks_ > 0; --pending_blanks_) emit("\r");
  written_ += static_cast<long>(line.size()) + 1;
  packet_->file.write_ending(line, '\r');
  return true;
}

}  // namespace quillmar::line_pass
