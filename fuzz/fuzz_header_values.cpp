// The parsers of Internet header values: address lists, message
// identifiers, newsgroup lists and dates. The first byte chooses the
// parser; the rest is the value, NUL-terminated in a buffer of its own
// size, as the header parser hands it over.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fido/message_record.hpp"
#include "harness.hpp"
#include "rfc/header_values.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

namespace {

template <std::size_t N>
void check_text(const Text<N>& text, const char* what) {
  if (text.size() > 127) fail("%s of %zu characters", what, text.size());
  if (std::strlen(text.c_str()) != text.size()) fail("%s with a NUL inside", what);
}

}  // namespace

QUILLMAR_FUZZ_TARGET(header_values) {
  if (size < 1) return 0;
  static int seen = -1;
  if (setup_needed(seen)) {
    reset_box();
    if (!load_settings()) fail("the fixed configuration could not be read");
  }
  const int choice = data[0];
  std::unique_ptr<char[]> value(new char[size]);
  std::memcpy(value.get(), data + 1, size - 1);
  value[size - 1] = '\0';
  std::size_t length = std::strlen(value.get());

  switch (choice % 5) {
    case 0:
    case 1: {
      RecipientTable& table = message_work.recipients;
      table.clear();
      Text<128> address;
      Text<128> name;
      int kind = choice % 5 == 0 ? kAddressFrom : 1 + (choice / 5) % 3;
      parse_address_list(value.get(), &address, &name, kind, table);
      check_text(address, "address");
      check_text(name, "name");
      if (kind == kAddressFrom && !table.empty()) fail("a From list added recipients");
      for (const Recipient& r : table) {
        check_text(r.address, "recipient address");
        check_text(r.name, "recipient name");
        if (r.address.empty()) fail("a recipient without an address");
        if (r.kind != kind) fail("a recipient of kind %d from a list of kind %d", r.kind, kind);
      }
      break;
    }
    case 2: {
      Text<128> id("unchanged");
      bool had_at = std::strchr(value.get(), '@') != nullptr;
      extract_identifier(value.get(), id, (choice / 5) % 2 == 1);
      check_text(id, "identifier");
      if (!had_at && id.view() != "unchanged") fail("an identifier without an at sign");
      if (id.view() != "unchanged" && !id.empty() && id.size() < 127 &&
          (id.view().front() == '<' || id.view().back() == '>')) {
        fail("identifier \"%s\" keeps its angle brackets", id.c_str());
      }
      break;
    }
    case 3: {
      CrossPostTable& groups = message_work.cross_posts;
      groups.clear();
      split_newsgroups(std::string_view(value.get(), length), "alt.test", groups);
      for (const Text<128>& g : groups) check_text(g, "newsgroup");
      break;
    }
    case 4: {
      ParsedDate date;
      Text<128> zone;
      parse_date(value.get(), date, &zone);
      check_text(zone, "zone");
      if (date.month > 11) fail("month %u", date.month);
      break;
    }
  }
  if (std::strlen(value.get()) > length) fail("a parser wrote past the value's end");
  return 0;
}
