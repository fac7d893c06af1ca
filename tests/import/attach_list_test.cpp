// The subject of a FidoNet message that carries decoded files names each
// file once, under the name it has on disk, also when the message's parts
// have no names of their own (the parts of a bounce).
#include <gtest/gtest.h>

#include "import/packet_reader.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

TEST(AttachList, UnnamedPartsAreListedUnderTheirOwnNames) {
  for (const char* modern : {"No", "Yes"}) {
    SCOPED_TRACE(std::string("ModernMime ") + modern);
    ScratchDir dir;
    dir.write("q.cfg", minimal_config(dir) + "ModernMime " + modern + "\n");
    std::string part =
        "Content-Type: application/octet-stream\n"
        "Content-Transfer-Encoding: base64\n\nSGVsbG8K\n";
    dir.write("soup/AREAS", "MAIL\tEmail\tbn\n");
    dir.write("soup/MAIL.MSG",
              framed_message("From: MAILER-DAEMON@example.net\nTo: sysop@example.org\n"
                             "Subject: Undelivered Mail\nMIME-Version: 1.0\n"
                             "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\n"
                             "Content-Type: text/plain\n\nIt bounced.\n--b\n" +
                             part + "--b\n" + part + "--b--\n"));
    RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<FidoMessage> m = read_packet(dir / "in/00000000.PKT");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].subject, "00000000.ATT 00000001.ATT") << r.err;
    EXPECT_EQ(read_file(dir / "in/00000000.ATT"), "Hello\n");
    EXPECT_EQ(read_file(dir / "in/00000001.ATT"), "Hello\n");
  }
}

}  // namespace
}  // namespace quillmar::testing
