#include "structure.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>

#include "fido/packet_layout.hpp"

namespace quillmar::fuzz {

namespace {

// Lines a FidoNet message text may hold: kludges, gateway lines, the
// lines that end a message, and text that the conversion treats apart.
constexpr const char* kTextLines[] = {
    "\x01MSGID: 2:345/1 12345678\r",
    "\x01REPLY: 2:345/6 abcdef01\r",
    "\x01REPLY: <19990309140507.1@example.net>\r",
    "\x01INTL 2:345/6 2:345/1\r",
    "\x01INTL 2:345/7 2:345/1\r",
    "\x01FMPT 1\r",
    "\x01TOPT 2\r",
    "\x01CHRS: IBMPC 2\r",
    "\x01CHRS: LATIN-1 2\r",
    "\x01CHRS: UTF-8 4\r",
    "\x01SPLIT: 09 Mar 99 14:05:07 @345/1 1234 01/02 +++++++++++\r",
    "\x01SPLIT: 09 Mar 99 14:05:07 @345/1 1234 02/02 +++++++++++\r",
    "\x01REPLYADDR ann@example.net\r",
    "\x01REPLYTO 2:345/6 UUCP\r",
    "\x01TZUTC: 0100\r",
    "\x01PID: Fuzz 1.0\r",
    "AREA:FIDO.TEST\r",
    "AREA:FIDO.OUT\r",
    "AREA:QUILLMAR.DEV\r",
    "AREA:EXAMPLE.LIST\r",
    "To: someone@example.net\r",
    "To: \"Ann Other\" <ann@example.net>, friend@example.net (Friend)\r",
    "To: quillmar-dev@example.org\r",
    "XPost: alt.test alt.out\r",
    "Subject: =?iso-8859-1?q?Gr=FC=DFe?=\r",
    "From: joe@example.org\r",
    "Reply-To: replies@example.net\r",
    "Cc: ann@example.org\r",
    "\r",
    "--- Fuzz 1.0\r",
    " * Origin: Quillmar example gateway (2:345/6)\r",
    "SEEN-BY: 345/1 6\r",
    "\x01PATH: 345/1\r",
    "\x01Via 2:345/6 @19990309.140507 Fuzz\r",
    "begin 644 x.txt\r",
    "Ann wrote:\r> quoted\r",
    "\x84\x94\x81 \xe4\xf6\xfc\r",
};

// Values a header word is tried with: the gateway's and its neighbours'
// addresses (2:345/6, a point 2:345/6.1, the route 2:345/7, the sender
// 2:345/1), the packet and capability words, the ends of the range.
constexpr uint16_t kWords[] = {0,    1,      2,      3,      6,      7,      345,    0x0100,
                               0xFF, 0x7FFF, 0x8000, 0xFFFF, 0x0010, 0x0008, 0x0080, 0x0200};

uint16_t le16(std::string_view s, std::size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                               static_cast<unsigned char>(s[at + 1]) << 8);
}

void put16(std::string& s, std::size_t at, uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}

// A zero-terminated text at `at`; false without its zero byte.
bool take_zstring(std::string_view data, std::size_t& at, std::string& out) {
  std::size_t end = data.find('\0', at);
  if (end == std::string_view::npos) return false;
  out.assign(data.substr(at, end - at));
  at = end + 1;
  return true;
}

class Mutation {
 public:
  Mutation(unsigned seed, ByteMutator mutate) : random_(seed), mutate_(mutate) {}

  std::size_t below(std::size_t n) { return n == 0 ? 0 : random_() % n; }
  bool one_in(std::size_t n) { return below(n) == 0; }
  uint16_t word() {
    return one_in(4) ? static_cast<uint16_t>(random_()) : kWords[below(std::size(kWords))];
  }

  // `text` changed byte by byte, at most `limit` bytes, without zero
  // bytes when `zero_free`.
  void bytes(std::string& text, std::size_t limit, bool zero_free) {
    std::string buffer(std::max(limit, text.size()) + 1, '\0');
    std::memcpy(buffer.data(), text.data(), text.size());
    std::size_t n = mutate_(reinterpret_cast<uint8_t*>(buffer.data()), text.size(), limit);
    text.assign(buffer.data(), std::min(n, limit));
    if (zero_free) std::replace(text.begin(), text.end(), '\0', ' ');
  }

  // A line of kTextLines inserted at the start of a line of `text`.
  void insert_line(std::string& text) {
    std::vector<std::size_t> starts = {0};
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r') starts.push_back(i + 1);
    }
    text.insert(starts[below(starts.size())], kTextLines[below(std::size(kTextLines))]);
  }

 private:
  std::minstd_rand random_;
  ByteMutator mutate_;
};

// The offsets of the header words a mutation chooses from.
constexpr std::size_t kPacketWords[] = {
    packet_field::kOrigNode,       packet_field::kDestNode,
    packet_field::kPacketType,     packet_field::kOrigNet,
    packet_field::kDestNet,        packet_field::kQOrigZone,
    packet_field::kQDestZone,      packet_field::kCapabilitySwapped,
    packet_field::kCapabilityWord, packet_field::kOrigZone,
    packet_field::kDestZone,       packet_field::kOrigPoint,
    packet_field::kDestPoint,      packet_field::kYear,
    packet_field::kMonth};
constexpr std::size_t kPackedWords[] = {packed_field::kMessageType, packed_field::kOrigNode,
                                        packed_field::kDestNode,    packed_field::kOrigNet,
                                        packed_field::kDestNet,     packed_field::kAttribute,
                                        packed_field::kCost};
constexpr std::size_t kStoredWords[] = {stored_field::kDestNode,  stored_field::kOrigNode,
                                        stored_field::kOrigNet,   stored_field::kDestNet,
                                        stored_field::kAttribute, stored_field::kReplyTo,
                                        stored_field::kTimesRead, stored_field::kNextReply};

// Copies `result` out when it fits, else changes `data` byte by byte.
std::size_t deliver(const std::string& result, uint8_t* data, std::size_t size,
                    std::size_t max_size, ByteMutator mutate) {
  if (result.size() > max_size) return mutate(data, size, max_size);
  std::memcpy(data, result.data(), result.size());
  return result.size();
}

}  // namespace

PacketParts split_packet(std::string_view data) {
  PacketParts parts;
  std::string_view header = data.substr(0, kPacketHeaderSize);
  parts.header.assign(header);
  parts.header.resize(kPacketHeaderSize, '\0');
  if (data.size() < kPacketHeaderSize) return parts;
  std::size_t at = kPacketHeaderSize;
  while (at + kPackedMessageHeaderSize <= data.size() && le16(data, at) == kPackedMessageType) {
    PackedMessage m;
    m.header.assign(data.substr(at, kPackedMessageHeaderSize));
    std::size_t next = at + kPackedMessageHeaderSize;
    if (!take_zstring(data, next, m.date) || !take_zstring(data, next, m.to) ||
        !take_zstring(data, next, m.from) || !take_zstring(data, next, m.subject) ||
        !take_zstring(data, next, m.text)) {
      break;
    }
    parts.messages.push_back(std::move(m));
    at = next;
  }
  parts.tail.assign(data.substr(at));
  return parts;
}

std::string join_packet(const PacketParts& parts) {
  std::string out = parts.header;
  for (const PackedMessage& m : parts.messages) {
    out += m.header;
    for (const std::string* text : {&m.date, &m.to, &m.from, &m.subject, &m.text}) {
      out += *text;
      out += '\0';
    }
  }
  return out + parts.tail;
}

std::size_t mutate_packet(uint8_t* data, std::size_t size, std::size_t max_size, unsigned seed,
                          ByteMutator mutate) {
  Mutation m(seed, mutate);
  if (size < kPacketHeaderSize || m.one_in(10)) return mutate(data, size, max_size);
  PacketParts parts = split_packet(std::string_view(reinterpret_cast<const char*>(data), size));
  std::vector<PackedMessage>& messages = parts.messages;
  PackedMessage* one = messages.empty() ? nullptr : &messages[m.below(messages.size())];
  switch (m.below(10)) {
    case 0:
      put16(parts.header, kPacketWords[m.below(std::size(kPacketWords))], m.word());
      break;
    case 1:
      if (one != nullptr)
        put16(one->header, kPackedWords[m.below(std::size(kPackedWords))], m.word());
      break;
    case 2:
      if (one != nullptr) {
        // Mostly within the lengths the reader takes, now and then beyond.
        std::string* fields[] = {&one->date, &one->to, &one->from, &one->subject};
        constexpr std::size_t kLimits[] = {19, 35, 35, 71};
        std::size_t f = m.below(4);
        m.bytes(*fields[f], m.one_in(8) ? 300 : kLimits[f], true);
      }
      break;
    case 3:
    case 4:
      if (one != nullptr) m.bytes(one->text, one->text.size() + 256, true);
      break;
    case 5:
    case 6:
      if (one != nullptr) m.insert_line(one->text);
      break;
    case 7:
      if (one != nullptr) {
        messages.insert(messages.begin() + static_cast<long>(m.below(messages.size() + 1)), *one);
      } else {
        PackedMessage fresh;
        fresh.header.assign(kPackedMessageHeaderSize, '\0');
        put16(fresh.header, packed_field::kMessageType, kPackedMessageType);
        fresh.date = "09 Mar 99  14:05:07";
        fresh.to = "UUCP";
        fresh.from = "Joe Sysop";
        fresh.text = "To: someone@example.net\r\rHello.\r";
        messages.push_back(fresh);
      }
      break;
    case 8:
      if (messages.size() > 1) {
        std::swap(messages[m.below(messages.size())], messages[m.below(messages.size())]);
      } else if (!messages.empty()) {
        messages.clear();
      }
      break;
    case 9:
      // The end of the packet: the closing zero word, or cut short.
      parts.tail = m.one_in(2) ? std::string(2, '\0') : std::string();
      break;
  }
  return deliver(join_packet(parts), data, size, max_size, mutate);
}

std::size_t cross_over_packets(const uint8_t* data1, std::size_t size1, const uint8_t* data2,
                               std::size_t size2, uint8_t* out, std::size_t max_out_size,
                               unsigned seed) {
  std::minstd_rand random(seed);
  PacketParts first = split_packet(std::string_view(reinterpret_cast<const char*>(data1), size1));
  PacketParts second = split_packet(std::string_view(reinterpret_cast<const char*>(data2), size2));
  // The first packet's header with messages of both.
  std::size_t keep = first.messages.empty() ? 0 : random() % (first.messages.size() + 1);
  first.messages.resize(keep);
  std::size_t from = second.messages.empty() ? 0 : random() % second.messages.size();
  for (std::size_t i = from; i < second.messages.size(); ++i) {
    first.messages.push_back(second.messages[i]);
  }
  std::string joined = join_packet(first);
  std::size_t n = std::min(joined.size(), max_out_size);
  std::memcpy(out, joined.data(), n);
  return n;
}

std::size_t mutate_stored_message(uint8_t* data, std::size_t size, std::size_t max_size,
                                  unsigned seed, ByteMutator mutate) {
  Mutation m(seed, mutate);
  if (size < kStoredHeaderSize || m.one_in(10)) return mutate(data, size, max_size);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t split = input.find(kQuickScanSeparator);
  std::string stamp =
      split == std::string_view::npos ? std::string() : std::string(input.substr(split));
  std::string message(input.substr(0, split));
  if (message.size() < kStoredHeaderSize) return mutate(data, size, max_size);
  std::string header = message.substr(0, kStoredHeaderSize);
  std::string text = message.substr(kStoredHeaderSize);
  // The text up to its zero byte; what follows it stays behind it.
  std::size_t nul = text.find('\0');
  std::string after = nul == std::string::npos ? std::string() : text.substr(nul);
  text.resize(std::min(nul, text.size()));
  switch (m.below(7)) {
    case 0:
    case 1:
      put16(header, kStoredWords[m.below(std::size(kStoredWords))], m.word());
      break;
    case 2: {
      struct Field {
        std::size_t at, size;
      };
      constexpr Field kFields[] = {{stored_field::kFromName, stored_field::kFromNameSize},
                                   {stored_field::kToName, stored_field::kToNameSize},
                                   {stored_field::kSubject, stored_field::kSubjectSize},
                                   {stored_field::kDateTime, stored_field::kDateTimeSize}};
      const Field& f = kFields[m.below(std::size(kFields))];
      std::string value = header.substr(f.at, f.size);
      value.resize(std::min(value.find('\0'), value.size()));
      // A full field has no zero byte of its own now and then.
      m.bytes(value, m.one_in(8) ? f.size : f.size - 1, true);
      value.resize(f.size, '\0');
      header.replace(f.at, f.size, value);
      break;
    }
    case 3:
      m.bytes(text, text.size() + 256, true);
      break;
    case 4:
    case 5:
      m.insert_line(text);
      break;
    case 6:
      // The quick-scan stamp: none, or four bytes of a date and a time.
      if (!stamp.empty() && m.one_in(2)) {
        stamp.clear();
      } else {
        stamp.assign(kQuickScanSeparator);
        stamp.append(4, '\0');
        put16(stamp, kQuickScanSeparator.size(), m.word());
        put16(stamp, kQuickScanSeparator.size() + 2, m.word());
      }
      break;
  }
  if (after.empty()) after.assign(1, '\0');
  return deliver(header + text + after + stamp, data, size, max_size, mutate);
}

}  // namespace quillmar::fuzz
