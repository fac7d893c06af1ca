// quillmar-soup deliver hands sendmail (which takes the recipients from the
// header) only mail whose every recipient is an Internet address; any
// other mail is refused and set aside with the reason.
#include <gtest/gtest.h>

#include "soupside/soupside_messages.hpp"
#include "test_support.hpp"

namespace quillmar::testing {
namespace {

TEST(SoupSideMail, DeliverRefusesRecipientsThatAreNoAddresses) {
  ScratchDir dir;
  std::string good = mail("good", "Ann <ann@example.net>,\n    bob@example.com (Bob)");
  std::string name = mail("name", "J\xc3\xbcrgen M\xc3\xbcller");
  std::string copy = "Cc: joe\n" + mail("copy");
  std::string folded = mail("folded", "ann@example.net,\n    Joe Sysop");
  std::string nobody = mail("nobody", "");
  dir.write("soup/mail0000.MSG", framed_message(good) + framed_message(name) +
                                     framed_message(copy) + framed_message(folded) +
                                     framed_message(nobody));
  dir.write("soup/REPLIES", "mail0000\tmail\tbn\n");
  dir.write("q.cfg", minimal_config(dir) + "SoupSendmail /bin/sh -c \"cat >>'" + dir.path() +
                         "/sent.txt'\"\n");
  RunResult r = run_soup(dir.path(), {"deliver", "/C=./q.cfg"});
  EXPECT_EQ(read_file(dir / "sent.txt"), good);
  const std::string file = dir.path() + "/soup/mail0000.MSG";
  for (const std::string& reason :
       {"mail 2 of " + file +
            " refused: its recipient \"J\xc3\xbcrgen M\xc3\xbcller\" is not an "
            "Internet address; set aside as " +
            dir.path() + "/soup/00000000.REF",
        "mail 3 of " + file + " refused: its recipient \"joe\" is not an Internet address",
        "mail 4 of " + file + " refused: its recipient \"Joe Sysop\" is not an Internet address",
        "mail 5 of " + file + " refused: it names no recipient"}) {
    EXPECT_NE(r.err.find("! " + reason), std::string::npos) << r.err;
  }
  EXPECT_EQ(read_file(dir / "soup/00000000.REF"), name);
  EXPECT_EQ(read_file(dir / "soup/00000003.REF"), nobody);
  EXPECT_FALSE(exists(dir / "soup/mail0000.MSG"));
}

}  // namespace
}  // namespace quillmar::testing
