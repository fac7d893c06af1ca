// The set-up shared by the in-process export tests: the gateway 2:345/6 and
// its first user, reply files in a scratch directory, a pinned clock, and
// the export of test messages as one packet.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/run_options.hpp"
#include "export/export_files.hpp"
#include "export/export_state.hpp"
#include "export/packet_reader.hpp"
#include "fido/fido_state.hpp"
#include "soup/reply.hpp"
#include "test_support.hpp"

namespace quillmar::test {

using quillmar::testing::build_packet;
using quillmar::testing::ScratchDir;
using quillmar::testing::TestMessage;

constexpr FtnAddress kNode1{2, 345, 1, 0};
constexpr FtnAddress kGateway{2, 345, 6, 0};

class ExportFixture : public FidoTest {
 protected:
  ScratchDir dir;
  std::string err;

  void SetUp() override {
    FidoTest::SetUp();
    allocate_export_work();
    run_options = RunOptions{};
    Settings& s = *settings;
    s.FidoAddr = kGateway;
    add_address_map(FtnAddress{2, 345, 6, 1}, "sysop@example.org", "", "Joe Sysop");
    s.SoupDir = dir.path() + "/";
    s.TempDir = dir.path() + "/";
    s.TimeZone = "+0100";
    s.EmailArea = "NETMAIL";
    s.OwnOrgArea = "ARCHIVES";
    s.JunkArea = "JUNKMAIL";
    reset_reply_files();
  }
  void TearDown() override {
    reset_reply_files();
    release_export_work();
    FidoTest::TearDown();
  }

  // Exports the messages as one packet for `target`; the mail and news
  // messages written, each kind in order.
  struct Written {
    std::vector<std::string> mail;
    std::vector<std::string> news;
    int result = -1;
  };
  Written export_messages(const std::vector<TestMessage>& messages,
                          ExportTarget target = ExportTarget::gateway, bool allow = true) {
    std::string path = dir.write("IN.PKT", build_packet(kNode1, kGateway, messages));
    flush_reply_file(kReplyMail);
    flush_reply_file(kReplyNews);
    std::string mail_file(reply_file_name(kReplyMail));
    std::string news_file(reply_file_name(kReplyNews));
    export_state.target = target;
    platform::File in;
    EXPECT_TRUE(in.open(path, platform::OpenMode::read));
    Written w;
    ::testing::internal::CaptureStderr();
    w.result = export_packet(in, allow);
    err = ::testing::internal::GetCapturedStderr();
    w.mail = testing::reply_messages(testing::read_file(mail_file));
    w.news = testing::reply_messages(testing::read_file(news_file));
    return w;
  }

  std::string one_mail(const TestMessage& m, ExportTarget target = ExportTarget::gateway) {
    Written w = export_messages({m}, target);
    EXPECT_EQ(w.mail.size(), 1u);
    return w.mail.empty() ? std::string() : w.mail[0];
  }
};

}  // namespace quillmar::test
