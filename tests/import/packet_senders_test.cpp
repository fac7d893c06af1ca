// Packets and mail bundles attached to Internet mail reach the tosser's
// inbound under their names only from a PacketSender; everyone else's go
// to DecodeDir, or stay in the inbound under a name no tosser takes. Real
// binary, real files; crashmail tosses the inbound where it is installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "export/export_files.hpp"
#include "import/packet_reader.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

std::string base64(const std::string& data) {
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(data[i]) << 16;
    if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
    if (i + 2 < data.size()) v |= static_cast<unsigned char>(data[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < data.size() ? kAlphabet[v & 63] : '=';
    if (out.size() % 77 == 76) out += '\n';
  }
  return out + "\n";
}

// A packet of node 2:999/9 (no password) with a netmail for the sysop that
// claims to come from the gateway's own point.
std::string forged_packet(uint16_t node = 9) {
  TestMessage m;
  m.orig_net = 999;
  m.orig_node = node;
  m.dest_net = 345;
  m.dest_node = 6;
  m.to_name = "Joe Sysop";
  m.from_name = "Forged Sender";
  m.subject = "forged";
  m.text = "\x01INTL 2:345/6 2:999/9\r\x01TOPT 1\rForged netmail.\r";
  return build_packet(FtnAddress{2, 999, node, 0}, FtnAddress{2, 345, 6, 0}, {m});
}

// A mail from `from` (or a news article) with the file `name` attached.
std::string mail_with_file(const std::string& from, const std::string& name,
                           const std::string& data) {
  return "From: " + from +
         "\nTo: sysop@example.org\nSubject: a file\nMIME-Version: 1.0\n"
         "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\n"
         "See the file.\n--b\nContent-Type: application/octet-stream; name=\"" +
         name + "\"\nContent-Transfer-Encoding: base64\n\n" + base64(data) + "--b--\n";
}

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> out;
  if (!fs::is_directory(dir)) return out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

enum class Decode { apart, inbound };

struct PlacementCase {
  const char* name;
  bool packet_sender;  // the mail's sender is the configured PacketSender
  bool news;           // the file comes in a news article
  Decode decode;
  bool all;                  // DecodeDir ... ALL
  const char* file;          // the attached file's name
  const char* where;         // the directory it must be found in
  const char* stored_as;     // and its name there
  const char* log_line;      // the log's line about it (empty: none)
  uint16_t packet_node = 9;  // the packet's origin: 2:999/<this>
};

void PrintTo(const PlacementCase& c, std::ostream* os) {
  *os << c.name;
}

class PacketPlacement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(PacketPlacement, OnlyAPacketSenderReachesTheTosser) {
  const PlacementCase& c = GetParam();
  ScratchDir dir;
  dir.mkdir("decode");
  std::string config = minimal_config(dir) + "LogFile " + dir.path() + "/q.log\n" +
                       "PacketSender hub@example.net 2:999/9\nAttachNews decode\n";
  if (c.decode == Decode::apart) {
    config += "DecodeDir " + dir.path() + "/decode" + (c.all ? " ALL" : "") + "\n";
  } else {
    config += "DecodeDir " + dir.path() + "/in" + (c.all ? " ALL" : "") + "\n";
  }
  dir.write("q.cfg", config);
  std::string from = c.packet_sender ? "Hub <hub@example.net>" : "Evil <evil@example.com>";
  std::string message = mail_with_file(from, c.file, forged_packet(c.packet_node));
  if (c.news) {
    message = "Newsgroups: comp.test\n" + message;
    dir.write("soup/AREAS", "NEWS\tcomp.test\tBn\n");
    dir.write("soup/NEWS.MSG", framed_message(message));
  } else {
    dir.write("soup/AREAS", "MAIL\tEmail\tbn\n");
    dir.write("soup/MAIL.MSG", framed_message(message));
  }
  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string stored = dir / (std::string(c.where) + "/" + c.stored_as);
  ASSERT_TRUE(exists(stored)) << r.err << "in: " << ::testing::PrintToString(names_in(dir / "in"))
                              << " decode: " << ::testing::PrintToString(names_in(dir / "decode"));
  EXPECT_EQ(read_file(stored), forged_packet(c.packet_node));
  // Nothing else of the file is anywhere: in the inbound only the
  // gateway's own packet and the file where it belongs.
  for (const std::string& n : names_in(dir / "in")) {
    if (n == "00000000.PKT") continue;
    EXPECT_EQ("in/" + n, std::string(c.where) + "/" + c.stored_as);
  }
  std::string log = read_file(dir / "q.log");
  std::string line = c.log_line;
  if (line.empty()) {
    EXPECT_EQ(log.find("PacketSender"), std::string::npos) << log;
  } else {
    std::size_t at = line.find("DIR/");
    if (at != std::string::npos) line.replace(at, 3, dir.path());
    EXPECT_NE(log.find(line + "\n"), std::string::npos) << log;
    EXPECT_NE(r.err.find(line + "\n"), std::string::npos) << r.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PacketPlacement,
    ::testing::Values(
        PlacementCase{"StrangerToDecodeDir", false, false, Decode::apart, false, "1B6EAC00.PKT",
                      "decode", "1B6EAC00.PKT",
                      "* 1B6EAC00.PKT: evil@example.com is no PacketSender\n"
                      "  so it goes to DecodeDir as DIR/decode/1B6EAC00.PKT, not to the tosser"},
        PlacementCase{"StrangerToDecodeDirWithAll", false, false, Decode::apart, true,
                      "00FA0012.MO0", "decode", "00FA0012.MO0",
                      "* 00FA0012.MO0: evil@example.com is no PacketSender\n"
                      "  so it goes to DecodeDir as DIR/decode/00FA0012.MO0, not to the tosser"},
        PlacementCase{"StrangerRenamedInTheInbound", false, false, Decode::inbound, false,
                      "1b6eac00.pkt", "in", "1b6eac00.pkt.UNTRUSTED",
                      "* 1b6eac00.pkt: evil@example.com is no PacketSender\n"
                      "  so it stays in the inbound as DIR/in/1b6eac00.pkt.UNTRUSTED, a name no "
                      "tosser takes"},
        PlacementCase{"StrangerRenamedInTheInboundWithAll", false, false, Decode::inbound, true,
                      "00FA0012.TUZ", "in", "00FA0012.TUZ.UNTRUSTED",
                      "* 00FA0012.TUZ: evil@example.com is no PacketSender\n"
                      "  so it stays in the inbound as DIR/in/00FA0012.TUZ.UNTRUSTED, a name no "
                      "tosser takes"},
        PlacementCase{"StrangersTicketToDecodeDir", false, false, Decode::apart, false, "HATCH.TIC",
                      "decode", "HATCH.TIC",
                      "* HATCH.TIC: evil@example.com is no PacketSender\n"
                      "  so it goes to DecodeDir as DIR/decode/HATCH.TIC, not to the tosser"},
        PlacementCase{"NewsNeverBringsPackets", true, true, Decode::inbound, false, "1B6EAC00.PKT",
                      "in", "1B6EAC00.PKT.UNTRUSTED",
                      "* 1B6EAC00.PKT: it came in a news article\n"
                      "  so it stays in the inbound as DIR/in/1B6EAC00.PKT.UNTRUSTED, a name no "
                      "tosser takes"},
        PlacementCase{"SenderToTheInbound", true, false, Decode::apart, false, "1B6EAC00.PKT", "in",
                      "1B6EAC00.PKT",
                      "* 1B6EAC00.PKT: from hub@example.net, the PacketSender of 2:999/9\n"
                      "  so it is put into the inbound as DIR/in/1B6EAC00.PKT"},
        PlacementCase{"SenderToTheInboundWithAll", true, false, Decode::apart, true, "00FA0012.MO0",
                      "in", "00FA0012.MO0",
                      "* 00FA0012.MO0: from hub@example.net, the PacketSender of 2:999/9\n"
                      "  so it is put into the inbound as DIR/in/00FA0012.MO0"},
        PlacementCase{"SendersPacketOfAnotherNode", true, false, Decode::apart, false,
                      "1B6EAC00.PKT", "decode", "1B6EAC00.PKT",
                      "* 1B6EAC00.PKT: hub@example.net is the PacketSender of 2:999/9, but the "
                      "packet comes from 2:999/8\n"
                      "  so it goes to DecodeDir as DIR/decode/1B6EAC00.PKT, not to the tosser",
                      8},
        PlacementCase{"SendersPacketOfAnotherNodeRenamed", true, false, Decode::inbound, false,
                      "1B6EAC00.PKT", "in", "1B6EAC00.PKT.UNTRUSTED",
                      "* 1B6EAC00.PKT: hub@example.net is the PacketSender of 2:999/9, but the "
                      "packet comes from 2:999/8\n"
                      "  so it stays in the inbound as DIR/in/1B6EAC00.PKT.UNTRUSTED, a name no "
                      "tosser takes",
                      8},
        PlacementCase{"SenderWithoutDecodeDir", true, false, Decode::inbound, false, "1B6EAC00.PKT",
                      "in", "1B6EAC00.PKT",
                      "* 1B6EAC00.PKT: from hub@example.net, the PacketSender of 2:999/9\n"
                      "  so it is put into the inbound as DIR/in/1B6EAC00.PKT"},
        PlacementCase{"OtherFilesAsBefore", false, false, Decode::inbound, false, "notes.pdf", "in",
                      "notes.pdf", ""}),
    [](const ::testing::TestParamInfo<PlacementCase>& info) { return info.param.name; });

// Writes the settings of a crashmail that tosses `inbound` into *.MSG
// directories below `cm`.
void write_crashmail_prefs(const ScratchDir& dir, const std::string& inbound) {
  for (const char* d : {"cm", "cm/out", "cm/tmp", "cm/pkt", "cm/msg"}) dir.mkdir(d);
  std::string cm = dir / "cm";
  dir.write("cm/crashmail.prefs",
            "SYSOP \"Test\"\nLOGFILE \"" + cm + "/log\"\nLOGLEVEL 6\nDEFAULTZONE 2\nINBOUND \"" +
                inbound + "\"\nOUTBOUND \"" + cm + "/out\"\nTEMPDIR \"" + cm +
                "/tmp\"\nCREATEPKTDIR \"" + cm + "/tmp\"\nPACKETDIR \"" + cm +
                "/pkt\"\nSTATSFILE \"" + cm +
                "/stats\"\nAKA 2:345/6.1\nDOMAIN \"FidoNet\"\n"
                "NODE 2:345/6.0 \"\" \"\" AUTOADD\n"
                "NETMAIL \"NETMAIL\" 2:345/6.1 MSG \"" +
                cm + "/msg/NETMAIL\"\nAREA \"BAD\" 2:345/6.1 MSG \"" + cm +
                "/msg/BAD\"\nAREA \"DEFAULT\" 2:345/6.1 MSG \"" + cm + "/msg/%a\"\n");
}

// The texts of the netmail crashmail stored.
std::vector<std::string> stored_netmail(const std::string& dir) {
  std::vector<std::string> out;
  if (!fs::is_directory(dir)) return out;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() == ".msg") out.push_back(read_file(e.path().string()));
  }
  return out;
}

// The tosser itself is the judge: from a stranger it tosses only the
// gateway's own packet, from the PacketSender the attached packet too.
TEST(PacketSenders, CrashmailTossesOnlyThePacketSendersPacket) {
  if (!have_program("crashmail")) GTEST_SKIP() << "crashmail is not installed; test skipped";
  for (bool from_sender : {false, true}) {
    SCOPED_TRACE(from_sender ? "from the PacketSender" : "from a stranger");
    ScratchDir dir;
    dir.mkdir("decode");
    dir.write("q.cfg", minimal_config(dir) + "PacketSender hub@example.net 2:999/9\nDecodeDir " +
                           dir.path() + "/decode ALL\n");
    std::string from = from_sender ? "hub@example.net" : "evil@example.com";
    dir.write("soup/AREAS", "MAIL\tEmail\tbn\n");
    dir.write("soup/MAIL.MSG",
              framed_message(mail_with_file(from, "1B6EAC00.PKT", forged_packet())));
    RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    write_crashmail_prefs(dir, dir / "in");
    std::string cm = dir / "cm";
    std::string command =
        "cd '" + cm + "' && crashmail SETTINGS '" + cm + "/crashmail.prefs' TOSS >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string log = read_file(cm + "/log");
    std::vector<std::string> netmail = stored_netmail(cm + "/msg/NETMAIL");
    long forged = std::count_if(netmail.begin(), netmail.end(), [](const std::string& m) {
      return m.find("Forged netmail.") != std::string::npos;
    });
    EXPECT_EQ(netmail.size(), from_sender ? 2u : 1u) << log;
    EXPECT_EQ(forged, from_sender ? 1 : 0) << log;
    EXPECT_EQ(log.find("2:999/9") != std::string::npos, from_sender) << log;
    // The stranger's packet waits in DecodeDir, untouched by the tosser.
    EXPECT_EQ(exists(dir / "decode/1B6EAC00.PKT"), !from_sender);
  }
}

// The names a tosser or mailer takes are recognised whatever their case;
// names of other files are not.
TEST(PacketSenders, NamesATosserTakes) {
  ScratchDir dir;
  dir.mkdir("decode");
  dir.write("q.cfg",
            minimal_config(dir) + "DecodeDir " + dir.path() + "/decode\nAttachMail decode\n");
  const char* taken[] = {"x.pkt",        "00FA0012.MO0", "00fa0012.su9", "anything.FRz", "1234.OUT",
                         "01590006.hut", "01590006.CLO", "01590006.flo", "FILES.REQ",    "a.tic"};
  const char* other[] = {"00FA0012.MOX.txt", "report.pdf", "00FA0012.ZIP", "x.pk",
                         "00000000.ATT",     "MO0",        "x.SUM1"};
  std::string soup;
  for (const char* n : taken) soup += framed_message(mail_with_file("e@example.com", n, "data"));
  for (const char* n : other) soup += framed_message(mail_with_file("e@example.com", n, "data"));
  dir.write("soup/AREAS", "MAIL\tEmail\tbn\n");
  dir.write("soup/MAIL.MSG", soup);
  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* n : taken) EXPECT_TRUE(exists(dir / "decode/" + std::string(n))) << n;
  for (const char* n : other) EXPECT_TRUE(exists(dir / "in/" + std::string(n))) << n;
}

}  // namespace
}  // namespace quillmar::testing
