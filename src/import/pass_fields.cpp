// What the passes read from header lines: the MIME parameters, the header
// fields of the message record, and the attribution line of QuoteTo.
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

// Text after the parameter `key` of a MIME header line: a quoted string
// without its quotes, else up to ";" or white space.
std::string parameter_value(std::string_view rest) {
  std::string out;
  if (!rest.empty() && rest[0] == '"') {
    std::size_t length = 0;
    return unquote_mime_string(rest, length);
  }
  std::size_t end = 0;
  while (end < rest.size() && rest[end] != ';' && !is_space(rest[end])) ++end;
  out.assign(rest.substr(0, end));
  return out;
}

std::string_view trim_right(std::string_view s) {
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

bool is_quoted_line(std::string_view line) {
  for (const QuoteCharEntry& q : settings->QuoteChar) {
    std::size_t at = line.find(q.quote);
    if (at == std::string_view::npos || at < q.first_column || at > q.last_column) continue;
    std::size_t letters = 0;
    bool plain = true;
    for (std::size_t i = 0; i < at; ++i) {
      if (is_letter(line[i])) {
        ++letters;
      } else if (line[i] != ' ') {
        plain = false;
        break;
      }
    }
    if (plain && letters >= q.least_letters && letters <= q.most_letters) return true;
  }
  return false;
}

// Removes from `name` everything up to the end of `word` (a whole word in
// it) and the blanks after it; false when the word is not in the name.
bool remove_through_word(Text<128>& name, std::string_view word) {
  std::optional<std::size_t> at = find_word_nocase(word, name.view());
  if (!at) return false;
  std::size_t cut = *at + word.size();
  while (cut < name.size() && name[cut] == ' ') ++cut;
  Text<128> rest(name.view().substr(cut));
  name = rest.view();
  return true;
}

}  // namespace

void MessagePass::mime_scan(std::string_view line) {
  MessageHeader& h = *message_work.header;
  if (starts_with_nocase(line, "Content-")) parameter_scan_ = true;
  if (parameter_scan_) {
    // The parameters are found wherever their name ends in "=" (also at the
    // end of a longer word, as in "filename="): each "=" of the line is
    // looked at, in the order of the line.
    for (std::size_t eq = line.find('='); eq != std::string_view::npos;
         eq = line.find('=', eq + 1)) {
      std::string_view value = line.substr(eq + 1);
      auto named = [&](std::string_view name) {
        return eq >= name.size() && equals_nocase(line.substr(eq - name.size(), name.size()), name);
      };
      if (named("name")) {
        std::string parameter = parameter_value(value);
        part_name_.assign(trim_right(std::string_view(parameter).substr(0, 80)));
      } else if (boundary_.empty() && named("boundary")) {
        std::string parameter = parameter_value(value);
        boundary_.assign(trim_right(std::string_view(parameter).substr(0, 128)));
      } else if (h.charset.empty() && named("charset")) {
        if (!value.empty() && value[0] == '"') {
          h.charset.assign(trim_right(parameter_value(value)));
        } else {
          h.charset.assign(trim_right(value.substr(0, value.find(';'))));
        }
      }
    }
  }
  auto value_of = [](std::string_view l) {
    l = l.substr(l.find(':') + 1);
    while (!l.empty() && l[0] == ' ') l.remove_prefix(1);
    return l;
  };
  if (starts_with_nocase(line, "Content-Type:")) {
    if (h.content_type.empty()) h.content_type.assign(value_of(line));
    text_part_ = starts_with_nocase(value_of(line), "text/");
    text_declared_ = text_part_;
  } else if (starts_with_nocase(line, "Content-Transfer-Encoding:")) {
    quoted_printable_ = false;
    std::string_view value = value_of(line);
    if (h.transfer_encoding.empty()) h.transfer_encoding.assign(value);
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (starts_with_nocase(value.substr(i), "base64")) base64_pending_ = true;
      if (starts_with_nocase(value.substr(i), "quoted-printable")) quoted_printable_ = true;
    }
  }
}

// The header fields the parse pass collects.
void MessagePass::recognise_field(std::string_view line) {
  if (line.empty()) return;
  MessageHeader& h = *message_work.header;
  char* text = line_buffer;
  auto is = [&](std::string_view prefix) { return starts_with_nocase(line, prefix); };
  auto value = [&](std::string_view prefix) { return text + prefix.size(); };
  // The first character tells which names the line may start with.
  switch (ascii_lower(line[0])) {
    case 'f':
      if (is("From:")) {
        parse_address_list(value("From:"), &h.from_address, &h.from_name, kAddressFrom,
                           message_work.recipients);
      }
      break;
    case 'r':
      if (is("Reply-To:")) {
        parse_address_list(value("Reply-To:"), &h.reply_to_address, &h.reply_to_name,
                           kAddressReplyTo, message_work.recipients);
      } else if (is("References:")) {
        if (h.reply_ref.id_text.empty()) {
          extract_identifier(value("References:"), h.reply_ref.id_text, true);
        }
      }
      break;
    case 't':
      if (is("To:")) {
        parse_address_list(value("To:"), &h.to_address, &h.to_name, kAddressTo,
                           message_work.recipients);
      }
      break;
    case 'c':
      if (is("Cc:")) {
        parse_address_list(value("Cc:"), nullptr, nullptr, kAddressCc, message_work.recipients);
      }
      break;
    case 'b':
      if (is("Bcc:")) {
        parse_address_list(value("Bcc:"), nullptr, nullptr, kAddressBcc, message_work.recipients);
      }
      break;
    case 'x':
      if (is("X-Comment-To:")) {
        if (h.to_name.empty()) copy_trimmed(value("X-Comment-To:"), h.to_name);
      } else if (is("X-From:")) {
        copy_trimmed(value("X-From:"), h.x_from);
      }
      break;
    case 's':
      if (is("Sender:")) {
        copy_trimmed(value("Sender:"), h.sender);
      } else if (is("Subject:")) {
        copy_trimmed(value("Subject:"), h.subject);
      }
      break;
    case 'd':
      if (is("Date:")) parse_date(value("Date:"), h.date, &h.date_zone);
      break;
    case 'm':
      if (is("Message-ID:")) extract_identifier(value("Message-ID:"), h.msgid_ref.id_text, false);
      break;
    case 'o':
      if (is("Organization:")) copy_trimmed(value("Organization:"), h.organization);
      break;
    case 'i':
      if (is("In-Reply-To:")) extract_identifier(value("In-Reply-To:"), h.reply_ref.id_text, true);
      break;
    case 'n':
      if (is("Newsgroups:")) {
        split_newsgroups(value("Newsgroups:"), area_.area_name.view(), message_work.cross_posts);
      }
      break;
    default:
      break;
  }
}

// The parse pass's look at a body line of text.
void MessagePass::body_text_line(std::string_view line) {
  test_body_line(line, area_.kind);
  if (settings->QuoteTo) quote_to(line);
}

void MessagePass::quote_to(std::string_view line) {
  MessageHeader& h = *message_work.header;
  if (quote_counter_ < 0 || line.empty()) return;
  bool quoted = is_quoted_line(line);
  if (!h.quote_name.empty() || !h.quote_address.empty()) {
    if (quoted) {
      quote_counter_ = -1;
      return;
    }
    quote_counter_ += static_cast<long>(line.size());
    if (quote_counter_ > 72) {
      h.quote_name.clear();
      h.quote_address.clear();
      quote_counter_ = 0;
    }
  }
  if (quoted) return;
  for (const TextEntry& mask : settings->QuoteMask) {
    std::optional<std::size_t> at = find_word_nocase(mask.text, line);
    if (!at) continue;
    std::size_t end = *at;
    while (end > 0 && line[end - 1] == ' ') --end;
    if (end == 0) continue;
    std::size_t start = end;
    bool passed_at = false;
    while (start > 0 && end - start < 255) {
      char c = line[start - 1];
      if (is_mask_separator(c)) break;
      if (passed_at && is_mask_closer(c)) break;
      if (is_space(c) && start >= 2 && is_space(line[start - 2])) break;
      if (c == '@') passed_at = true;
      --start;
    }
    char attribution[256];
    std::size_t n = end - start;
    std::memcpy(attribution, line.data() + start, n);
    attribution[n] = '\0';
    parse_address_list(attribution, &h.quote_address, &h.quote_name, kAddressQuote,
                       message_work.recipients);
    bool plain = h.quote_name.size() >= 3;
    for (char c : h.quote_name.view()) {
      if (!is_letter(c) && c != '\'' && c != '"' && c != '.' && c != '-' && c != ',' && c != ' ') {
        plain = false;
      }
    }
    if (!plain) h.quote_name.clear();
    if (!h.quote_name.empty() && !remove_through_word(h.quote_name, area_.area_name.view())) {
      for (const Text<128>& group : message_work.cross_posts) {
        if (remove_through_word(h.quote_name, group.view())) break;
      }
    }
    if (h.quote_name.size() < 3) h.quote_name.clear();
    if (h.quote_address.size() < 6) h.quote_address.clear();
    if (!h.quote_name.empty() || !h.quote_address.empty()) {
      quote_counter_ = static_cast<long>(line.size() - end);
      break;
    }
  }
}

}  // namespace quillmar::line_pass
