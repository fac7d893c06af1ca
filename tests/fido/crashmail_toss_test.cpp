// Packets of the gateway tossed by a real tosser: crashmail reads the
// packet written here into *.MSG areas, and the stored messages must show
// the names, subjects and texts that were written, in the right areas.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fido/fido_state.hpp"
#include "fido/message_writer.hpp"
#include "fido/packet_writer.hpp"

namespace quillmar {
namespace {

namespace fs = std::filesystem;
using test::add_address_map;
using test::FidoTest;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a shell command; its exit status, or -1.
int run_command(const std::string& command) {
  int status = std::system(command.c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A message as crashmail stores it: the 190-byte header and the text.
struct StoredMessage {
  std::string from, to, subject, date, text;
};

std::string zfield(const std::string& bytes, std::size_t offset, std::size_t size) {
  std::string f = bytes.substr(offset, size);
  return f.substr(0, f.find('\0'));
}

std::vector<StoredMessage> read_area(const fs::path& dir) {
  std::vector<StoredMessage> messages;
  if (!fs::is_directory(dir)) return messages;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".msg") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    std::string bytes = read_file(file);
    if (bytes.size() < 190) continue;
    StoredMessage m;
    m.from = zfield(bytes, 0, 36);
    m.to = zfield(bytes, 36, 36);
    m.subject = zfield(bytes, 72, 72);
    m.date = zfield(bytes, 144, 20);
    m.text = bytes.substr(190);
    m.text = m.text.substr(0, m.text.find('\0'));
    messages.push_back(m);
  }
  return messages;
}

const StoredMessage* find_subject(const std::vector<StoredMessage>& area,
                                  const std::string& subject) {
  for (const StoredMessage& m : area) {
    if (m.subject == subject) return &m;
  }
  return nullptr;
}

class CrashmailToss : public FidoTest {
 protected:
  void SetUp() override {
    FidoTest::SetUp();
    if (run_command("command -v crashmail >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "crashmail is not installed (Debian package crashmail); the toss test "
                      "is skipped";
    }
    dir_ = fs::temp_directory_path() / ("quillmar_toss_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    for (const char* sub : {"in", "out", "tmp", "pkt", "msg"}) fs::create_directories(dir_ / sub);
    settings->FidoAddr = {2, 345, 6, 0};
    add_address_map({2, 345, 1, 0}, "gate@example.org");
    settings->PacketPwd = "QUILL";
  }
  void TearDown() override {
    if (!dir_.empty() && std::getenv("QUILLMAR_KEEP_TOSS") == nullptr) fs::remove_all(dir_);
    FidoTest::TearDown();
  }

  void write_prefs() {
    std::string d = dir_.string();
    std::ofstream prefs(dir_ / "crashmail.prefs");
    prefs << "SYSOP \"Test Sysop\"\n"
          << "LOGFILE \"" << d << "/crashmail.log\"\n"
          << "LOGLEVEL 6\n"
          << "DEFAULTZONE 2\n"
          << "IMPORTSEENBY\n"
          << "INBOUND \"" << d << "/in\"\n"
          << "OUTBOUND \"" << d << "/out\"\n"
          << "TEMPDIR \"" << d << "/tmp\"\n"
          << "CREATEPKTDIR \"" << d << "/tmp\"\n"
          << "PACKETDIR \"" << d << "/pkt\"\n"
          << "STATSFILE \"" << d << "/crashmail.stats\"\n"
          << "AKA 2:345/1.0\n"
          << "DOMAIN \"FidoNet\"\n"
          << "AKA 2:345/1.5\n"
          << "DOMAIN \"FidoNet\"\n"
          << "NODE 2:345/6.0 \"\" \"QUILL\" AUTOADD\n"
          << "NETMAIL \"NETMAIL\" 2:345/1.0 MSG \"" << d << "/msg/NETMAIL\"\n"
          << "AREA \"BAD\" 2:345/1.0 MSG \"" << d << "/msg/BAD\"\n"
          << "AREA \"DEFAULT\" 2:345/1.0 MSG \"" << d << "/msg/%a\"\n";
  }

  // Writes one whole message of the record's fields.
  void write_message(int kind, const std::string& body) {
    write_message_start(kind, packet_.file, message_work.header->attach_list,
                        message_work.header->junk_reason, message_work.header->own_org);
    packet_.file.write(body);
    write_message_end(kind, packet_.file);
    ++packet_.message_count;
  }

  void set_message(int kind, const char* area, FtnAddress from, FtnAddress to,
                   const char* from_name, const char* to_name, const char* subject) {
    reset_message_header();
    MessageHeader& h = *message_work.header;
    h.category = kind;
    h.area_tag = area;
    h.origin = from;
    h.destination = to;
    h.from_name = from_name;
    h.from_address = "sender@example.com";
    h.reply_to_address = "sender@example.com";
    h.to_name = to_name;
    h.subject = subject;
    h.date = {9, 2, 1999, 14, 5, 7};
  }

  fs::path dir_;
  OutPacket packet_;
};

TEST_F(CrashmailToss, NetmailAndEchomailArriveInTheirAreas) {
  packet_.name = (dir_ / "in" / "0000ABCD.PKT").string();
  ASSERT_TRUE(
      packet_.file.open(packet_.name, platform::OpenMode::write, platform::Share::deny_write));
  write_packet_header(packet_);

  // Netmail to the node, with identifiers and a character set.
  set_message(kKindMail, "NETMAIL", {2, 345, 6, 0}, {2, 345, 1, 0}, "Jane Doe", "Sysop",
              "Netmail to the node");
  message_work.header->msgid_ref.id_text = "1234@host.example";
  message_work.header->reply_ref.id_text = "77@f1.n2.z3.fidonet.org";
  message_work.header->reply_ref.gateway_form = true;
  message_work.header->reply_ref.address = {3, 2, 1, 0};
  message_work.header->reply_ref.serial = 77;
  message_work.header->chrs = "LATIN-1 2";
  write_message(kKindMail, "Hello Sysop,\r\rthis is netmail.\r");

  // Netmail from a point elsewhere to a point of the node (INTL, FMPT, TOPT).
  set_message(kKindMail, "NETMAIL", {1, 100, 7, 2}, {2, 345, 1, 5}, "Point Sender", "Point User",
              "Netmail between points");
  write_message(kKindMail, "From point to point.\r");

  // Echomail in two areas, one split in two parts.
  set_message(kKindNews, "COMP.LANG.C", {2, 345, 6, 0}, {2, 345, 1, 0}, "C Programmer", "All",
              "Pointers again");
  message_work.header->msgid_ref.id_text = "news1@host.example";
  write_message(kKindNews, "Echomail text.\r");

  set_message(kKindNews, "ALT.TEST", {2, 345, 6, 0}, {2, 345, 1, 0}, "Tester", "All",
              "Long article");
  message_work.header->part_count = 2;
  write_message_start(kKindNews, packet_.file, "", 0, false);
  packet_.file.write("First half.\r\r[continued in next message]\r");
  write_message_end(kKindNews, packet_.file);
  message_work.header->part_number = 2;
  write_message_start(kKindNews, packet_.file, "", 0, false);
  packet_.file.write("[continued from previous message]\r\rSecond half.\r");
  write_message_end(kKindNews, packet_.file);

  // A mailing-list message.
  set_message(kKindList, "LIST.AREA", {2, 345, 6, 0}, {2, 345, 1, 0}, "List Member", "All",
              "List posting");
  write_message(kKindList, "To the list.\r");
  close_packet(packet_);

  write_prefs();
  std::string command = "cd '" + dir_.string() + "' && crashmail SETTINGS '" +
                        (dir_ / "crashmail.prefs").string() + "' TOSS > '" +
                        (dir_ / "output.txt").string() + "' 2>&1";
  int status = run_command(command);
  std::string log = read_file(dir_ / "crashmail.log");
  std::string output = read_file(dir_ / "output.txt");
  ASSERT_EQ(status, 0) << output;

  // No error lines, no bad packet, nothing left in the inbound.
  std::string errors;
  for (std::size_t pos = 0; pos < log.size();) {
    std::size_t end = log.find('\n', pos);
    std::string line = log.substr(pos, end - pos);
    if (!line.empty() && line[0] == '!') errors += line + "\n";
    pos = end == std::string::npos ? log.size() : end + 1;
  }
  EXPECT_EQ(errors, "") << log;
  for (const auto& entry : fs::directory_iterator(dir_ / "in")) {
    ADD_FAILURE() << "left in the inbound: " << entry.path().filename() << "\n" << log;
  }
  EXPECT_TRUE(read_area(dir_ / "msg" / "BAD").empty()) << log;

  auto netmail = read_area(dir_ / "msg" / "NETMAIL");
  ASSERT_EQ(netmail.size(), 2u) << log << output;
  const StoredMessage* m = find_subject(netmail, "Netmail to the node");
  ASSERT_NE(m, nullptr) << log;
  EXPECT_EQ(m->from, "Jane Doe");
  EXPECT_EQ(m->to, "Sysop");
  EXPECT_EQ(m->date, "09 Mar 99  14:05:07");
  EXPECT_NE(m->text.find("Hello Sysop,\r\rthis is netmail.\r"), std::string::npos) << m->text;
  EXPECT_NE(m->text.find("\x01INTL 2:345/1 2:345/6\r"), std::string::npos) << m->text;
  EXPECT_NE(m->text.find("\x01MSGID: <1234@host.example> "), std::string::npos) << m->text;
  EXPECT_NE(m->text.find("\x01REPLY: 3:2/1.0 0000004D\r"), std::string::npos) << m->text;

  m = find_subject(netmail, "Netmail between points");
  ASSERT_NE(m, nullptr) << log;
  EXPECT_EQ(m->from, "Point Sender");
  EXPECT_EQ(m->to, "Point User");
  EXPECT_NE(m->text.find("From point to point.\r"), std::string::npos) << m->text;
  EXPECT_NE(m->text.find("\x01INTL 2:345/1 1:100/7\r"), std::string::npos) << m->text;
  EXPECT_NE(m->text.find("\x01"
                         "FMPT 2\r"),
            std::string::npos)
      << m->text;
  EXPECT_NE(m->text.find("\x01TOPT 5\r"), std::string::npos) << m->text;

  auto c_area = read_area(dir_ / "msg" / "COMP_LANG_C");
  ASSERT_EQ(c_area.size(), 1u) << log << output;
  EXPECT_EQ(c_area[0].from, "C Programmer");
  EXPECT_EQ(c_area[0].to, "All");
  EXPECT_EQ(c_area[0].subject, "Pointers again");
  EXPECT_NE(c_area[0].text.find("Echomail text.\r"), std::string::npos) << c_area[0].text;
  // The tosser merges its own address into the SEEN-BY and PATH lines it read.
  EXPECT_NE(c_area[0].text.find("\rSEEN-BY: 345/1 6\r\x01PATH: 345/6 1\r"), std::string::npos)
      << c_area[0].text;

  auto alt = read_area(dir_ / "msg" / "ALT_TEST");
  ASSERT_EQ(alt.size(), 2u) << log << output;
  const StoredMessage* first = find_subject(alt, "Long article (1/2)");
  const StoredMessage* second = find_subject(alt, "Long article (2/2)");
  ASSERT_NE(first, nullptr) << log;
  ASSERT_NE(second, nullptr) << log;
  EXPECT_NE(first->text.find("First half."), std::string::npos);
  EXPECT_NE(second->text.find("Second half."), std::string::npos);
  EXPECT_NE(second->text.find("\x01SPLIT: "), std::string::npos);

  auto list = read_area(dir_ / "msg" / "LIST_AREA");
  ASSERT_EQ(list.size(), 1u) << log << output;
  EXPECT_EQ(list[0].from, "List Member");
  EXPECT_EQ(list[0].subject, "List posting");
  EXPECT_NE(list[0].text.find("To the list.\r"), std::string::npos);
}

}  // namespace
}  // namespace quillmar
