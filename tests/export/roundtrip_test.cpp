// A round trip through the gateway: an Internet mail imported into
// FidoNet, answered there, and the answer exported, refers to the original
// by its Message-ID; the FidoNet user's address comes back in gateway form.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "export/export_files.hpp"
#include "import/packet_reader.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

std::string framed(const std::string& text) {
  std::string out(4, '\0');
  uint32_t n = static_cast<uint32_t>(text.size());
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((n >> (24 - 8 * i)) & 0xFF);
  return out + text;
}

// The value of a kludge line ("\x01NAME: value\r", or with `separator` in
// place of ": ") in a FidoNet text.
std::string kludge(const std::string& text, const std::string& name,
                   const std::string& separator = ": ") {
  std::string lead = "\x01" + name + separator;
  std::size_t at = text.find(lead);
  if (at == std::string::npos) return "";
  at += lead.size();
  return text.substr(at, text.find('\r', at) - at);
}

TEST(RoundTrip, AReplyFromFidoNetRefersToTheInternetMessage) {
  ScratchDir dir;
  dir.write("q.cfg", minimal_config(dir) + "FidoDomain 1-6 #fidonet.example\n");
  dir.write("soup/AREAS", "MAIL\tEmail\tbn\n");
  dir.write("soup/MAIL.MSG", framed("From: Ann Other <ann@example.net>\nTo: sysop@example.org\n"
                                    "Subject: Question\nMessage-ID: <q1@example.net>\n\n"
                                    "Does the gateway work?\n"));
  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> packets;
  for (const auto& e : std::filesystem::directory_iterator(dir / "in")) {
    packets.push_back(e.path().string());
  }
  ASSERT_EQ(packets.size(), 1u);
  std::vector<FidoMessage> in = read_packet(packets[0]);
  ASSERT_EQ(in.size(), 1u);
  std::string msgid = kludge(in[0].text, "MSGID");
  ASSERT_EQ(msgid.rfind("<q1@example.net> ", 0), 0u) << msgid;
  EXPECT_EQ(kludge(in[0].text, "REPLYADDR", " "), "ann@example.net");

  // The sysop's answer, written by a FidoNet editor on the point 2:345/6.1,
  // goes back to the reply address.
  TestMessage answer;
  answer.orig_net = 345;
  answer.orig_node = 6;
  answer.from_name = "Joe Sysop";
  answer.to_name = "UUCP";
  answer.subject = "Re: Question";
  answer.text =
      "\x01"
      "FMPT 1\r\x01MSGID: 2:345/6.1 0000abcd\r\x01REPLY: " +
      msgid + "\rTo: " + kludge(in[0].text, "REPLYADDR", " ") + "\r\rIt does.\r";
  dir.write("out/01590006.OUT",
            build_packet(FtnAddress{2, 345, 6, 1}, FtnAddress{2, 345, 6, 0}, {answer}));
  r = run_quillmar(dir.path(), {"EXPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> out = reply_messages(read_file(dir / "soup/mail0000.MSG"));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].rfind("To: ann@example.net\n", 0), 0u) << out[0];
  EXPECT_NE(out[0].find("\nIn-Reply-To: <q1@example.net>\n"), std::string::npos) << out[0];
  EXPECT_NE(out[0].find("\nMessage-ID: <43981@p1.f6.n345.z2.fidonet.example>\n"), std::string::npos)
      << out[0];
  EXPECT_NE(out[0].find("\n\nIt does.\n"), std::string::npos) << out[0];
}

}  // namespace
}  // namespace quillmar::testing
