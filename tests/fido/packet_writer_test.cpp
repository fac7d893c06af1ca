#include "fido/packet_writer.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "base/text_helpers.hpp"
#include "fido/fido_state.hpp"
#include "fido/message_writer.hpp"

namespace quillmar {
namespace {

using test::add_address_map;
using test::FidoTest;

std::string le16(uint16_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The packed message header: type, nodes, nets, attribute, cost.
std::string packed(uint16_t onode, uint16_t dnode, uint16_t onet, uint16_t dnet, uint16_t attr) {
  return le16(2) + le16(onode) + le16(dnode) + le16(onet) + le16(dnet) + le16(attr) + le16(0);
}

std::string z(const std::string& text) {
  return text + std::string(1, '\0');
}

class PacketWriter : public FidoTest {
 protected:
  void SetUp() override {
    FidoTest::SetUp();
    dir_ = std::filesystem::temp_directory_path() /
           ("quillmar_pkt_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    settings->FidoAddr = {2, 345, 6, 0};
    add_address_map({2, 345, 1, 0}, "gate@example.org");
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    FidoTest::TearDown();
  }

  // Opens a new packet file and writes its header.
  void open_packet() {
    packet_.name = (dir_ / "0000ABCD.PKT").string();
    ASSERT_TRUE(
        packet_.file.open(packet_.name, platform::OpenMode::write, platform::Share::deny_write));
    write_packet_header(packet_);
  }
  std::string finish_packet() {
    close_packet(packet_);
    return read_file(packet_.name.c_str());
  }

  // Writes one whole message of the record's fields with `body` as text.
  std::string message_bytes(int kind, const std::string& body, std::string_view attach = "",
                            int junk = 0, bool own_org = false) {
    std::filesystem::path path = dir_ / "message.bin";
    platform::File file;
    EXPECT_TRUE(file.open(path.string(), platform::OpenMode::write));
    write_message_start(kind, file, attach, junk, own_org);
    file.write(body);
    write_message_end(kind, file);
    file.close();
    return read_file(path);
  }

  std::filesystem::path dir_;
  OutPacket packet_;
};

// The header of a packet from 2:345/6 to 2:345/1 made on 9 March 1999 at
// 14:05:07 with the password given (at most 8 bytes, zero-padded).
std::string expected_header(const std::string& password) {
  std::string h;
  h += le16(6) + le16(1);
  h += le16(1999) + le16(2) + le16(9) + le16(14) + le16(5) + le16(7);
  h += le16(0) + le16(2) + le16(345) + le16(345);
  h += std::string{'\0', '\0'};
  h += password + std::string(8 - password.size(), '\0');
  h += le16(2) + le16(2) + le16(0);
  h += le16(0x0100);
  h += std::string{'\x01', '\0'};
  h += le16(0x0001);
  h += le16(2) + le16(2) + le16(0) + le16(0);
  h += std::string(4, '\0');
  return h;
}

TEST_F(PacketWriter, HeaderLayoutDateAndCapabilityWords) {
  settings->PacketPwd = "SECRET";
  open_packet();
  EXPECT_EQ(packet_.message_count, 0);
  std::string bytes = finish_packet();
  ASSERT_EQ(bytes.size(), 60u);
  EXPECT_EQ(bytes.substr(4, 12),
            std::string("\xCF\x07\x02\x00\x09\x00\x0E\x00\x05\x00\x07\x00", 12));
  EXPECT_EQ(bytes.substr(26, 8), std::string("SECRET\0\0", 8));
  EXPECT_EQ(bytes.substr(0, 58), expected_header("SECRET"));
  EXPECT_EQ(bytes.substr(58), std::string(2, '\0'));
}

TEST_F(PacketWriter, PasswordsOfNoneAndOfEightCharacters) {
  auto header = packet_header_bytes(platform::local_time(platform::now()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(header.data()), header.size()),
            expected_header(""));
  settings->PacketPwd = "ABCDEFGH";
  header = packet_header_bytes(platform::local_time(platform::now()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(header.data() + 26), 8), "ABCDEFGH");
  EXPECT_EQ(header[34], 2);  // the zone follows directly, no terminator
}

TEST_F(PacketWriter, PointsAndZonesOfBothEnds) {
  settings->FidoAddr = {3, 4000, 500, 7};
  settings->AddrMap[0].ftn_address = {5, 60, 70, 8};
  auto h = packet_header_bytes(platform::local_time(platform::now()));
  auto word = [&h](int offset) { return h[offset] | (h[offset + 1] << 8); };
  EXPECT_EQ(word(0), 500);
  EXPECT_EQ(word(2), 70);
  EXPECT_EQ(word(20), 4000);
  EXPECT_EQ(word(22), 60);
  EXPECT_EQ(word(34), 3);
  EXPECT_EQ(word(36), 5);
  EXPECT_EQ(word(46), 3);
  EXPECT_EQ(word(48), 5);
  EXPECT_EQ(word(50), 7);
  EXPECT_EQ(word(52), 8);
}

// A whole packet, byte for byte: one mail with points, identifiers and a
// character set, then part 2 of 3 of a news article that is junk and from
// the own organisation.
TEST_F(PacketWriter, WholePacketByteForByte) {
  settings->PacketPwd = "PWD";
  settings->JunkAction = FilterAction::junk;
  open_packet();

  MessageHeader& h = *message_work.header;
  h.category = kKindMail;
  h.area_tag = "NETMAIL";
  h.origin = {1, 100, 7, 2};
  h.destination = {2, 345, 1, 5};
  h.from_name = "Jane Doe";
  h.from_address = "Jane.Doe@p2.f7.n100.z1.fidonet.org";
  h.to_name = "Sysop";
  h.reply_to_address = "jane@example.com";
  h.subject = "Hello";
  h.date = {9, 2, 1999, 14, 5, 7};
  h.msgid_ref.id_text = "77@f1.n2.z3.fidonet.org";
  h.msgid_ref.address = {3, 2, 1, 0};
  h.msgid_ref.serial = 77;
  h.msgid_ref.gateway_form = true;
  h.reply_ref.id_text = "abc@host.example";
  h.chrs = "LATIN-1 2";
  h.organization = std::string(100, 'O');
  write_message_start(kKindMail, packet_.file, "", 0, false);
  packet_.file.write("Body line\r");
  write_message_end(kKindMail, packet_.file);

  h.category = kKindNews;
  h.area_tag = "COMP.LANG.C";
  h.origin = {2, 345, 6, 0};
  h.destination = {2, 345, 1, 0};
  h.routed = true;
  h.subject = std::string(70, 'S');
  h.part_number = 2;
  h.part_count = 3;
  h.to_name = "Junk Keeper";
  h.previous_to_name = "All";
  h.chrs.clear();
  write_message_start(kKindNews, packet_.file, "", kJunkSubject, true);
  packet_.file.write("[continued from previous message]\r\rText\r");
  write_message_end(kKindNews, packet_.file);

  std::string expected = expected_header("PWD");
  expected += packed(7, 1, 100, 345, 0x0001);
  expected += z("09 Mar 99  14:05:07");
  expected += z("Sysop") + z("Jane Doe") + z("Hello");
  expected +=
      "\x01INTL 2:345/1 1:100/7\r"
      "\x01"
      "FMPT 2\r"
      "\x01TOPT 5\r"
      "\x01REPLYADDR jane@example.com\r"
      "\x01REPLYTO 2:345/6.0 UUCP\r"
      "\x01MSGID: 3:2/1.0 0000004D\r";
  char reply[64];
  std::snprintf(reply, sizeof reply, "\x01REPLY: <abc@host.example> %08X\r",
                crc32("abc@host.example", 16));
  expected += reply;
  expected +=
      "\x01PID: Quillmar/W32 v1.04\r"
      "\x01"
      "CHRS: LATIN-1 2\r"
      "Body line\r"
      "\r--- Quillmar/W32 v1.04\r"
      " * Origin: " +
      std::string(58, 'O') +
      " (2:345/6)\r"
      "\x01Via 2:345/6 @19990309.140507 Quillmar/W32 v1.04\r";
  expected += std::string(1, '\0');

  expected += packed(6, 1, 345, 345, 0);
  expected += z("09 Mar 99  14:05:07");
  expected += z("Junk Keeper") + z("Jane Doe") + z(std::string(70, 'S') + " ");
  expected +=
      "AREA:COMP.LANG.C\r"
      "\x01INTL 2:345/1 2:345/6\r"
      "\x01PID: Quillmar/W32 v1.04\r"
      "\x01SPLIT: 09 Mar 99 14:05:07 @345/6       00000 02/03 +++++++++++\r"
      "\x01JUNKMAIL: subject\r"
      "\x01JUNKMAIL-TO: All\r"
      "\x01JUNKMAIL: OwnOrg\r"
      "[continued from previous message]\r\rText\r"
      "\r--- Quillmar/W32 v1.04\r"
      " * Origin: " +
      std::string(58, 'O') +
      " (2:345/6)\r"
      "SEEN-BY: 345/6\r"
      "\x01PATH: 345/6\r";
  expected += std::string(1, '\0');
  expected += std::string(2, '\0');

  std::string bytes = finish_packet();
  EXPECT_EQ(bytes, expected);
  // The origin line is at most 79 characters.
  std::size_t origin = bytes.find(" * Origin: ");
  ASSERT_NE(origin, std::string::npos);
  EXPECT_EQ(bytes.find('\r', origin) - origin, 79u);
}

TEST_F(PacketWriter, SplitLineOfTheExampleTime) {
  platform::set_fixed_clock(test::utc_time(1998, 12, 8, 5, 58, 7));
  MessageHeader& h = *message_work.header;
  h.area_tag = "NETMAIL";
  h.origin = {2, 345, 6, 0};
  h.part_number = 2;
  h.part_count = 3;
  std::string bytes = message_bytes(kKindMail, "");
  EXPECT_NE(bytes.find("\x01SPLIT: 08 Dec 98 05:58:07 @345/6       00000 02/03 +++++++++++\r"),
            std::string::npos);
  EXPECT_NE(bytes.find("@19981208.055807 "), std::string::npos);
  // Part 2 carries no identifiers.
  h.msgid_ref.id_text = "a@b";
  EXPECT_EQ(message_bytes(kKindMail, "").find("MSGID"), std::string::npos);
}

TEST_F(PacketWriter, AttachmentsMarkMailAndListMessagesButNotNews) {
  MessageHeader& h = *message_work.header;
  h.area_tag = "NETMAIL";
  h.subject = "Files for you";
  h.has_attachments = true;
  std::string mail = message_bytes(kKindMail, "", "FILE1.ZIP FILE2.TXT");
  EXPECT_EQ(mail.substr(10, 2), le16(0x0011));
  EXPECT_NE(mail.find(z("FILE1.ZIP FILE2.TXT") + "\x01INTL"), std::string::npos);

  h.area_tag = "LIST.AREA";
  std::string list = message_bytes(kKindList, "", "FILE1.ZIP");
  EXPECT_EQ(list.substr(10, 2), le16(0x0010));
  EXPECT_NE(list.find(z("FILE1.ZIP") + "AREA:LIST.AREA\r"), std::string::npos);

  h.area_tag = "NEWS.AREA";
  std::string news = message_bytes(kKindNews, "", "FILE1.ZIP");
  EXPECT_EQ(news.substr(10, 2), le16(0));
  EXPECT_NE(news.find(z("Files for you") + "AREA:NEWS.AREA\r"), std::string::npos);
}

TEST_F(PacketWriter, NamesSubjectsAndTheirCuts) {
  MessageHeader& h = *message_work.header;
  h.area_tag = "NETMAIL";
  h.to_name = std::string(40, 'T');
  h.from_name = std::string(40, 'F');
  h.subject = std::string(100, 'S');
  h.part_count = 12;
  h.part_number = 10;
  std::string bytes = message_bytes(kKindMail, "");
  std::string fields = z(std::string(35, 'T')) + z(std::string(35, 'F')) + z(std::string(71, 'S'));
  EXPECT_EQ(bytes.substr(34, fields.size()), fields);

  h.subject = "Short";
  bytes = message_bytes(kKindMail, "");
  EXPECT_NE(bytes.find(z("Short (10/12)")), std::string::npos);

  h.subject = std::string(65, 's');
  bytes = message_bytes(kKindMail, "");
  EXPECT_NE(bytes.find(z(std::string(65, 's') + " (10/1")), std::string::npos);

  settings->header_form = HeaderForm::email;
  h.to_address = "to@example.org";
  h.from_address = "from@example.org";
  bytes = message_bytes(kKindMail, "");
  EXPECT_EQ(bytes.substr(34, 32), z("to@example.org") + z("from@example.org"));
}

TEST_F(PacketWriter, DateFieldOfTheParsedDate) {
  MessageHeader& h = *message_work.header;
  h.area_tag = "NETMAIL";
  EXPECT_EQ(message_bytes(kKindMail, "").substr(14, 20), z("01 Jan 70  00:00:00"));
  h.date = {28, 5, 2005, 22, 54, 15};
  EXPECT_EQ(message_bytes(kKindMail, "").substr(14, 20), z("28 Jun 05  22:54:15"));
}

TEST_F(PacketWriter, StrictIdentifiersCarryTheGatewayAddress) {
  settings->StrictFidoMsgID = true;
  MessageHeader& h = *message_work.header;
  h.area_tag = "NETMAIL";
  h.msgid_ref.id_text = "1234@host.example";
  h.reply_ref.id_text = "77@f1.n2.z3.fidonet.org";
  h.reply_ref.gateway_form = true;
  h.reply_ref.address = {3, 2, 1, 0};
  h.reply_ref.serial = 77;
  std::string bytes = message_bytes(kKindMail, "");
  char msgid[64];
  std::snprintf(msgid, sizeof msgid, "\x01MSGID: 2:345/6.0 %08X\r", crc32("1234@host.example", 17));
  EXPECT_NE(bytes.find(msgid), std::string::npos);
  EXPECT_NE(bytes.find("\x01REPLY: 3:2/1.0 0000004D\r"), std::string::npos);
  EXPECT_EQ(h.msgid_ref.serial, crc32("1234@host.example", 17));
}

TEST_F(PacketWriter, KillOriginAndTheOriginText) {
  MessageHeader& h = *message_work.header;
  h.area_tag = "NETMAIL";
  h.from_address = "jane@example.com";
  EXPECT_NE(message_bytes(kKindMail, "").find(" * Origin: jane@example.com (2:345/6)\r"),
            std::string::npos);
  h.organization = "The Org";
  EXPECT_NE(message_bytes(kKindMail, "").find(" * Origin: The Org (2:345/6)\r"), std::string::npos);
  settings->Origin = "Configured origin";
  settings->FidoAddr.point = 9;
  EXPECT_NE(message_bytes(kKindMail, "").find(" * Origin: Configured origin (2:345/6.9)\r"),
            std::string::npos);

  settings->kill_origin = KillOrigin::email;
  EXPECT_EQ(message_bytes(kKindMail, "").find("---"), std::string::npos);
  h.area_tag = "LIST";
  std::string list = message_bytes(kKindList, "");
  EXPECT_NE(list.find("\r--- Quillmar/W32 v1.04\r * Origin: "), std::string::npos);
  EXPECT_NE(list.find("SEEN-BY: 345/6\r\x01PATH: 345/6\r"), std::string::npos);
  EXPECT_EQ(list.substr(10, 2), le16(0));

  settings->kill_origin = KillOrigin::yes;
  std::string news = message_bytes(kKindNews, "Text\r");
  EXPECT_EQ(news.find("---"), std::string::npos);
  std::string tail = "Text\rSEEN-BY: 345/6\r\x01PATH: 345/6\r" + std::string(1, '\0');
  ASSERT_GE(news.size(), tail.size());
  EXPECT_EQ(news.substr(news.size() - tail.size()), tail);
}

TEST_F(PacketWriter, JunkReasonsAndOwnOrganisation) {
  MessageHeader& h = *message_work.header;
  h.area_tag = "JUNKMAIL";
  h.previous_to_name = "Original Name";
  const char* words[] = {"from", "subject", "body", "group", "from=to", "imp/exp"};
  for (int reason = 1; reason <= 6; ++reason) {
    std::string bytes = message_bytes(kKindMail, "", "", reason, false);
    EXPECT_NE(bytes.find(std::string("\x01JUNKMAIL: ") + words[reason - 1] + "\r"),
              std::string::npos);
    EXPECT_EQ(bytes.find("JUNKMAIL-TO"), std::string::npos);
  }
  settings->OwnOrgAction = FilterAction::junk;
  std::string bytes = message_bytes(kKindMail, "", "", 0, true);
  EXPECT_NE(bytes.find("\x01JUNKMAIL: OwnOrg\r\x01JUNKMAIL-TO: Original Name\r"),
            std::string::npos);
  EXPECT_EQ(junk_reason_word(0), nullptr);
  EXPECT_EQ(junk_reason_word(7), nullptr);
}

}  // namespace
}  // namespace quillmar
