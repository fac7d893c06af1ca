// The keyword handlers: one per configuration keyword.
#include <new>

#include "base/charset.hpp"
#include "base/text_helpers.hpp"
#include "config/newsfix_keywords.hpp"
#include "config/reader.hpp"
#include "config/soupside_keywords.hpp"

namespace quillmar {

namespace {

Settings& cfg() {
  return *settings;
}

template <std::size_t N>
void to_upper(Text<N>& text) {
  for (std::size_t i = 0; i < text.size(); ++i) text.set(i, ascii_upper(text[i]));
}

// Stores a text of any length; false (after "out of memory") when that fails.
bool store_text(const ConfigLine& at, std::string& out, std::string_view text) {
  try {
    out.assign(text);
    return true;
  } catch (const std::bad_alloc&) {
    at.warn("out of memory");
    return false;
  }
}

// Adds a junk entry with the current category.
template <class Table>
void add_junk(const ConfigLine& at, Table& table, const char* too_many) {
  if (table.full()) {
    at.warn(too_many);
    return;
  }
  std::string text;
  if (!store_text(at, text, at.value)) return;
  JunkEntry* e = table.add();
  e->category = cfg().current_junk_category;
  e->text = std::move(text);
}

template <class Table>
void add_text(const ConfigLine& at, Table& table, const char* too_many) {
  if (table.full()) {
    at.warn(too_many);
    return;
  }
  std::string text;
  if (!store_text(at, text, at.value)) return;
  table.add()->text = std::move(text);
}

// Index of `word` in `words` (without regard to case), or -1.
template <std::size_t N>
int word_index(std::string_view word, const char* const (&words)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (equals_nocase(word, words[i])) return static_cast<int>(i);
  }
  return -1;
}

// --- Gateway identity and address mapping ---

void kw_fido_addr(const ConfigLine& at) {
  parse_ftn_address(at, at.value, cfg().FidoAddr);
}

void kw_addr_map(const ConfigLine& at) {
  if (cfg().AddrMap.full()) return at.warn("too many AddrMap keywords");
  if (at.value.find(' ') == std::string_view::npos) return at.warn("AddrMap misses parameter");
  std::string_view rest = at.value;
  std::string_view address = next_parameter(rest);
  std::string_view email = next_parameter(rest);
  AddrMapEntry* e = cfg().AddrMap.add();
  parse_ftn_address(at, address, e->ftn_address);
  std::size_t comma = email.find(',');
  parse_email_address(at, email.substr(0, comma), e->internet_address);
  if (comma != std::string_view::npos) {
    parse_email_address(at, email.substr(comma + 1), e->reply_address);
  }
  copy_text(rest, e->fido_name);
}

void kw_personal(const ConfigLine& at) {
  at.warn("obsolete keyword Personal");
  if (cfg().AddrMap.full()) return at.warn("too many AddrMap/Personal keywords");
  std::string_view rest = at.value;
  std::string_view address = next_parameter(rest);
  if (rest.empty()) return at.warn("Personal misses parameter");
  AddrMapEntry* e = cfg().AddrMap.add();
  parse_ftn_address(at, address, e->ftn_address);
  copy_text(rest, e->fido_name);
}

void kw_alias(const ConfigLine& at) {
  if (cfg().Alias.full()) return at.warn("too many Alias keywords");
  std::string_view rest = at.value;
  std::string_view email = next_parameter(rest);
  if (rest.empty()) return at.warn("Alias misses parameter");
  AliasEntry* e = cfg().Alias.add();
  parse_email_address(at, email, e->email);
  copy_text(rest, e->alias);
}

void kw_addr_map_to_name(const ConfigLine& at) {
  parse_yes_no(at, at.value, cfg().AddrMapToName);
}

void kw_map_fido_org(const ConfigLine& at) {
  parse_yes_no(at, at.value, cfg().MapFidoOrg);
}
void kw_trans_fido_org(const ConfigLine& at) {
  parse_yes_no(at, at.value, cfg().TransFidoOrg);
}

void kw_fido_domain(const ConfigLine& at) {
  if (cfg().FidoDomain.full()) return at.warn("too many FidoDomain keywords");
  if (at.value.find(' ') == std::string_view::npos) return at.warn("FidoDomain misses parameter");
  std::string_view rest = at.value;
  std::string_view zones = next_parameter(rest);
  uint32_t low = 0, high = 0;
  std::string_view scan = zones;
  bool ok = scan_unsigned(scan, low);
  if (ok && zones.find('-') == std::string_view::npos) {
    high = low;
  } else if (ok) {
    ok = !scan.empty() && scan[0] == '-';
    if (ok) {
      scan.remove_prefix(1);
      ok = scan_unsigned(scan, high);
    }
  }
  if (!ok) return at.warn("FidoDomain has invalid parameter");
  std::string domain;
  if (!store_text(at, domain, rest)) return;
  FidoDomainEntry* e = cfg().FidoDomain.add();
  e->zone_low = static_cast<uint16_t>(low);
  e->zone_high = static_cast<uint16_t>(high);
  e->domain = std::move(domain);
}

void kw_base_zone(const ConfigLine& at) {
  parse_number16(at, at.value, cfg().BaseZone);
}

// --- Areas, routes and lists ---

void kw_email_area(const ConfigLine& at) {
  copy_text(at.value, cfg().EmailArea);
  to_upper(cfg().EmailArea);
  if (cfg().EmailArea.empty()) cfg().EmailArea = "NETMAIL";
}

void kw_area_map(const ConfigLine& at) {
  if (cfg().AreaMap.full()) return at.warn("too many AreaMap keywords");
  if (at.value.find(' ') == std::string_view::npos) return at.warn("AreaMap misses parameter");
  std::string_view rest = at.value;
  std::string_view area = next_parameter(rest);
  std::string_view group = next_parameter(rest);
  AreaMapEntry* e = cfg().AreaMap.add();
  copy_text(area, e->area);
  to_upper(e->area);
  copy_text(group, e->newsgroup);
  if (rest.empty()) {
    e->direction = Direction::both;
  } else if (equals_nocase(rest, "import")) {
    e->direction = Direction::import_only;
  } else if (equals_nocase(rest, "export")) {
    e->direction = Direction::export_only;
  } else {
    at.warn("unknown direction");
    e->direction = Direction::both;
  }
}

void kw_route(const ConfigLine& at) {
  if (cfg().Route.full()) return at.warn("too many Route keywords");
  std::string_view rest = at.value;
  std::string_view address = next_parameter(rest);
  std::string_view email = next_parameter(rest);
  if (email.empty()) return at.warn("Route misses parameter");
  std::string_view third = next_parameter(rest);
  RouteEntry entry;
  parse_ftn_address(at, address, entry.address);
  parse_email_address(at, email, entry.email);
  if (starts_with_nocase(third, "SUBJ=")) {
    if (!rest.empty()) return at.warn("Route has too many parameters");
    copy_text(third.substr(5), entry.subject);
  } else {
    copy_text(third, entry.password);
    if (!rest.empty()) {
      if (!starts_with_nocase(rest, "SUBJ=")) return at.warn("Route has invalid parameter");
      copy_text(rest.substr(5), entry.subject);
    }
  }
  *cfg().Route.add() = entry;
}

void kw_mailing_list(const ConfigLine& at) {
  if (cfg().MailingList.full()) return at.warn("too many MailingList keywords");
  std::string_view rest = at.value;
  std::string_view area = next_parameter(rest);
  std::string_view addresses = next_parameter(rest);
  if (area.empty() || addresses.empty() || rest.empty()) {
    return at.warn("MailingList misses parameter");
  }
  MailingListEntry* e = cfg().MailingList.add();
  copy_text(area, e->area);
  std::size_t comma = addresses.find(',');
  parse_email_address(at, addresses.substr(0, comma), e->list_address);
  if (comma != std::string_view::npos) {
    parse_email_address(at, addresses.substr(comma + 1), e->sender_address);
  }
  std::size_t truncate = rest.find("TRUNCATE=");
  if (truncate == std::string_view::npos) {
    copy_text(rest, e->pattern);
    return;
  }
  std::string_view pattern = rest.substr(0, truncate);
  while (!pattern.empty() && pattern.back() == ' ') pattern.remove_suffix(1);
  copy_text(pattern, e->pattern);
  std::string_view text = rest.substr(truncate + 9);
  std::size_t subj = text.find(";SUBJ:");
  if (subj != std::string_view::npos) {
    copy_text(text.substr(subj + 6), e->subject_tag);
    // The character in front of ";SUBJ:" (normally a blank) is dropped.
    text = text.substr(0, subj == 0 ? 0 : subj - 1);
  }
  copy_text(text, e->truncate_text);
}

// --- Mailer, directories and files ---

void kw_mailer_type(const ConfigLine& at) {
  static const char* const kTypes[] = {"ArcMail", "Binkley"};
  int i = word_index(at.value, kTypes);
  cfg().mailer_type = i < 0 ? MailerType::none : static_cast<MailerType>(i + 1);
  if (i < 0) at.warn("invalid mailer type");
}

void kw_inbound_dir(const ConfigLine& at) {
  parse_directory(at, at.value, cfg().InboundDir);
}
void kw_outbound_dir(const ConfigLine& at) {
  parse_directory(at, at.value, cfg().OutboundDir);
}
void kw_netmail_dir(const ConfigLine& at) {
  parse_directory(at, at.value, cfg().NetmailDir);
}
void kw_soup_dir(const ConfigLine& at) {
  parse_directory(at, at.value, cfg().SoupDir);
}
void kw_temp_dir(const ConfigLine& at) {
  parse_directory(at, at.value, cfg().TempDir);
}

void kw_decode_dir(const ConfigLine& at) {
  cfg().decode_all = false;
  std::string_view dir = at.value;
  std::size_t blank = dir.find(' ');
  if (blank != std::string_view::npos) {
    // Only this one blank is skipped before the flag.
    if (starts_with_nocase(dir.substr(blank + 1), "ALL")) {
      cfg().decode_all = true;
    } else {
      at.warn("invalid DecodeDir parameter");
    }
    dir = dir.substr(0, blank);
  }
  parse_directory(at, dir, cfg().DecodeDir);
}

// "PacketSender <e-mail> <FTN address>": mail from that address may bring
// packets and mail bundles of that node for the tosser.
void kw_packet_sender(const ConfigLine& at) {
  if (cfg().PacketSender.full()) return at.warn("too many PacketSender keywords");
  std::string_view rest = at.value;
  std::string_view email = next_parameter(rest);
  if (email.empty() || rest.empty()) return at.warn("PacketSender misses parameter");
  PacketSenderEntry* e = cfg().PacketSender.add();
  parse_email_address(at, email, e->email);
  parse_ftn_address(at, rest, e->node);
}

void kw_log_file(const ConfigLine& at) {
  if (at.value.empty()) return cfg().LogFile.clear();
  PathText path;
  if (!resolve_beside_program(at.value, config_program_path(), path)) {
    return at.warn("path too long");
  }
  cfg().LogFile = path;
}

void kw_time_zone(const ConfigLine& at) {
  copy_text(at.value, cfg().TimeZone);
}

void kw_packet_pwd(const ConfigLine& at) {
  copy_text(at.value, cfg().PacketPwd);
  to_upper(cfg().PacketPwd);
  if (!at.value.empty()) note_secret_line(at.keyword, at.line, at.path);
}

void kw_quick_scan(const ConfigLine& at) {
  parse_yes_no(at, at.value, cfg().QuickScan);
}
void kw_export_all_mail(const ConfigLine& at) {
  parse_yes_no(at, at.value, cfg().ExportAllMail);
}
void kw_separate_msg(const ConfigLine& at) {
  parse_yes_no(at, at.value, cfg().SeparateMSG);
}

void kw_max_pkt_size(const ConfigLine& at) {
  parse_number32(at, at.value, cfg().MaxPKTSize);
  if (cfg().MaxPKTSize >= 1 && cfg().MaxPKTSize <= 3) {
    at.warn("limit too small");
    cfg().MaxPKTSize = 4;
  }
}

// A day at most: a wait beyond that is a run that never ends.
void kw_lock_wait(const ConfigLine& at) {
  parse_number32(at, at.value, cfg().LockWait);
  if (cfg().LockWait > 86400) {
    at.warn("value too large");
    cfg().LockWait = 86400;
  }
}

void kw_import_limit(const ConfigLine& at) {
  parse_number32(at, at.value, cfg().ImportLimit);
  if (cfg().ImportLimit >= 1 && cfg().ImportLimit <= 1023) {
    at.warn("limit too small");
    cfg().ImportLimit = 2048;
  }
}

// --- Areas of filtered mail, export limits ---

void kw_own_org_area(const ConfigLine& at) {
  copy_text(at.value, cfg().OwnOrgArea);
  to_upper(cfg().OwnOrgArea);
}

void kw_junk_area(const ConfigLine& at) {
  copy_text(at.value, cfg().JunkArea);
  to_upper(cfg().JunkArea);
}

void kw_packet_settle_time(const ConfigLine& at) {
  parse_number16(at, at.value, cfg().PacketSettleTime);
}
void kw_busy_flag_age(const ConfigLine& at) {
  parse_number16(at, at.value, cfg().BusyFlagAge);
}

void kw_export_max_to(const ConfigLine& at) {
  parse_number16(at, at.value, cfg().ExportMaxTo);
}
void kw_bounce_unaddressed(const ConfigLine& at) {
  parse_yes_no(at, at.value, cfg().BounceUnaddressed);
}
void kw_export_max_xpost(const ConfigLine& at) {
  parse_number16(at, at.value, cfg().ExportMaxXPost);
}

// --- Headers, names and character sets ---

void kw_header_info(const ConfigLine& at) {
  if (at.value.find(' ') == std::string_view::npos) {
    return at.warn("HeaderInfo misses parameter");
  }
  static const char* const kForms[] = {"Name", "Email"};
  std::string_view rest = at.value;
  int form = word_index(next_parameter(rest), kForms);
  if (form < 0) return at.warn("HeaderInfo has invalid parameter");
  bool extra = false;
  parse_yes_no(at, rest, extra);
  cfg().header_form = static_cast<HeaderForm>(form);
  if (!extra) {
    cfg().extra_lines = ExtraLines::none;
  } else {
    cfg().extra_lines = form == 0 ? ExtraLines::addresses : ExtraLines::names;
  }
}

void kw_no_spam_text(const ConfigLine& at) {
  copy_text(at.value, cfg().NoSpamText);
}
void kw_origin(const ConfigLine& at) {
  copy_text(at.value, cfg().Origin);
}
void kw_organization(const ConfigLine& at) {
  copy_text(at.value, cfg().Organization);
}
void kw_def_char_set(const ConfigLine& at) {
  copy_text(at.value, cfg().DefCharSet);
}

void kw_char_set_map(const ConfigLine& at) {
  if (cfg().CharSetMap.full()) return at.warn("too many CharSetMap keywords");
  if (at.value.find(' ') == std::string_view::npos) return at.warn("CharSetMap misses parameter");
  std::string_view rest = at.value;
  std::string_view fido = next_parameter(rest);
  Direction direction = Direction::both;
  std::optional<std::size_t> at_word = find_word_nocase("EXPORT", rest);
  if (at_word) {
    direction = Direction::export_only;
  } else if ((at_word = find_word_nocase("IMPORT", rest))) {
    direction = Direction::import_only;
  }
  if (at_word) {
    rest = rest.substr(0, *at_word);
    while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
  }
  std::string fido_name, internet_name;
  if (!store_text(at, fido_name, fido) || !store_text(at, internet_name, rest)) return;
  CharSetMapEntry* e = cfg().CharSetMap.add();
  e->fido_name = std::move(fido_name);
  e->internet_name = std::move(internet_name);
  e->direction = direction;
}

// --- Today's mail ---

void kw_modern_mime(const ConfigLine& at) {
  parse_yes_no(at, at.value, cfg().ModernMime);
}

// "FidoCharset <charset>" sets the default, "FidoCharset <charset> <area>
// ..." the charset of those areas.
void kw_fido_charset(const ConfigLine& at) {
  std::string_view rest = at.value;
  std::string_view name = next_parameter(rest);
  const FidoCharsetInfo* charset = find_fido_charset(name);
  if (charset == nullptr || !charset_known(charset->iconv)) {
    return at.warn("FidoCharset has invalid parameter");
  }
  if (rest.empty()) {
    store_text(at, cfg().FidoCharset, charset->chrs);
    return;
  }
  while (!rest.empty()) {
    std::string_view area = next_parameter(rest);
    if (area.empty()) break;
    if (cfg().AreaCharset.full()) return at.warn("too many FidoCharset areas");
    AreaCharsetEntry* e = cfg().AreaCharset.add();
    copy_text(area, e->area);
    to_upper(e->area);
    if (!store_text(at, e->charset, charset->chrs)) return;
  }
}

void kw_fallback_charset(const ConfigLine& at) {
  if (!charset_known(at.value)) return at.warn("FallbackCharset has invalid parameter");
  store_text(at, cfg().FallbackCharset, at.value);
}

void kw_export_charset(const ConfigLine& at) {
  if (!charset_known(at.value)) return at.warn("ExportCharset has invalid parameter");
  store_text(at, cfg().ExportCharset, at.value);
}

void kw_use_qp(const ConfigLine& at) {
  parse_yes_no(at, at.value, cfg().UseQP);
}

void kw_encode_format(const ConfigLine& at) {
  static const char* const kFormats[] = {"MIME", "UU"};
  int i = word_index(at.value, kFormats);
  if (i < 0) at.warn("invalid format");
  cfg().encode_format = i == 1 ? EncodeFormat::uu : EncodeFormat::mime;
}

// --- Quotes and lines ---

void kw_quote_to(const ConfigLine& at) {
  parse_yes_no(at, at.value, cfg().QuoteTo);
}

// Reads "<low>-<high>", both within 0-255 and low <= high.
bool read_range(std::string_view text, uint8_t& low, uint8_t& high) {
  long a = 0, b = 0;
  if (!scan_signed(text, a) || text.empty() || text[0] != '-') return false;
  text.remove_prefix(1);
  if (!scan_signed(text, b)) return false;
  if (a < 0 || a > 255 || b < 0 || b > 255 || a > b) return false;
  low = static_cast<uint8_t>(a);
  high = static_cast<uint8_t>(b);
  return true;
}

void kw_quote_char(const ConfigLine& at) {
  if (cfg().QuoteChar.full()) return at.warn("too many QuoteChar keywords");
  std::string_view rest = at.value;
  std::string_view quote = next_parameter(rest);
  std::string_view columns = next_parameter(rest);
  if (quote.empty() || columns.empty()) return at.warn("QuoteChar misses parameter");
  QuoteCharEntry entry;
  entry.quote = quote[0];
  if (!read_range(columns, entry.first_column, entry.last_column) ||
      (!rest.empty() && !read_range(rest, entry.least_letters, entry.most_letters))) {
    return at.warn("QuoteChar has invalid parameter");
  }
  *cfg().QuoteChar.add() = entry;
}

void kw_quote_mask(const ConfigLine& at) {
  add_text(at, cfg().QuoteMask, "too many QuoteMask keywords");
}

void kw_line_width(const ConfigLine& at) {
  parse_number16(at, at.value, cfg().LineWidth);
  if (cfg().LineWidth < 20) {
    at.warn("line width too small");
    cfg().LineWidth = 20;
  } else if (cfg().LineWidth > 199) {
    at.warn("line width too large");
    cfg().LineWidth = 199;
  }
}

void kw_strip_kludges(const ConfigLine& at) {
  static const char* const kLevels[] = {"No", "Yes", "Some"};
  static const char* const kCategories[] = {"Email", "News", "List"};
  std::string_view rest = at.value;
  int level = word_index(next_parameter(rest), kLevels);
  if (level < 0) {
    at.warn("unknown StripKludges setting");
    level = 0;
  }
  StripLevel value = static_cast<StripLevel>(level);
  if (rest.empty() || equals_nocase(rest, "All")) {
    for (StripLevel& l : cfg().StripKludges) l = value;
    return;
  }
  int category = word_index(rest, kCategories);
  if (category < 0) return at.warn("unknown StripKludges category");
  cfg().StripKludges[category] = value;
}

void kw_strict_fido_msgid(const ConfigLine& at) {
  parse_yes_no(at, at.value, cfg().StrictFidoMsgID);
}

void kw_kill_origin(const ConfigLine& at) {
  static const char* const kValues[] = {"No", "Yes", "Email"};
  int i = word_index(at.value, kValues);
  if (i < 0) return at.warn("invalid KillOrigin parameter");
  cfg().kill_origin = static_cast<KillOrigin>(i);
}

// --- Junk mail and own messages ---

void parse_action(const ConfigLine& at, FilterAction& out) {
  static const char* const kActions[] = {"ignore", "kill", "move", "junk"};
  int i = word_index(at.value, kActions);
  if (i < 0) at.warn("invalid action");
  out = i < 0 ? FilterAction::ignore : static_cast<FilterAction>(i);
}

void kw_own_org_action(const ConfigLine& at) {
  parse_action(at, cfg().OwnOrgAction);
}
void kw_drop_killed(const ConfigLine& at) {
  parse_yes_no(at, at.value, cfg().DropKilled);
}
void kw_junk_action(const ConfigLine& at) {
  parse_action(at, cfg().JunkAction);
}

void kw_junk_category(const ConfigLine& at) {
  static const char* const kCategories[] = {"Email", "News", "All", "None"};
  int i = word_index(at.value, kCategories);
  if (i < 0) return at.warn("invalid category");
  cfg().current_junk_category = static_cast<JunkCategory>(i);
}

void kw_junk_from(const ConfigLine& at) {
  add_junk(at, cfg().JunkFrom, "too many JunkFrom keywords");
}
void kw_junk_subj(const ConfigLine& at) {
  add_junk(at, cfg().JunkSubj, "too many JunkSubj keywords");
}
void kw_junk_str(const ConfigLine& at) {
  add_junk(at, cfg().JunkStr, "too many JunkStr keywords");
}
void kw_junk_group(const ConfigLine& at) {
  add_junk(at, cfg().JunkGroup, "too many JunkGroup keywords");
}
void kw_junk_from_to(const ConfigLine& at) {
  parse_yes_no(at, at.value, cfg().JunkFromTo);
}

void kw_ignore_message_text(const ConfigLine& at) {
  add_text(at, cfg().IgnoreMessageText, "too many IgnoreMessageText keywords");
}

// --- Encoded files ---

void parse_attach(const ConfigLine& at, int kind) {
  static const char* const kActions[] = {"ignore", "decode", "kill"};
  int i = word_index(at.value, kActions);
  if (i < 0) {
    at.warn("invalid action");
    cfg().Attach[kind] = kind == kKindMail ? AttachAction::decode : AttachAction::ignore;
    return;
  }
  cfg().Attach[kind] = static_cast<AttachAction>(i);
}

void kw_attach_mail(const ConfigLine& at) {
  parse_attach(at, kKindMail);
}
void kw_attach_news(const ConfigLine& at) {
  parse_attach(at, kKindNews);
}

}  // namespace

const KeywordEntry kKeywords[] = {
    {"FidoAddr", kw_fido_addr},
    {"AddrMap", kw_addr_map},
    {"Personal", kw_personal},
    {"Alias", kw_alias},
    {"AddrMapToName", kw_addr_map_to_name},
    {"MapFidoOrg", kw_map_fido_org},
    {"TransFidoOrg", kw_trans_fido_org},
    {"FidoDomain", kw_fido_domain},
    {"BaseZone", kw_base_zone},
    {"AreaMap", kw_area_map},
    {"EmailArea", kw_email_area},
    {"Route", kw_route},
    {"MailingList", kw_mailing_list},
    {"MailerType", kw_mailer_type},
    {"InboundDir", kw_inbound_dir},
    {"OutboundDir", kw_outbound_dir},
    {"NetmailDir", kw_netmail_dir},
    {"DecodeDir", kw_decode_dir},
    {"PacketSender", kw_packet_sender},
    {"SoupDir", kw_soup_dir},
    {"TempDir", kw_temp_dir},
    {"LogFile", kw_log_file},
    {"TimeZone", kw_time_zone},
    {"PacketPwd", kw_packet_pwd},
    {"QuickScan", kw_quick_scan},
    {"ExportAllMail", kw_export_all_mail},
    {"SeparateMSG", kw_separate_msg},
    {"PacketSettleTime", kw_packet_settle_time},
    {"BusyFlagAge", kw_busy_flag_age},
    {"MaxPKTSize", kw_max_pkt_size},
    {"LockWait", kw_lock_wait},
    {"ImportLimit", kw_import_limit},
    {"OwnOrgArea", kw_own_org_area},
    {"JunkArea", kw_junk_area},
    {"ExportMaxTo", kw_export_max_to},
    {"ExportMaxXPost", kw_export_max_xpost},
    {"BounceUnaddressed", kw_bounce_unaddressed},
    {"HeaderInfo", kw_header_info},
    {"NoSpamText", kw_no_spam_text},
    {"Origin", kw_origin},
    {"Organization", kw_organization},
    {"DefCharSet", kw_def_char_set},
    {"CharSetMap", kw_char_set_map},
    {"UseQP", kw_use_qp},
    {"ModernMime", kw_modern_mime},
    {"FidoCharset", kw_fido_charset},
    {"FallbackCharset", kw_fallback_charset},
    {"ExportCharset", kw_export_charset},
    {"EncodeFormat", kw_encode_format},
    {"QuoteTo", kw_quote_to},
    {"QuoteChar", kw_quote_char},
    {"QuoteMask", kw_quote_mask},
    {"LineWidth", kw_line_width},
    {"StripKludges", kw_strip_kludges},
    {"StrictFidoMsgID", kw_strict_fido_msgid},
    {"KillOrigin", kw_kill_origin},
    {"OwnOrgAction", kw_own_org_action},
    {"JunkAction", kw_junk_action},
    {"DropKilled", kw_drop_killed},
    {"JunkCategory", kw_junk_category},
    {"JunkFrom", kw_junk_from},
    {"JunkSubj", kw_junk_subj},
    {"JunkStr", kw_junk_str},
    {"JunkGroup", kw_junk_group},
    {"JunkFromTo", kw_junk_from_to},
    {"AttachMail", kw_attach_mail},
    {"AttachNews", kw_attach_news},
    {"IgnoreMessageText", kw_ignore_message_text},
    {"SoupMaildir", kw_soup_maildir},
    {"SoupMaildirDone", kw_soup_maildir_done},
    {"SoupSendmail", kw_soup_sendmail},
    {"SoupRefusedDir", kw_soup_refused_dir},
    {"NntpServer", kw_nntp_server},
    {"NntpPostServer", kw_nntp_post_server},
    {"NntpPort", kw_nntp_port},
    {"NntpTls", kw_nntp_tls},
    {"NntpUser", kw_nntp_user},
    {"NntpPassFile", kw_nntp_pass_file},
    {"NntpCaFile", kw_nntp_ca_file},
    {"NntpGroup", kw_nntp_group},
    {"NntpMaxArticles", kw_nntp_max_articles},
    {"NntpMaxArticleSize", kw_nntp_max_article_size},
    {"NntpFirstFetch", kw_nntp_first_fetch},
    {"NntpTimeout", kw_nntp_timeout},
    {"SoupSendmailTimeout", kw_soup_sendmail_timeout},
    {"SoupBounceAddress", kw_soup_bounce_address},
    {"SoupHistoryDays", kw_soup_history_days},
    {"NewsFixNode", kw_newsfix_node},
    {"NewsFixAllow", kw_newsfix_allow},
    {"NewsFixName", kw_newsfix_name},
};
const std::size_t kKeywordCount = sizeof kKeywords / sizeof kKeywords[0];

}  // namespace quillmar
