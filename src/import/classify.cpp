#include "import/classify.hpp"

#include "base/text_helpers.hpp"
#include "fido/message_record.hpp"
#include "lists/list_files.hpp"

namespace quillmar {

namespace {

// Whether a junk entry takes part in the header tests of a message of
// `kind`.
bool fits_header_test(JunkCategory category, MessageKind kind) {
  switch (category) {
    case JunkCategory::email:
      return kind == MessageKind::mail;
    case JunkCategory::news:
      return kind == MessageKind::news;
    case JunkCategory::all:
    case JunkCategory::none:
      return true;
  }
  return false;
}

void to_upper(Text<128>& text) {
  for (std::size_t i = 0; i < text.size(); ++i) text.set(i, ascii_upper(text[i]));
}

// Removes the first occurrence of `tag` (exact, with case) from `text`.
void remove_first(Text<128>& text, std::string_view tag) {
  std::string_view whole = text.view();
  std::size_t at = whole.find(tag);
  if (tag.empty() || at == std::string_view::npos) return;
  Text<128> rest;
  rest.assign(whole.substr(at + tag.size()));
  text.truncate(at);
  text.append(rest.view());
}

bool recipient_contains(std::string_view pattern) {
  for (const Recipient& r : message_work.recipients) {
    if (contains_nocase(pattern, r.name) || contains_nocase(pattern, r.address)) return true;
  }
  return false;
}

void choose_mailing_list() {
  MessageHeader& h = *message_work.header;
  const std::string_view fields[] = {h.from_name,  h.from_address,  h.to_name,
                                     h.to_address, h.reply_to_name, h.reply_to_address,
                                     h.subject,    h.sender,        h.x_from};
  for (const MailingListEntry& entry : settings->MailingList) {
    bool in_header = false;
    for (std::string_view field : fields) {
      if (contains_nocase(entry.pattern, field)) {
        in_header = true;
        break;
      }
    }
    if (!in_header && !recipient_contains(entry.pattern)) continue;
    h.area_tag = entry.area;
    h.mailing_list = true;
    h.category = kKindList;
    if (!entry.truncate_text.empty()) h.cut_marker = &entry.truncate_text;
    if (in_header && !entry.subject_tag.empty()) remove_first(h.subject, entry.subject_tag);
    return;
  }
}

void test_ignore_text() {
  MessageHeader& h = *message_work.header;
  const std::string_view fields[] = {h.from_name,     h.from_address,     h.to_name, h.to_address,
                                     h.reply_to_name, h.reply_to_address, h.subject};
  for (const TextEntry& entry : settings->IgnoreMessageText) {
    std::string_view text = entry.text;
    bool whole = !text.empty() && text[0] == '*';
    bool hit = false;
    for (std::string_view field : fields) {
      // A bare "*" has nothing to compare: an empty field is no match.
      hit = whole ? text.size() > 1 && equals_nocase(text.substr(1), field)
                  : contains_nocase(text, field);
      if (hit) break;
    }
    if (hit || recipient_contains(text)) {
      h.ignore_text = true;
      return;
    }
  }
}

int find_junk(const SoupArea& area) {
  const MessageHeader& h = *message_work.header;
  const Settings& s = *settings;
  MessageKind kind = area.kind;
  for (const JunkEntry& e : s.JunkFrom) {
    if (!fits_header_test(e.category, kind)) continue;
    if (address_match(e.text, h.from_address) || address_match(e.text, h.reply_to_address))
      return kJunkFrom;
  }
  for (const JunkEntry& e : s.JunkSubj) {
    if (fits_header_test(e.category, kind) && contains_nocase(e.text, h.subject))
      return kJunkSubject;
  }
  for (const JunkEntry& e : s.JunkGroup) {
    if (!fits_header_test(e.category, kind)) continue;
    if (equals_nocase(e.text, area.area_name)) return kJunkGroup;
    for (const Text<128>& group : message_work.cross_posts) {
      if (equals_nocase(e.text, group)) return kJunkGroup;
    }
  }
  for (const JunkEntry& e : s.JunkStr) {
    if (fits_header_test(e.category, kind) && contains_nocase(e.text, h.subject)) return kJunkBody;
  }
  if (s.JunkFromTo && kind == MessageKind::mail &&
      (equals_nocase(h.from_address, h.to_address) ||
       equals_nocase(h.reply_to_address, h.to_address)))
    return kJunkFromTo;
  return kJunkNone;
}

}  // namespace

ListTraffic classify_list_traffic(const SoupArea& area) {
  ListTraffic found;
  if (area.kind != MessageKind::mail) return found;
  MessageHeader& h = *message_work.header;
  std::span<ListRecord> all = lists();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const ListRecord& list = all[i];
    if (!list.ListAddress || !equals_nocase(*list.ListAddress, h.to_address)) continue;
    found.list_index = static_cast<int>(i);
    std::string_view subject = h.subject;
    if (starts_with_nocase(subject, "subscribe")) {
      found.command = kListSubscribe;
    } else if (starts_with_nocase(subject, "unsubscribe")) {
      found.command = kListUnsubscribe;
    } else if (starts_with_nocase(subject, "changepass")) {
      found.command = kListChangePass;
    }
    if (found.command != 0) {
      found.kind = ListTrafficKind::command;
      return found;
    }
    found.kind = ListTrafficKind::message;
    h.list_index = found.list_index;
    h.category = kKindList;
    if (list.ListArea) {
      h.area_tag = list.ListArea->view();
    } else {
      h.area_tag.clear();
    }
    return found;
  }
  return found;
}

void choose_area(const SoupArea& area) {
  MessageHeader& h = *message_work.header;
  if (area.kind == MessageKind::news) {
    h.area_tag = area.area_name;
    for (const AreaMapEntry& entry : settings->AreaMap) {
      if (entry.newsgroup.view() != area.area_name.view()) continue;
      h.area_tag = entry.area;
      if (entry.direction == Direction::export_only) h.junk_reason = kJunkImpExp;
      break;
    }
  } else if (h.list_index < 0) {
    h.area_tag = settings->EmailArea;
    choose_mailing_list();
    test_ignore_text();
  }
  to_upper(h.area_tag);
}

bool apply_action(FilterAction action, std::string_view area) {
  MessageHeader& h = *message_work.header;
  switch (action) {
    case FilterAction::ignore:
      return false;
    case FilterAction::kill:
      return true;
    case FilterAction::move:
      h.area_tag = area;
      return false;
    case FilterAction::junk:
      h.area_tag = area;
      h.previous_to_name = h.to_name;
      h.to_name = "JunkMail";
      return false;
  }
  return false;
}

bool test_own_organisation() {
  MessageHeader& h = *message_work.header;
  if (h.organization.empty() || h.organization.view() != settings->Organization.view())
    return false;
  h.own_org = true;
  h.junk_reason = kJunkNone;
  h.mailing_list = false;
  return apply_action(settings->OwnOrgAction, settings->OwnOrgArea);
}

FilterOutcome test_junk(const SoupArea& area) {
  MessageHeader& h = *message_work.header;
  FilterOutcome outcome;
  if (h.junk_reason == kJunkNone && !h.mailing_list && !h.own_org) h.junk_reason = find_junk(area);
  if (h.junk_reason == kJunkNone) return outcome;
  outcome.junk = true;
  outcome.finished = apply_action(settings->JunkAction, settings->JunkArea);
  return outcome;
}

void test_body_line(std::string_view line, MessageKind kind) {
  MessageHeader& h = *message_work.header;
  if (kind != MessageKind::mail || h.junk_reason != kJunkNone) return;
  for (const JunkEntry& e : settings->JunkStr) {
    if (e.category != JunkCategory::email && e.category != JunkCategory::all) continue;
    if (contains_nocase(e.text, line)) {
      h.junk_reason = kJunkBody;
      return;
    }
  }
}

}  // namespace quillmar
