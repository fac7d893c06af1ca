// The one test of what an Internet mail address is, and the addresses of a
// recipient list.
#include "rfc/internet_address.hpp"

#include <gtest/gtest.h>

namespace quillmar {
namespace {

TEST(InternetAddress, AddrSpecsAreAddressesNamesAreNot) {
  for (const char* a : {"joe@example.org", "j.o+e@sub.example.org", "\"joe smith\"@example.org",
                        "root@localhost", "x@[192.0.2.1]", "a-b@x-y.example"}) {
    EXPECT_TRUE(is_internet_address(a)) << a;
  }
  for (const char* a : {"", "Joe Sysop", "J\xc3\xbcrgen M\xc3\xbcller", "joe", "@example.org",
                        "joe@", "joe@exa mple.org", "joe..x@example.org", ".joe@example.org",
                        "joe@-example.org", "joe@example..org", "j\xc3\xbc@example.org",
                        "<joe@example.org>", "joe@example.org (Joe)", "UUCP"}) {
    EXPECT_FALSE(is_internet_address(a)) << a;
  }
}

TEST(InternetAddress, RecipientListsGiveTheirAddresses) {
  using List = std::vector<std::string>;
  EXPECT_EQ(recipient_addresses("Ann <ann@x.org>, bob@y.org (Bob, the builder)"),
            (List{"ann@x.org", "bob@y.org"}));
  EXPECT_EQ(recipient_addresses("\"Smith, John\" <js@x.org>,, "), (List{"js@x.org"}));
  EXPECT_EQ(recipient_addresses("friends: a@x.org, b@x.org;, c@x.org"),
            (List{"a@x.org", "b@x.org", "c@x.org"}));
  EXPECT_EQ(recipient_addresses("undisclosed-recipients:;"), List{});
  EXPECT_EQ(recipient_addresses("John Smith, a@x.org"), (List{"John Smith", "a@x.org"}));
}

TEST(InternetAddress, MailRecipientProblems) {
  EXPECT_EQ(mail_recipient_problem("To: a@x.org,\n  b@y.org\nCc: c@z.org\n\nTo: body\n"), "");
  EXPECT_EQ(mail_recipient_problem("Subject: x\nTo: a@x.org\nBcc: joe\n\n"),
            "its recipient \"joe\" is not an Internet address");
  EXPECT_EQ(mail_recipient_problem("Subject: x\n\nTo: a@x.org\n"), "it names no recipient");
  EXPECT_EQ(mail_recipient_problem("To: \x1b[2Jx\n\n"),
            "its recipient \"?[2Jx\" is not an Internet address");
}

}  // namespace
}  // namespace quillmar
