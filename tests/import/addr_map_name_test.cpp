// AddrMapToName: mail to an AddrMap entry's address whose To field names
// nobody reaches FidoNet addressed to the entry's FidoNet name. Real binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "import/packet_reader.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

struct ToNameCase {
  const char* name;
  const char* setting;  // the AddrMapToName line, or empty
  const char* to;       // the To field
  const char* fido_to;  // the FidoNet To name
};

void PrintTo(const ToNameCase& c, std::ostream* os) {
  *os << c.name;
}

class AddrMapToName : public ::testing::TestWithParam<ToNameCase> {};

TEST_P(AddrMapToName, NamesTheEntrysUserWhenTheMailNamesNobody) {
  const ToNameCase& c = GetParam();
  ScratchDir dir;
  dir.write("q.cfg",
            minimal_config(dir) + "AddrMap 2:345/6.2 ann@example.org Ann Point\n" + c.setting);
  dir.write("soup/AREAS", "MAIL\tEmail\tbn\n");
  dir.write("soup/MAIL.MSG", framed_message("From: bob@example.com\nTo: " + std::string(c.to) +
                                            "\nSubject: hi\n\nHello.\n"));
  RunResult r = run_quillmar(dir.path(), {"IMPORT", "/C=./q.cfg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  bool ok = false;
  std::vector<FidoMessage> m = read_packet(dir / "in/00000000.PKT", &ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].to, c.fido_to);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AddrMapToName,
    ::testing::Values(
        ToNameCase{"OffByDefault", "", "ann@example.org", "ann@example.org"},
        ToNameCase{"AddressOnly", "AddrMapToName Yes\n", "ann@example.org", "Ann Point"},
        ToNameCase{"AddressInOtherCase", "AddrMapToName Yes\n", "<ANN@example.org>", "Ann Point"},
        ToNameCase{"NameRepeatsTheAddress", "AddrMapToName Yes\n",
                   "\"ann@example.org\" <ann@example.org>", "Ann Point"},
        ToNameCase{"OwnNameKept", "AddrMapToName Yes\n", "Annie <ann@example.org>", "Annie"},
        ToNameCase{"FirstEntry", "AddrMapToName Yes\n", "sysop@example.org", "Joe Sysop"},
        ToNameCase{"OtherAddressKept", "AddrMapToName Yes\n", "someone@example.org",
                   "someone@example.org"},
        ToNameCase{"Switched off", "AddrMapToName No\n", "ann@example.org", "ann@example.org"}),
    [](const ::testing::TestParamInfo<ToNameCase>& info) {
      std::string n = info.param.name;
      n.erase(std::remove(n.begin(), n.end(), ' '), n.end());
      return n;
    });

}  // namespace
}  // namespace quillmar::testing
