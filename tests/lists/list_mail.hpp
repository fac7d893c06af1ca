// Shared set-up of the list command and distribution tests: a list file and
// its templates in a scratch directory, the SOUP reply packet beside them,
// the sender of the message being imported, and the reply messages read
// back.
#pragma once

#include <gtest/gtest.h>

#include <sys/resource.h>
#include "test_support.hpp"

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "base/run_options.hpp"
#include "fido/fido_state.hpp"
#include "import/import_state.hpp"
#include "lists/list_commands.hpp"
#include "lists/list_files.hpp"
#include "lists/test_files.hpp"
#include "soup/reply.hpp"

namespace quillmar::test {

using quillmar::testing::with_file_size_limit;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

// Every template names itself and shows every placeholder.
inline const char* const kTemplateNames[] = {
    "SubscribeInfo", "Welcome", "GoodBye", "PasswordInfo", "NewPassword", "ReadOnly", "BlackList"};

inline std::string list_top(const std::string& extra = "") {
  std::string top =
      "ListName Test list\n"
      "ListAddress test-list@example.org\n"
      "KeeperName Kim Keeper\n";
  for (const char* name : kTemplateNames) top += std::string(name) + " " + name + ".txt\n";
  return top + extra;
}

class ListMailTest : public FidoTest {
 protected:
  TempDir dir;
  std::string soup;
  std::string list_file;

  void SetUp() override {
    FidoTest::SetUp();
    run_options = RunOptions{};
    reset_lists();
    reset_reply_files();
    reset_admin_serial();
    import_state.file_counters = ImportCounters{};
    soup = dir.path + "/soup/";
    std::filesystem::create_directories(soup);
    settings->SoupDir = soup;
    list_file = dir / "TEST.CFG";
    for (const char* name : kTemplateNames) {
      write_file(dir / (std::string(name) + ".txt"),
                 std::string(name) +
                     " @YOURNAME@ <@YOURADDRESS@> pw=@PASSWORD@\n"
                     "@LISTNAME@ @LISTADDRESS@ @LISTAREA@ @KEEPERNAME@ @KEEPERADDRESS@\n");
    }
    ASSERT_TRUE(flush_reply_file(kReplyMail));
  }
  void TearDown() override {
    reset_lists();
    reset_reply_files();
    FidoTest::TearDown();
  }

  // Loads `text` as the list file; the list.
  ListRecord& load(const std::string& text) {
    write_file(list_file, text);
    reset_lists();
    read_list_config(list_file, 1, dir / "QUILLMAR.CFG", dir / "quillmar");
    EXPECT_EQ(lists().size(), 1u);
    return lists()[0];
  }

  // The sender and subject of the message being imported.
  void from(const std::string& address, const std::string& name, const std::string& subject,
            const std::string& message_id = "") {
    reset_message_header();
    message_header->from_address = address;
    message_header->from_name = name;
    message_header->subject = subject;
    message_header->msgid_ref.id_text = message_id;
  }

  // The messages of the current mail reply file.
  std::vector<std::string> replies() const {
    return quillmar::testing::framed_messages(read_file(std::string(reply_file_name(kReplyMail))));
  }

  // The body of the only reply written so far.
  std::string only_reply_body() const {
    std::vector<std::string> all = replies();
    EXPECT_EQ(all.size(), 1u);
    if (all.empty()) return "";
    std::size_t blank = all.back().find("\n\n");
    return blank == std::string::npos ? "" : all.back().substr(blank + 2);
  }

  // Member addresses in index order.
  static std::vector<std::string> members(ListRecord& list) {
    std::vector<std::string> out;
    for (MemberNode* head : list.chains) {
      for (MemberNode* n = head; n != nullptr; n = n->next) {
        UserRecord u;
        EXPECT_TRUE(read_user_record(list, *n, u));
        out.emplace_back(u.address.view());
      }
    }
    close_user_file(list);
    return out;
  }
};

// The body of a template reply to `address` with the test templates.
inline std::string template_body(const std::string& name, const std::string& your_name,
                                 const std::string& address, const std::string& password,
                                 const std::string& area = "[unknown]") {
  return name + " " + your_name + " <" + address + "> pw=" + password +
         "\nTest list test-list@example.org " + area + " Kim Keeper [unknown]\n";
}

// Checks every message of `file` (a SOUP reply file) with Python's email
// package; empty when all parse without defects, else the complaint.
inline std::string python_check(const TempDir& dir, const std::string& file) {
  std::string script = dir / "check.py";
  write_file(script, R"PY(
import email, email.policy, sys
data = open(sys.argv[1], 'rb').read()
pos = 0
while pos < len(data):
    n = int.from_bytes(data[pos:pos + 4], 'big')
    raw = data[pos + 4:pos + 4 + n]
    assert len(raw) == n
    pos += 4 + n
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    for part in msg.walk():
        assert not part.defects, (raw[:200], part.defects)
    for key in ('From', 'Subject', 'Date', 'Message-ID'):
        assert msg[key] is not None, (key, raw[:200])
    assert msg['Date'].datetime is not None
    assert msg['Message-ID'].startswith('<') and msg['Message-ID'].endswith('>')
    for key in ('To', 'Bcc', 'From'):
        if msg[key] is not None:
            for a in msg[key].addresses:
                assert '@' in a.addr_spec, (key, str(msg[key]))
print('ok')
)PY");
  std::string out = dir / "py.out";
  std::string command = "python3 '" + script + "' '" + file + "' > '" + out + "' 2>&1";
  int rc = std::system(command.c_str());
  std::string text = read_file(out);
  return rc == 0 && text == "ok\n" ? "" : text;
}

}  // namespace quillmar::test
