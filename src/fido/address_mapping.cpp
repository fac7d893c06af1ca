#include "fido/address_mapping.hpp"

#include <optional>

#include "base/number_scan.hpp"
#include "base/text_helpers.hpp"
#include "rfc/header_writer.hpp"

namespace quillmar {

namespace {

constexpr std::string_view kDefaultDomainText = "#fidonet.org";
static_assert(kDefaultDomainText.substr(1) == kDefaultGatewayDomain);

// The host of an Internet address: the text after its first "@".
std::optional<std::string_view> host_of(std::string_view address) {
  std::size_t at = address.find('@');
  if (at == std::string_view::npos) return std::nullopt;
  return address.substr(at + 1);
}

bool has_gateway_host(std::string_view address) {
  std::optional<std::string_view> host = host_of(address);
  return host && is_gateway_domain(*host);
}

// Appends the number in decimal (without printf).
void append_decimal(std::string& out, uint32_t number) {
  char digits[10];
  std::size_t n = sizeof digits;
  do {
    digits[--n] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  out.append(digits + n, sizeof digits - n);
}

// Appends `letter`, the number and a dot.
void append_labelled(std::string& out, char letter, uint32_t number) {
  out += letter;
  append_decimal(out, number);
  out += '.';
}

// The host of an FTN address under a domain text: its gateway form under a
// gateway domain ("p%u." only for a point, then "f%u.n%u.z%u." and the
// domain proper), else the domain text itself.
void append_domain_host(std::string& out, const FtnAddress& a, std::string_view domain) {
  if (!domain.empty() && domain.front() == '#') {
    if (a.point != 0) append_labelled(out, 'p', a.point);
    append_labelled(out, 'f', a.node);
    append_labelled(out, 'n', a.net);
    append_labelled(out, 'z', a.zone);
    domain.remove_prefix(1);
  }
  out += domain;
}

const AddrMapEntry& first_address_map_entry() {
  static const AddrMapEntry kNone{};
  return settings->AddrMap.empty() ? kNone : settings->AddrMap[0];
}

// True when the entry's Internet address is `address` or its FidoNet name
// is `name` (without regard to case); empty entry fields match nothing.
bool names_entry(const AddrMapEntry& e, std::string_view address, std::string_view name) {
  return (!e.internet_address.empty() && equals_nocase(e.internet_address, address)) ||
         (!e.fido_name.empty() && equals_nocase(e.fido_name, name));
}

// The name, reply name or To name rule: an empty name, or one that only
// repeats the address, becomes the address's local part.
void name_from_local_part(Text<128>& name, std::string_view address) {
  if (name.empty() || equals_nocase(name, address)) local_part_to_name(address, name);
}

}  // namespace

bool is_gateway_domain(std::string_view host) {
  std::string_view proper = kDefaultGatewayDomain;
  if (host.size() >= proper.size() + 1 && host[host.size() - proper.size() - 1] == '.' &&
      equals_nocase(host.substr(host.size() - proper.size()), proper)) {
    return true;
  }
  for (const FidoDomainEntry& e : settings->FidoDomain) {
    std::string_view domain = e.domain;
    if (domain.empty() || domain.front() != '#') continue;
    std::size_t k = domain.size();
    if (host.size() >= k && host[host.size() - k] == '.' &&
        equals_nocase(host.substr(host.size() - k + 1), domain.substr(1))) {
      return true;
    }
  }
  return false;
}

GatewayHost parse_gateway_host(std::string_view from_at) {
  GatewayHost result;
  FtnAddress& a = result.address;
  const char letters[4] = {'p', 'f', 'n', 'z'};
  uint16_t* fields[4] = {&a.point, &a.node, &a.net, &a.zone};
  std::optional<std::size_t> cursor = 0;
  for (int step = 0; step < 4; ++step) {
    if (!cursor) break;
    std::size_t letter = *cursor + 1;
    if (letter >= from_at.size() || ascii_lower(from_at[letter]) != letters[step]) continue;
    std::string_view number = from_at.substr(letter + 1);
    if (std::optional<uint16_t> value = take_digits<uint16_t>(number)) *fields[step] = *value;
    std::size_t dot = from_at.find('.', letter + 1);
    cursor = dot == std::string_view::npos ? std::nullopt : std::optional<std::size_t>(dot);
  }
  result.parsed = cursor.has_value();
  return result;
}

std::string_view domain_for_zone(uint16_t zone) {
  for (const FidoDomainEntry& e : settings->FidoDomain) {
    if (e.zone_low <= zone && zone <= e.zone_high) return e.domain;
  }
  return kDefaultDomainText;
}

void local_part_to_name(std::string_view address, Text<128>& name) {
  std::string_view local = address.substr(0, address.find('@'));
  name.assign(local);
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '.') name.set(i, ' ');
  }
}

const AddrMapEntry& find_recipient_mapping(std::string_view to_address, std::string_view to_name,
                                           const RecipientTable& recipients) {
  const auto& map = settings->AddrMap;
  for (std::size_t i = 1; i < map.size(); ++i) {
    const AddrMapEntry& e = map[i];
    if (names_entry(e, to_address, to_name)) return e;
    for (const Recipient& r : recipients) {
      if (names_entry(e, r.address, r.name)) return e;
    }
  }
  return first_address_map_entry();
}

void map_destination_and_origin() {
  MessageHeader& h = *message_work.header;
  if (h.category == kKindMail) {
    const AddrMapEntry& e =
        find_recipient_mapping(h.to_address, h.to_name, message_work.recipients);
    h.destination = e.ftn_address;
    // Mail to the entry's address whose To field names nobody is the
    // entry's user's: it gets the user's FidoNet name.
    if (settings->AddrMapToName && !e.fido_name.empty() && !e.internet_address.empty() &&
        equals_nocase(e.internet_address, h.to_address) &&
        (h.to_name.empty() || equals_nocase(h.to_name, h.to_address))) {
      h.to_name = e.fido_name;
    }
  } else {
    h.destination = first_address_map_entry().ftn_address;
  }
  h.origin = settings->FidoAddr;
}

void read_gateway_identifier(MessageRef& ref) {
  std::string_view id = ref.id_text;
  std::size_t at = id.find('@');
  if (at == std::string_view::npos || !is_gateway_domain(id.substr(at + 1)) || id.empty() ||
      !is_digit(id.front())) {
    ref.gateway_form = false;
    return;
  }
  std::string_view number = id;
  ref.serial = take_digits<uint32_t>(number).value_or(0);
  GatewayHost host = parse_gateway_host(id.substr(at));
  ref.address = host.address;
  ref.gateway_form = host.parsed;
}

bool map_import_addresses(bool list_traffic) {
  MessageHeader& h = *message_work.header;
  const Settings& s = *settings;

  read_gateway_identifier(h.msgid_ref);

  bool personal = false;
  read_gateway_identifier(h.reply_ref);
  if (h.reply_ref.gateway_form && !list_traffic) {
    for (const AddrMapEntry& e : s.AddrMap) {
      if (e.ftn_address == h.reply_ref.address && !e.fido_name.empty()) {
        h.to_name = e.fido_name;
        personal = true;
        break;
      }
    }
  }

  if (has_gateway_host(h.reply_to_address)) {
    if (h.reply_to_name.empty() || equals_nocase(h.reply_to_name, h.reply_to_address)) {
      local_part_to_name(h.reply_to_address, h.reply_to_name);
      if (h.from_name.empty() || equals_nocase(h.from_name, h.from_address)) {
        h.from_name = h.reply_to_name;
      }
    }
    std::string_view reply = h.reply_to_address;
    GatewayHost host = parse_gateway_host(reply.substr(reply.find('@')));
    if (host.parsed && s.TransFidoOrg) h.origin = host.address;
  }

  if (has_gateway_host(h.to_address)) {
    name_from_local_part(h.to_name, h.to_address);
    std::string_view to = h.to_address;
    GatewayHost host = parse_gateway_host(to.substr(to.find('@')));
    if (host.parsed && s.TransFidoOrg) h.destination = host.address;
  }
  return personal;
}

void prepare_message_refs(MessageRef& msgid, MessageRef& reply, const FtnAddress& origin) {
  msgid = MessageRef{};
  msgid.address = origin;
  reply = MessageRef{};
}

void read_message_ref(std::string_view value, MessageRef& ref) {
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  std::size_t space = value.find(' ');
  std::string_view origin = value.substr(0, space);
  std::string_view serial = space == std::string_view::npos ? value : value.substr(space + 1);

  if (origin.find('@') != std::string_view::npos &&
      origin.find_first_of(":/") == std::string_view::npos) {
    ref.id_text = origin;
  } else {
    // The fields up to the first that cannot be read.
    std::string_view rest = origin;
    read_ftn_address(rest, ref.address);
  }

  std::string_view digits = serial;
  while (!digits.empty() && (digits.front() == ' ' || digits.front() == '\t')) {
    digits.remove_prefix(1);
  }
  if (digits.empty() || !is_hex_digit(digits.front())) {
    ref.serial = crc32(serial.data(), serial.size());
    return;
  }
  uint32_t number = 0;
  for (char c : digits) {
    if (!is_hex_digit(c)) break;
    number = number * 16u + static_cast<uint32_t>(hex_value(c));
  }
  ref.serial = number;
}

void append_message_id(std::string& out, std::string_view id_text, uint32_t serial,
                       const FtnAddress& address) {
  if (!id_text.empty()) {
    if (id_text.front() != '<') out += '<';
    out += id_text;
    if (id_text.back() != '>') out += '>';
    out += '\n';
    return;
  }
  out += '<';
  append_decimal(out, serial);
  out += '@';
  append_domain_host(out, address, domain_for_zone(address.zone));
  out += ">\n";
}

void write_message_id_line(platform::File& out, const MessageRef& ref) {
  write_header_value(out, message_id_text(ref.id_text, ref.serial, ref.address));
  out.write("\n");
}

std::string message_id_text(std::string_view id_text, uint32_t serial, const FtnAddress& address) {
  std::string value;
  append_message_id(value, id_text, serial, address);
  value.pop_back();
  return value;
}

void map_sender_to_internet(const FtnAddress& origin, std::string_view fido_name,
                            Text<128>& sender_address, Text<128>& reply_address) {
  const Settings& s = *settings;
  sender_address = first_address_map_entry().internet_address;

  const AddrMapEntry* found = nullptr;
  for (const AddrMapEntry& e : s.AddrMap) {
    if (e.ftn_address == origin) {
      found = &e;
      break;
    }
  }
  if (found == nullptr) {
    for (const AddrMapEntry& e : s.AddrMap) {
      if (!e.fido_name.empty() && equals_nocase(e.fido_name, fido_name)) {
        found = &e;
        break;
      }
    }
  }

  if (found != nullptr) {
    if (!found->internet_address.empty()) sender_address = found->internet_address;
    if (!found->reply_address.empty()) reply_address = found->reply_address;
    return;
  }
  if (!s.MapFidoOrg) return;

  std::string_view domain = domain_for_zone(origin.zone);
  if (domain.find('@') != std::string_view::npos) {
    sender_address = domain;
    return;
  }
  // Kept for the run, so that a message costs no allocation here.
  static std::string address;
  address.assign(fido_name);
  for (char& c : address) {
    if (c == ' ') c = '.';
  }
  address += '@';
  append_domain_host(address, origin, domain);
  sender_address = address;
}

}  // namespace quillmar
