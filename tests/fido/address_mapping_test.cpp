#include "fido/address_mapping.hpp"

#include <string>

#include <gtest/gtest.h>

#include "base/text_helpers.hpp"
#include "fido/fido_state.hpp"

namespace quillmar {
namespace {

using test::add_address_map;
using test::add_fido_domain;
using test::FidoTest;

constexpr FtnAddress kGateway{2, 345, 6, 0};

class AddressMapping : public FidoTest {
 protected:
  void SetUp() override {
    FidoTest::SetUp();
    settings->FidoAddr = kGateway;
  }
};

std::string address_text(const FtnAddress& a) {
  return std::to_string(a.zone) + ":" + std::to_string(a.net) + "/" + std::to_string(a.node) + "." +
         std::to_string(a.point);
}

TEST_F(AddressMapping, GatewayDomainsAreTheDefaultAndTheHashEntries) {
  add_fido_domain(1, 1, "#fido.example");
  add_fido_domain(3, 3, "plain.example");
  add_fido_domain(4, 4, "gate@mail.example");

  EXPECT_TRUE(is_gateway_domain("f1.n2.z3.fidonet.org"));
  EXPECT_TRUE(is_gateway_domain("x.FidoNet.ORG"));
  EXPECT_FALSE(is_gateway_domain("fidonet.org"));
  EXPECT_FALSE(is_gateway_domain("xfidonet.org"));
  EXPECT_TRUE(is_gateway_domain("f1.n2.z1.fido.example"));
  EXPECT_TRUE(is_gateway_domain("a.FIDO.example"));
  EXPECT_FALSE(is_gateway_domain("fido.example"));
  EXPECT_FALSE(is_gateway_domain("afido.example"));
  EXPECT_FALSE(is_gateway_domain("f1.n2.z3.plain.example"));
  EXPECT_FALSE(is_gateway_domain("f1.n2.z3.mail.example"));
  EXPECT_FALSE(is_gateway_domain(""));
}

struct HostCase {
  const char* text;
  const char* address;
  bool parsed;
};

void PrintTo(const HostCase& c, std::ostream* os) {
  *os << test::case_name(c.text);
}

class GatewayHosts : public AddressMapping, public ::testing::WithParamInterface<HostCase> {};

TEST_P(GatewayHosts, ReadTheComponentsInTheirOrder) {
  const HostCase& c = GetParam();
  GatewayHost host = parse_gateway_host(c.text);
  EXPECT_EQ(address_text(host.address), c.address) << c.text;
  EXPECT_EQ(host.parsed, c.parsed) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, GatewayHosts,
    ::testing::Values(HostCase{"@f12.n345.z2.D", "2:345/12.0", true},
                      HostCase{"@p3.f12.n345.z2.D", "2:345/12.3", true},
                      HostCase{"@P3.F12.N345.Z2.fidonet.org", "2:345/12.3", true},
                      HostCase{"@z2.D", "2:0/0.0", true}, HostCase{"@n345.z2.D", "2:345/0.0", true},
                      HostCase{"@abc.D", "0:0/0.0", true},
                      // Not reordered: after n the f is not read again.
                      HostCase{"@n345.f12.z2.D", "0:345/0.0", true},
                      HostCase{"@f12.n345.z2", "2:345/12.0", false},
                      HostCase{"@f12", "0:0/12.0", false}, HostCase{"@fx.n1.z1.D", "1:1/0.0", true},
                      HostCase{"@f70000.n1.z1.D", "1:1/4464.0", true},
                      HostCase{"@", "0:0/0.0", true}),
    [](const auto& info) { return test::case_name(info.param.text); });

TEST_F(AddressMapping, DomainForZoneTakesTheFirstCoveringEntry) {
  EXPECT_EQ(domain_for_zone(2), "#fidonet.org");
  add_fido_domain(1, 3, "#first.example");
  add_fido_domain(2, 2, "second.example");
  EXPECT_EQ(domain_for_zone(2), "#first.example");
  EXPECT_EQ(domain_for_zone(3), "#first.example");
  EXPECT_EQ(domain_for_zone(4), "#fidonet.org");
}

TEST_F(AddressMapping, LocalPartToName) {
  Text<128> name;
  local_part_to_name("John.Smith@p3.f12.n345.z2.fidonet.org", name);
  EXPECT_EQ(name.view(), "John Smith");
  local_part_to_name("no.at.sign", name);
  EXPECT_EQ(name.view(), "no at sign");
  local_part_to_name("Mary-Ann_O.Neil@x", name);
  EXPECT_EQ(name.view(), "Mary-Ann_O Neil");
}

TEST_F(AddressMapping, RecipientMappingPrefersLaterEntriesAndFallsBackToTheFirst) {
  add_address_map({2, 345, 1, 0}, "gate@example.org");
  add_address_map({2, 345, 2, 0}, "alice@example.org", "", "Alice Liddell");
  add_address_map({2, 345, 3, 0}, "gate@example.org");
  add_address_map({2, 345, 4, 0}, "", "", "Bob Builder");

  // Matches the first entry and a later one: the later one wins.
  EXPECT_EQ(
      find_recipient_mapping("GATE@example.org", "", message_work.recipients).ftn_address.node, 3);
  EXPECT_EQ(
      find_recipient_mapping("x@y", "alice liddell", message_work.recipients).ftn_address.node, 2);
  EXPECT_EQ(find_recipient_mapping("nobody@y", "Nobody", message_work.recipients).ftn_address.node,
            1);
  // An entry without Internet address or name matches nothing by an empty text.
  EXPECT_EQ(find_recipient_mapping("", "", message_work.recipients).ftn_address.node, 1);

  Recipient* r = message_work.recipients.add();
  r->kind = kAddressCc;
  r->address = "other@y";
  r->name = "Bob Builder";
  EXPECT_EQ(find_recipient_mapping("nobody@y", "Nobody", message_work.recipients).ftn_address.node,
            4);
}

TEST_F(AddressMapping, DestinationAndOriginOfMailAndNews) {
  add_address_map({2, 345, 1, 0}, "gate@example.org");
  add_address_map({2, 345, 2, 7}, "alice@example.org");
  MessageHeader& h = *message_work.header;
  h.to_address = "alice@example.org";
  h.category = kKindMail;
  map_destination_and_origin();
  EXPECT_EQ(address_text(h.destination), "2:345/2.7");
  EXPECT_EQ(address_text(h.origin), "2:345/6.0");

  h.category = kKindNews;
  map_destination_and_origin();
  EXPECT_EQ(address_text(h.destination), "2:345/1.0");
}

TEST_F(AddressMapping, ToAddressInGatewayFormGivesNameAndDestination) {
  add_address_map({2, 345, 1, 0}, "gate@example.org");
  add_fido_domain(2, 2, "#fido.example");
  settings->TransFidoOrg = true;
  MessageHeader& h = *message_work.header;
  h.to_address = "John.Smith@p3.f12.n345.z2.fido.example";
  h.destination = {2, 345, 1, 0};
  EXPECT_FALSE(map_import_addresses(false));
  EXPECT_EQ(h.to_name.view(), "John Smith");
  EXPECT_EQ(address_text(h.destination), "2:345/12.3");
}

TEST_F(AddressMapping, ToAddressRulesWithoutTransFidoOrgOrOutsideGatewayDomains) {
  MessageHeader& h = *message_work.header;
  h.to_address = "John.Smith@p3.f12.n345.z2.fidonet.org";
  h.to_name = "JOHN.SMITH@p3.f12.n345.z2.fidonet.org";
  h.destination = {2, 345, 1, 0};
  map_import_addresses(false);
  EXPECT_EQ(h.to_name.view(), "John Smith");
  EXPECT_EQ(address_text(h.destination), "2:345/1.0");

  settings->TransFidoOrg = true;
  h.to_address = "Jane.Doe@f12.n345.z2.other.example";
  h.to_name.clear();
  map_import_addresses(false);
  EXPECT_EQ(h.to_name.view(), "");
  EXPECT_EQ(address_text(h.destination), "2:345/1.0");

  // A given name is kept.
  h.to_address = "John.Smith@f12.n345.z2.fidonet.org";
  h.to_name = "Johnny";
  map_import_addresses(false);
  EXPECT_EQ(h.to_name.view(), "Johnny");
  EXPECT_EQ(address_text(h.destination), "2:345/12.0");
}

TEST_F(AddressMapping, ReplyAddressInGatewayFormGivesNamesAndOrigin) {
  settings->TransFidoOrg = true;
  MessageHeader& h = *message_work.header;
  h.from_address = "Jane.Doe@f7.n100.z1.fidonet.org";
  h.from_name = "jane.doe@F7.n100.z1.fidonet.org";
  h.reply_to_address = h.from_address;
  h.reply_to_name = h.from_name;
  h.origin = kGateway;
  map_import_addresses(false);
  EXPECT_EQ(h.reply_to_name.view(), "Jane Doe");
  EXPECT_EQ(h.from_name.view(), "Jane Doe");
  EXPECT_EQ(address_text(h.origin), "1:100/7.0");

  // A real reply name is kept, and so is the From name.
  h.reply_to_name = "Jane";
  h.from_name = "J. D.";
  h.origin = kGateway;
  settings->TransFidoOrg = false;
  map_import_addresses(false);
  EXPECT_EQ(h.reply_to_name.view(), "Jane");
  EXPECT_EQ(h.from_name.view(), "J. D.");
  EXPECT_EQ(address_text(h.origin), "2:345/6.0");
}

TEST_F(AddressMapping, MessageIdInGatewayForm) {
  add_fido_domain(3, 3, "#d.example");
  MessageHeader& h = *message_work.header;
  h.msgid_ref.id_text = "77@f1.n2.z3.d.example";
  map_import_addresses(false);
  EXPECT_TRUE(h.msgid_ref.gateway_form);
  EXPECT_EQ(address_text(h.msgid_ref.address), "3:2/1.0");
  EXPECT_EQ(h.msgid_ref.serial, 77u);

  // The serial is taken modulo 2^32.
  h.msgid_ref.id_text = "4294967373@f1.n2.z3.fidonet.org";
  map_import_addresses(false);
  EXPECT_TRUE(h.msgid_ref.gateway_form);
  EXPECT_EQ(h.msgid_ref.serial, 77u);

  for (const char* id :
       {"x77@f1.n2.z3.d.example", "77@f1.n2.z3.other.example", "77", "77@f1.n2.z3"}) {
    h.msgid_ref.id_text = id;
    h.msgid_ref.gateway_form = true;
    map_import_addresses(false);
    EXPECT_FALSE(h.msgid_ref.gateway_form) << id;
  }
}

TEST_F(AddressMapping, ReplyToAGatewayUserIsPersonalUnlessListTraffic) {
  add_address_map({2, 345, 1, 0}, "gate@example.org");
  add_address_map({2, 345, 12, 0}, "x@example.org");
  add_address_map({2, 345, 12, 0}, "sysop@example.org", "", "Sysop Name");
  MessageHeader& h = *message_work.header;
  h.reply_ref.id_text = "1234@f12.n345.z2.fidonet.org";
  h.to_name = "All";
  EXPECT_FALSE(map_import_addresses(true));
  EXPECT_TRUE(h.reply_ref.gateway_form);
  EXPECT_EQ(h.to_name.view(), "All");
  EXPECT_TRUE(map_import_addresses(false));
  EXPECT_EQ(h.to_name.view(), "Sysop Name");

  h.reply_ref.id_text = "1234@f13.n345.z2.fidonet.org";
  h.to_name = "All";
  EXPECT_FALSE(map_import_addresses(false));
  EXPECT_EQ(h.to_name.view(), "All");
}

TEST_F(AddressMapping, MsgidAndReplyKludgesAreReadIntoReferences) {
  MessageRef msgid, reply;
  msgid.id_text = "stale";
  prepare_message_refs(msgid, reply, {2, 345, 12, 3});
  EXPECT_EQ(address_text(msgid.address), "2:345/12.3");
  EXPECT_EQ(address_text(reply.address), "0:0/0.0");
  EXPECT_TRUE(msgid.id_text.empty());

  read_message_ref(" 2:345/12 0000004D", msgid);
  EXPECT_EQ(address_text(msgid.address), "2:345/12.3");
  EXPECT_EQ(msgid.serial, 0x4Du);

  read_message_ref("1:2/3.4 deadBEEF", reply);
  EXPECT_EQ(address_text(reply.address), "1:2/3.4");
  EXPECT_EQ(reply.serial, 0xDEADBEEFu);
  EXPECT_TRUE(reply.id_text.empty());

  MessageRef internet;
  read_message_ref("<abc@host.example> 1a2b", internet);
  EXPECT_EQ(internet.id_text.view(), "<abc@host.example>");
  EXPECT_EQ(internet.serial, 0x1A2Bu);

  MessageRef odd;
  read_message_ref("2:345/1 xyz", odd);
  EXPECT_EQ(odd.serial, crc32("xyz", 3));
  read_message_ref("2:345/1 \t  ff", odd);
  EXPECT_EQ(odd.serial, 0xFFu);
  read_message_ref("user@host:x 12", odd);  // a colon: read as an FTN address
  EXPECT_TRUE(odd.id_text.empty());
}

TEST_F(AddressMapping, WriteMessageIdFormsOfTheZoneDomain) {
  add_fido_domain(3, 3, "plain.example");
  add_fido_domain(4, 4, "gate@mail.example");
  add_fido_domain(5, 5, "#d.example");
  std::string out;
  append_message_id(out, "", 0x1A2B3C4D, {2, 345, 12, 0});
  EXPECT_EQ(out, "<439041101@f12.n345.z2.fidonet.org>\n");
  out.clear();
  append_message_id(out, "", 77, {5, 345, 12, 3});
  EXPECT_EQ(out, "<77@p3.f12.n345.z5.d.example>\n");
  out.clear();
  append_message_id(out, "", 77, {3, 1, 2, 3});
  EXPECT_EQ(out, "<77@plain.example>\n");
  out.clear();
  append_message_id(out, "", 77, {4, 1, 2, 0});
  EXPECT_EQ(out, "<77@gate@mail.example>\n");
  out.clear();
  append_message_id(out, "<abc@host>", 77, {2, 1, 2, 0});
  EXPECT_EQ(out, "<abc@host>\n");
  out.clear();
  append_message_id(out, "abc@host", 77, {2, 1, 2, 0});
  EXPECT_EQ(out, "<abc@host>\n");
}

TEST_F(AddressMapping, SenderToInternetByMapNameOrGatewayForm) {
  add_address_map({2, 345, 1, 0}, "gate@example.org", "replies@example.org");
  add_address_map({2, 345, 12, 0}, "bob@example.org", "bob-replies@example.org");
  add_address_map({2, 345, 99, 0}, "", "", "Carol Singer");
  add_address_map({2, 345, 98, 0}, "carol@example.org", "", "Carol Singer");
  Text<128> sender, reply;

  map_sender_to_internet({2, 345, 12, 0}, "Whoever", sender, reply);
  EXPECT_EQ(sender.view(), "bob@example.org");
  EXPECT_EQ(reply.view(), "bob-replies@example.org");

  // The first entry by name has no Internet address: the default stays.
  reply.clear();
  map_sender_to_internet({2, 345, 50, 0}, "carol singer", sender, reply);
  EXPECT_EQ(sender.view(), "gate@example.org");
  EXPECT_EQ(reply.view(), "");

  map_sender_to_internet({2, 345, 50, 0}, "John Smith", sender, reply);
  EXPECT_EQ(sender.view(), "gate@example.org");

  settings->MapFidoOrg = true;
  map_sender_to_internet({2, 345, 50, 3}, "John Smith", sender, reply);
  EXPECT_EQ(sender.view(), "John.Smith@p3.f50.n345.z2.fidonet.org");
  add_fido_domain(1, 1, "plain.example");
  add_fido_domain(3, 3, "one@mail.example");
  map_sender_to_internet({1, 2, 3, 0}, "John Smith", sender, reply);
  EXPECT_EQ(sender.view(), "John.Smith@plain.example");
  map_sender_to_internet({3, 2, 3, 0}, "John Smith", sender, reply);
  EXPECT_EQ(sender.view(), "one@mail.example");
  EXPECT_EQ(reply.view(), "");
}

}  // namespace
}  // namespace quillmar
