#include "import/message_pass.hpp"

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

char* line_buffer = nullptr;
char* output_buffer = nullptr;
PathText shared_attachment_path;
HeaderLines header_lines;
std::string target_charset = "UTF-8";
std::string counted_charset = "UTF-8";
bool fields_recoded = false;

// Step of an empty line: the body's blank lines, the start of a base64
// block, the end of the parameter scan.
inline void MessagePass::handle_empty_line() {
  if (base64_pending_) {
    base64_pending_ = false;
    if (text_part_ && base64_block_is_text()) {
      parameter_scan_ = false;
      return;
    }
    start_attachment(DecodeState::base64, part_name_);
  } else {
    parameter_scan_ = false;
  }
}

void report_wrong_base64() {
  progress_return();
  log_print("! Message <%s>: text labelled base64 is not base64: kept as text\n",
            message_work.header->msgid_ref.id_text.c_str());
}

// Whether the base64 block of a text part that starts here is plainly
// text (plainly_not_base64), judged on its first 64 KB up to the next
// boundary line; the write pass reports it. Its lines are then text.
bool MessagePass::base64_block_is_text() {
  constexpr std::size_t kJudged = 64 * 1024;
  std::string_view ahead = file_.look_ahead(remaining() < kJudged ? remaining() : kJudged);
  bool complete = ahead.size() == remaining();
  if (!boundary_.empty()) {
    std::string delimiter = "\n--" + std::string(boundary_.view());
    std::size_t at = ahead.starts_with(delimiter.substr(1)) ? 0 : ahead.find(delimiter);
    if (at != std::string_view::npos) {
      ahead = ahead.substr(0, at);
      complete = true;
    }
  }
  if (!plainly_not_base64(ahead, complete, text_declared_ && part_name_.empty())) return false;
  if (writing()) report_wrong_base64();
  return true;
}

// One line of the message header; false when the message has no more.
inline bool MessagePass::header_step() {
  MessageHeader& h = *message_work.header;
  std::string_view line;
  if (!next_header_line(line)) return false;
  if (line.empty()) {
    keep_or_take_mime_state();
    end_header();
    return true;
  }
  if (starts_with_nocase(line, "X-MailPassword:")) {
    if (collecting()) {
      Text<128> password;
      copy_trimmed(line.substr(15), password);
      h.mail_password.assign(password.view());
    }
    return true;
  }
  // A kept line's MIME parameters are taken with the header's end.
  if (!line_was_kept_) mime_scan(line);
  if (modern_) {
    modern_header_line(line);
    return true;
  }
  write_line(line, true);
  // The field parsers take the line buffer apart, so they come last.
  if (collecting()) recognise_field(line);
  return true;
}

// The next line of a header: of the message's own header as the parse
// pass kept it, when it did; false when the message has no more.
inline bool MessagePass::next_header_line(std::string_view& line) {
  HeaderLines& kept = header_lines;
  line_was_kept_ = taking_lines_ && !header_ended_ && next_kept_line_ < kept.lines.size();
  if (line_was_kept_) {
    line = kept.line(next_kept_line_);
    // The file is read again only after the last kept line.
    if (next_kept_line_ + 1 == kept.lines.size()) {
      file_.seek(kept.lines[next_kept_line_].file_offset);
    }
    ++next_kept_line_;
    return true;
  }
  if (!read_header_line(line)) return false;
  if (keeping_lines_ && !header_ended_) {
    if (kept.text.size() + line.size() > HeaderLines::kMaxText ||
        kept.lines.size() == HeaderLines::kMaxLines) {
      keeping_lines_ = false;  // too many to keep: the later passes read them
    } else {
      kept.text.append(line);
      kept.lines.push_back(HeaderLines::Line{kept.text.size(), file_.tell()});
    }
  }
  return true;
}

// At the end of the message's own header: the parse pass keeps what its
// MIME parameters left, a later pass that took the kept lines takes it.
inline void MessagePass::keep_or_take_mime_state() {
  HeaderLines::MimeState& mime = header_lines.mime;
  if (keeping_lines_ && !header_ended_) {
    mime.quoted_printable = quoted_printable_;
    mime.base64_pending = base64_pending_;
    mime.parameter_scan = parameter_scan_;
    mime.text_part = text_part_;
    mime.text_declared = text_declared_;
    mime.boundary = boundary_;
    mime.part_name = part_name_;
  } else if (line_was_kept_) {
    quoted_printable_ = mime.quoted_printable;
    base64_pending_ = mime.base64_pending;
    parameter_scan_ = mime.parameter_scan;
    text_part_ = mime.text_part;
    text_declared_ = mime.text_declared;
    boundary_ = mime.boundary;
    part_name_ = mime.part_name;
  }
}

// The empty line after a header: the message's own header, or the header
// of a MIME part.
inline void MessagePass::end_header() {
  if (!header_ended_ && collecting()) message_work.header->body_offset = file_.tell();
  header_ended_ = true;
  in_header_ = false;
  if (modern_) {
    render_body();
  } else {
    handle_empty_line();
  }
}

// Notes the first line of text: whether the body starts with header lines
// of its own.
inline void MessagePass::note_body_start(std::string_view line) {
  if (line.empty() || body_text_seen_) return;
  body_text_seen_ = true;
  if (collecting()) {
    message_work.header->body_has_header_lines =
        starts_with_nocase(line, "From:") || starts_with_nocase(line, "To:");
  }
}

inline bool MessagePass::at_cut_marker(std::string_view line) const {
  return cut_marker_ != nullptr && !cut_marker_->empty() && !line.empty() &&
         line.find(cut_marker_->view()) != std::string_view::npos;
}

// A MIME boundary line ends the part before it and starts the header of
// the next part; the closing one ends the message. False for any other
// line.
inline bool MessagePass::take_boundary(std::string_view line) {
  if (boundary_.empty() || line.size() < 2 + boundary_.size() || line.substr(0, 2) != "--" ||
      line.substr(2, boundary_.size()) != boundary_.view()) {
    return false;
  }
  finish_attachment();
  in_header_ = true;
  quoted_printable_ = false;
  base64_pending_ = false;
  parameter_scan_ = false;
  text_part_ = true;
  text_declared_ = false;
  if (line.substr(2 + boundary_.size(), 2) == "--") stop_ = true;
  return true;
}

// The line with quoted-printable decoded: "=" and two hexadecimal digits
// give one byte.
std::string_view MessagePass::decode_quoted_printable(std::string_view line) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '=' && i + 2 < line.size() && is_hex_digit(line[i + 1]) && is_hex_digit(line[i + 2])) {
      c = static_cast<char>(hex_pair_value(line.substr(i + 1, 2)));
      if (c == '\0') c = ' ';
      i += 2;
    }
    line_buffer[out++] = c;
  }
  line_buffer[out] = '\0';
  return std::string_view(line_buffer, out);
}

// One line of the body; false when the message ends here (its end, or the
// cut marker of a mailing list).
inline bool MessagePass::body_step() {
  std::string_view line;
  if (!(modern_ ? next_item_line(line) : read_body_line(line))) return false;
  note_body_start(line);
  if (at_cut_marker(line)) cut_ = true;
  if (cut_) return false;
  if (take_boundary(line)) return true;
  // MIME parameters come from header blocks only: a body that quotes a
  // Content-Type line is text.
  if (quoted_printable_) line = decode_quoted_printable(line);
  if (take_encoded_line(line)) return true;
  if (line.empty()) {
    if (body_text_seen_) ++pending_blanks_;
    handle_empty_line();
    return true;
  }
  if (take_uu_begin(line)) return true;
  if (collecting()) body_text_line(line);
  write_line(line, false);
  return true;
}

// Whether the rest of the body can no longer change what the parse pass
// finds: once the first line of text is seen, in a message without MIME
// parts, when neither the split size, QuoteTo nor ModernMime asks for the
// whole body. Mail also needs no junk words looked for in its text and no
// line further down starting with "begin", which could start a uuencoded
// file.
bool MessagePass::parse_has_what_it_needs() {
  const Settings& s = *settings;
  // Asked once, at the first line of text.
  if (!body_text_seen_ || end_asked_) return false;
  end_asked_ = true;
  if (!boundary_.empty() || modern_ || s.ImportLimit != 0 || s.QuoteTo) return false;
  if (!mail_area()) return true;
  if (quoted_printable_ || state_ != DecodeState::text) return false;
  for (const JunkEntry& e : s.JunkStr) {
    if (e.category == JunkCategory::email || e.category == JunkCategory::all) return false;
  }
  // A line of the rest starting with "begin" (the rest is shorter than a
  // line that the line buffer would cut in pieces).
  std::string_view rest = file_.look_ahead(remaining());
  return rest.size() == remaining() && rest.size() < kLineBuffer - 1 &&
         !rest.starts_with("begin") && rest.find("\nbegin") == std::string_view::npos;
}

// What the parse pass leaves in the record once the message is read.
void MessagePass::finish_parse() {
  MessageHeader& h = *message_work.header;
  if (!header_ended_) h.body_offset = end_;
  // An attribution that no quoted line confirmed does not count.
  if (quote_counter_ >= 0) {
    h.quote_name.clear();
    h.quote_address.clear();
  }
}

void MessagePass::run() {
  while (!stop_) {
    if (header_ended_ && !information_written_ && !in_header_) {
      information_written_ = true;
      if (!ignore_text_) write_header_information();
    }
    if (!in_header_ && plain_lines_ahead()) write_plain_lines();
    // With ModernMime the body has been read whole when the header ends.
    if (remaining() == 0 && (in_header_ || !modern_)) break;
    if (!(in_header_ ? header_step() : body_step())) break;
    if (collecting() && !in_header_ && parse_has_what_it_needs()) break;
  }
  finish_attachment();
  if (collecting()) {
    finish_parse();
    header_lines.valid = keeping_lines_;
  }
}

}  // namespace quillmar::line_pass

namespace quillmar {

using namespace line_pass;

const PathList& decoded_files() {
  return import_state.decoded_files;
}
void forget_decoded_files() {
  import_state.decoded_files.clear();
}
long decoded_write_failures() {
  return import_state.decoding_failures;
}

void parse_message(MessageFile& file, const MessageExtent& extent, const SoupArea& area) {
  reset_message_header();
  MessageHeader& h = *message_work.header;
  h.body_offset = extent.start;
  h.category = area.kind == MessageKind::news ? kKindNews : kKindMail;
  h.part_count = 1;
  if (settings->ModernMime) {
    target_charset = fido_charset_for("", area.area_name.view());
    counted_charset = target_charset;
    fields_recoded = false;
  }
  MessagePass pass(Mode::parse, file, extent, area);
  pass.set_category(h.category, kJunkNone);
  pass.run();
  if (settings->ModernMime) {
    auto decoded = [](Text<128>& name) {
      name.assign(cut_text(decode_header_text(name.view(), settings->FallbackCharset), 127, true));
    };
    for (Text<128>* f : {&h.from_name, &h.to_name, &h.reply_to_name}) decoded(*f);
    // Addresses carry no encoded words, but may carry stray 8-bit bytes.
    auto as_utf8 = [](Text<128>& address) {
      if (is_utf8(address.view())) return;
      address.assign(cut_text(to_utf8(address.view(), "", settings->FallbackCharset), 127, true));
    };
    for (Text<128>* f : {&h.from_address, &h.to_address, &h.reply_to_address}) as_utf8(*f);
    for (Recipient& r : message_work.recipients) {
      decoded(r.name);
      as_utf8(r.address);
    }
  }
  h.has_attachments = pass.has_attachments();
  h.attach_list = pass.attach_list().view();
}

void recount_message(MessageFile& file, const MessageExtent& extent, const SoupArea& area) {
  MessageHeader& h = *message_work.header;
  if (settings->ModernMime) {
    prepare_modern_message(area);
    counted_charset = target_charset;
  }
  // The header information block at the top depends on the attachments
  // found further down; the count is taken again until both agree.
  for (int round = 0; round < 3; ++round) {
    h.part_count = 1;
    MessagePass pass(Mode::recount, file, extent, area);
    pass.set_category(h.category, h.junk_reason);
    pass.run();
    if (pass.has_attachments() == h.has_attachments &&
        pass.attach_list().view() == h.attach_list.view()) {
      break;
    }
    h.has_attachments = pass.has_attachments();
    h.attach_list = pass.attach_list().view();
  }
}

void write_imported_message(bool ignore_text, int category, bool own_org, int junk_reason,
                            const Text<128>* cut_marker, MessageFile& file, OutPacket& packet,
                            const MessageExtent& extent, const SoupArea& area) {
  MessageHeader& h = *message_work.header;
  if (settings->ModernMime) {
    prepare_modern_message(area);
    // The parts were counted in another charset than the one written.
    if (settings->ImportLimit != 0 && counted_charset != target_charset) {
      recount_message(file, extent, area);
    }
  }
  h.part_number = 1;
  MessagePass pass(Mode::write, file, extent, area);
  pass.set_output(&packet, ignore_text, category, own_org, junk_reason, cut_marker);
  if (!ignore_text) {
    write_message_start(category, packet.file, h.attach_list.view(), junk_reason, own_org);
  }
  pass.run();
  if (!ignore_text) write_message_end(category, packet.file);
}

void complete_header(const SoupArea& area) {
  MessageHeader& h = *message_work.header;
  if (h.from_address.empty())
    h.from_address = h.from_name.empty() ? "anonymous" : h.from_name.view();
  if (h.from_name.empty()) h.from_name = h.from_address.view();
  if (h.to_address.empty()) h.to_address = h.to_name.empty() ? "unknown" : h.to_name.view();
  if (h.to_name.empty()) h.to_name = h.to_address.view();
  if (h.reply_to_address.empty()) h.reply_to_address = h.from_address.view();
  if (h.reply_to_name.empty()) h.reply_to_name = h.from_name.view();
  map_destination_and_origin();
  if (area.kind != MessageKind::mail) return;
  for (const RouteEntry& route : settings->Route) {
    if (!equals_nocase(route.email.view(), h.from_address.view())) continue;
    h.routed = true;
    h.route = &route;
    if (!route.password.empty() && h.mail_password.view() != route.password.view()) {
      h.wrong_route_password = true;
      progress_return();
      log_print("! Incorrect password for node %s\n",
                ftn_address_text(route.address, PointForm::when_set).c_str());
    } else {
      h.origin = route.address;
    }
    break;
  }
}

void apply_recipient_name_rule() {
  MessageHeader& h = *message_work.header;
  bool list = h.mailing_list || h.list_index >= 0;
  if (h.category != kKindNews && !list) return;
  if (!h.to_name.empty() && h.to_name.view() != h.to_address.view()) return;
  if (!h.quote_name.empty()) {
    h.to_name = h.quote_name.view();
  } else if (!h.quote_address.empty()) {
    h.to_name = h.quote_address.view();
  } else {
    h.to_name = "All";
  }
}

void select_chrs() {
  MessageHeader& h = *message_work.header;
  h.chrs.clear();
  if (settings->ModernMime) {
    const FidoCharsetInfo* info = find_fido_charset(target_charset);
    if (info != nullptr) {
      h.chrs.assign(std::string(info->chrs) + " " + std::to_string(info->level));
    }
    return;
  }
  for (const CharSetMapEntry& e : settings->CharSetMap) {
    if (e.direction == Direction::export_only ||
        !equals_nocase(e.internet_name, h.charset.view())) {
      continue;
    }
    h.chrs.assign(e.fido_name);
    std::size_t hash = h.chrs.view().rfind('#');
    if (hash != std::string_view::npos) h.chrs.set(hash, ' ');
    break;
  }
}

}  // namespace quillmar
