// The cycle and a real mailer of another user: what the cycle's tosser
// writes into the mailer's outbound, binkd (running as another user that
// shares only the outbound's group) sends to an uplink binkd on the
// loopback and removes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "test_support.hpp"

namespace quillmar::testing {
namespace {

namespace fs = std::filesystem;

constexpr unsigned kGroup = 4242;   // the mailer's group
constexpr unsigned kMailer = 4243;  // the mailer's user, only in that group

// A TCP port of the loopback that nothing listens on just now.
int free_port() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(s);
  return port;
}

bool listening(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(s);
  return ok;
}

std::string binkd_config(const std::string& dir, const std::string& address,
                         const std::string& outbound, int port, const std::string& node) {
  return "log " + dir + "/binkd.log\nloglevel 6\ndomain fidonet " + outbound + " 2\naddress " +
         address +
         "@fidonet\nsysname \"test\"\nlocation \"loopback\"\nsysop \"Test\"\n"
         "nodeinfo 115200,TCP,BINKP\niport " +
         std::to_string(port) + "\noport " + std::to_string(port) + "\ninbound " + dir +
         "/in\ninbound-nonsecure " + dir + "/in\npid-file " + dir + "/binkd.pid\n" + node + "\n";
}

TEST(CycleWithMailer, BinkdOfAnotherUserSendsWhatTheCyclesTosserMade) {
  if (::geteuid() != 0) GTEST_SKIP() << "not root: the mailer cannot run as another user";
  for (const char* program : {"binkd", "crashwrite", "setpriv"}) {
    if (!have_program(program)) GTEST_SKIP() << program << " is not installed";
  }
  ScratchDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  fs::copy(QUILLMAR_SOURCE_DIR "/examples", dir.mkdir("work"), fs::copy_options::recursive);
  // The mailer's outbound: its group's, group-writable, set-group-ID.
  std::string outb = dir.mkdir("outb");
  ASSERT_EQ(::chown(outb.c_str(), 0, kGroup), 0);
  ASSERT_EQ(::chmod(outb.c_str(), 02775), 0);
  std::string node = dir.mkdir("node");
  std::string uplink = dir.mkdir("uplink");
  dir.mkdir("node/in");
  dir.mkdir("uplink/in");
  dir.mkdir("uplink/outb");
  dir.mkdir("packet");
  for (const std::string& d : {node, node + "/in"}) {
    ASSERT_EQ(::chown(d.c_str(), kMailer, kGroup), 0);
  }
  dir.write("text", "Netmail for the uplink\n");

  // The uplink, 2:345/1, answers on a port of the loopback.
  int port = free_port();
  ASSERT_NE(port, 0);
  dir.write("uplink/binkd.cfg", binkd_config(uplink, "2:345/1", uplink + "/outb", port,
                                             "node 2:345/6@fidonet - SESSIONPW"));
  ASSERT_EQ(std::system(("cd " + shell_quote(uplink) + " && (binkd -s " +
                         shell_quote(uplink + "/binkd.cfg") + " >stdout.txt 2>&1 &)")
                            .c_str()),
            0);
  for (int i = 0; i < 100 && !listening(port); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(listening(port)) << read_file(uplink + "/stdout.txt");

  // The cycle (as root, with cron's umask) whose tosser puts a netmail
  // packet for 2:345/1 into the outbound and names it in a flow file, as
  // crashmail does with a bundle (binkd opens a flow file to write in it).
  std::string toss = "crashwrite DIR " + dir.path() +
                     "/packet FROMNAME Sysop FROMADDR 2:345/6 TONAME Uplink TOADDR 2:345/1 "
                     "SUBJECT Hello TEXT " +
                     dir.path() + "/text PKTFROMADDR 2:345/6 PKTTOADDR 2:345/1 >/dev/null && mv " +
                     dir.path() + "/packet/*.pkt " + outb + "/1b2c3d4e.pkt && echo ^" + outb +
                     "/1b2c3d4e.pkt >" + outb + "/01590001.flo";
  std::string cycle =
      "cd " + shell_quote(dir.path()) +
      " && umask 022 && ASAN_OPTIONS=verify_asan_link_order=0 "
      "QUILLMAR_DEFAULTS=/nonexistent QUILLMAR=" +
      shell_quote(QUILLMAR_BINARY) + " QUILLMAR_DIR=" + shell_quote(dir / "work") +
      " QUILLMAR_CONFIG=./QUILLMAR.CFG SCAN_COMMAND= TOSS_COMMAND=" + shell_quote(toss) +
      " sh " QUILLMAR_SOURCE_DIR "/contrib/quillmar-cycle >cycle.txt 2>&1";
  EXPECT_EQ(std::system(cycle.c_str()), 0) << read_file(dir / "cycle.txt");
  ASSERT_TRUE(exists(outb + "/01590001.flo")) << read_file(dir / "work/quillmar.log");

  // The node's binkd, as a user that is only in the outbound's group,
  // calls the uplink once.
  dir.write("node/binkd.cfg",
            binkd_config(node, "2:345/6", outb, port,
                         "node 2:345/1@fidonet 127.0.0.1:" + std::to_string(port) + " SESSIONPW"));
  std::string mailer =
      "cd " + shell_quote(node) + " && setpriv --reuid=" + std::to_string(kMailer) +
      " --regid=" + std::to_string(kGroup) + " --clear-groups timeout 60 binkd -p -P 2:345/1 " +
      shell_quote(node + "/binkd.cfg") + " >stdout.txt 2>&1";
  int mailer_status = std::system(mailer.c_str());
  std::string pid = read_file(uplink + "/binkd.pid");
  if (!pid.empty()) ::kill(std::stoi(pid), SIGTERM);
  EXPECT_EQ(mailer_status, 0) << read_file(node + "/stdout.txt");

  std::string log = read_file(node + "/binkd.log");
  EXPECT_NE(log.find("sent: " + outb + "/1b2c3d4e.pkt"), std::string::npos) << log;
  EXPECT_EQ(log.find("Permission denied"), std::string::npos) << log;
  EXPECT_FALSE(exists(outb + "/01590001.flo"));
  EXPECT_FALSE(exists(outb + "/1b2c3d4e.pkt"));
  std::size_t received = 0;
  for (const auto& e : fs::directory_iterator(uplink + "/in")) {
    if (e.path().extension() == ".pkt") ++received;
  }
  EXPECT_EQ(received, 1u) << read_file(uplink + "/binkd.log");
}

}  // namespace
}  // namespace quillmar::testing
