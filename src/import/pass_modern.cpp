// With ModernMime: header lines with their encoded words decoded, the
// body rendered as lines of text and files, and everything recoded into
// the FidoNet charset of the area.
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

namespace {

bool is_address_field(std::string_view line) {
  for (std::string_view name : {"From:", "To:", "Cc:", "Bcc:", "Reply-To:", "Sender:"}) {
    if (starts_with_nocase(line, name)) return true;
  }
  return false;
}

}  // namespace

// The FidoNet charset of an area: its FidoCharset entry (by FidoNet area
// tag or SOUP area name), else the default.
std::string fido_charset_for(std::string_view area_tag, std::string_view soup_area) {
  for (const AreaCharsetEntry& e : settings->AreaCharset) {
    if ((!area_tag.empty() && equals_nocase(e.area.view(), area_tag)) ||
        equals_nocase(e.area.view(), soup_area)) {
      return e.charset;
    }
  }
  return settings->FidoCharset;
}
// Whether a FidoNet charset is UTF-8; the answer for the last charset asked
// about is kept, since every pass over a message asks.
bool is_utf8_charset(const std::string& charset) {
  static std::string last;
  static bool last_utf8 = false;
  static bool asked = false;
  if (!asked || charset != last) {
    last = charset;
    last_utf8 = equals_nocase(iconv_name_of(charset), "UTF-8");
    asked = true;
  }
  return last_utf8;
}

// A header line of the message with ModernMime: encoded words decoded,
// written in the FidoNet charset, collected as UTF-8.
void MessagePass::modern_header_line(std::string_view line) {
  auto value_of = [](std::string_view l) {
    l = l.substr(l.find(':') + 1);
    while (!l.empty() && l[0] == ' ') l.remove_prefix(1);
    return std::string(l);
  };
  if (mime_type_.empty() && starts_with_nocase(line, "Content-Type:")) mime_type_ = value_of(line);
  if (mime_encoding_.empty() && starts_with_nocase(line, "Content-Transfer-Encoding:")) {
    mime_encoding_ = value_of(line);
  }
  if (mime_disposition_.empty() && starts_with_nocase(line, "Content-Disposition:")) {
    mime_disposition_ = value_of(line);
  }
  std::string decoded = decode_header_text(line, settings->FallbackCharset);
  write_line(recode(decoded, "UTF-8", target_), true);
  // Addresses are parsed as they came (a decoded name may hold a comma);
  // their names are decoded when the header is complete.
  if (collecting()) recognise_field(is_address_field(line) ? line : buffer_line(decoded, true));
}

// `text` copied into the line buffer (as much as it holds, NUL bytes as
// blanks).
std::string_view MessagePass::buffer_line(std::string_view text, bool utf8) {
  std::string_view whole = cut_text(text, kLineBuffer - 1, utf8);
  text = whole.empty() ? text.substr(0, kLineBuffer - 1) : whole;
  for (std::size_t i = 0; i < text.size(); ++i) line_buffer[i] = text[i] == '\0' ? ' ' : text[i];
  line_buffer[text.size()] = '\0';
  return std::string_view(line_buffer, text.size());
}

// With ModernMime, the end of the message's header: the whole body is
// taken apart into lines and files; the line loop reads those.
void MessagePass::render_body() {
  std::string body;
  while (remaining() > 0) {
    std::string_view piece = file_.read_bytes(remaining() < 65536 ? remaining() : 65536);
    if (piece.empty()) break;
    body.append(piece);
  }
  RenderOptions options;
  options.fallback_charset = settings->FallbackCharset;
  RenderFindings findings;
  items_ =
      render_mime_body(mime_type_, mime_encoding_, mime_disposition_, body, options, &findings);
  if (writing()) {
    for (int i = 0; i < findings.wrong_base64; ++i) report_wrong_base64();
  }
  next_item_ = 0;
  item_offset_ = 0;
  boundary_.clear();
  quoted_printable_ = false;
  base64_pending_ = false;
  parameter_scan_ = false;
}

// The next text line of the rendered body, in the FidoNet charset; the
// files on the way are saved (or noted when they are not decoded).
bool MessagePass::next_item_line(std::string_view& line) {
  while (next_item_ < items_.size()) {
    BodyItem& item = items_[next_item_];
    if (!item.file) {
      if (item_offset_ == 0) {
        item.text = recode(item.text, "UTF-8", target_);
        // Decoded text cannot bring in kludge lines of its own.
        for (char& c : item.text) {
          if (c == '\x01') c = '@';
        }
      }
      std::string_view rest = std::string_view(item.text).substr(item_offset_);
      line = buffer_line(rest, target_utf8_);
      if (line.size() < rest.size() && !line.empty()) {
        item_offset_ += line.size();
      } else {
        ++next_item_;
        item_offset_ = 0;
      }
      std::size_t len = line.size();
      if (state_ != DecodeState::uuencode) {
        while (len > 0 && line_buffer[len - 1] == ' ') --len;
        line_buffer[len] = '\0';
      }
      line = std::string_view(line_buffer, len);
      return true;
    }
    ++next_item_;
    finish_attachment();
    std::string name = recode(item.text, "UTF-8", target_);
    start_attachment(DecodeState::base64, cut_text(name, 80, target_utf8_));
    bool ignored = action_ == AttachAction::ignore;
    if (writing()) {
      decoded_ = static_cast<long>(item.data.size());
      put_decoded(reinterpret_cast<const unsigned char*>(item.data.data()), item.data.size());
    }
    finish_attachment();
    if (ignored) {
      note_ = "[Attachment " + (name.empty() ? std::string("without a name") : name) + ", " +
              std::to_string(item.data.size()) + " bytes, not imported]";
      line = buffer_line(note_, target_utf8_);
      return true;
    }
  }
  return false;
}

// With ModernMime, once the FidoNet area is known: the charset of the
// area, its CHRS kludge, and the header fields (collected as UTF-8)
// recoded into it.
void prepare_modern_message(const SoupArea& area) {
  MessageHeader& h = *message_work.header;
  target_charset = fido_charset_for(h.area_tag.view(), area.area_name.view());
  const FidoCharsetInfo* info = find_fido_charset(target_charset);
  if (info != nullptr) {
    h.chrs.assign(std::string(info->chrs) + " " + std::to_string(info->level));
  }
  if (fields_recoded) return;
  fields_recoded = true;
  bool utf8 = info != nullptr && info->level == 4;
  auto recoded = [&](Text<128>& field) {
    if (is_ascii(field.view())) return;
    std::string text = recode(field.view(), "UTF-8", target_charset);
    field.assign(cut_text(text, 127, utf8));
  };
  for (Text<128>* f : {&h.from_name, &h.to_name, &h.reply_to_name, &h.subject, &h.organization,
                       &h.x_from, &h.sender, &h.quote_name, &h.previous_to_name, &h.from_address,
                       &h.to_address, &h.reply_to_address, &h.quote_address}) {
    recoded(*f);
  }
  for (Recipient& r : message_work.recipients) {
    recoded(r.name);
    recoded(r.address);
  }
}

}  // namespace quillmar::line_pass
