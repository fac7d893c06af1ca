// The peers of quillmar-soup in its tests, all on 127.0.0.1 and started by
// the tests: a real SMTP server (aiosmtpd) behind msmtp, the real news
// server INN 2 when it runs or can be started here, and the stand-in news
// server of peers.py for TLS, logins and refusals.
#pragma once

#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace quillmar::testing {

inline const std::string kPeers = std::string(QUILLMAR_SOURCE_DIR) + "/tests/soupside/peers.py";
inline const char* kPython = "/usr/bin/python3";

inline std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Output of a shell command and its exit status.
inline int shell(const std::string& command, std::string* out = nullptr) {
  std::string full = command + (out != nullptr ? "" : " >/dev/null 2>&1");
  FILE* p = ::popen(full.c_str(), "r");
  if (p == nullptr) return -1;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) {
    if (out != nullptr) out->append(buffer, n);
  }
  int status = ::pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A process of peers.py, ended with the test.
class Peer {
 public:
  // Runs "peers.py KIND PORTFILE REST..."; its output goes to KIND.log.
  Peer(const ScratchDir& dir, const std::string& kind, const std::vector<std::string>& rest) {
    port_file_ = dir / (kind + ".port");
    std::string log = dir / (kind + ".log");
    std::remove(port_file_.c_str());
    std::vector<std::string> args = {kPython, kPeers, kind, port_file_};
    args.insert(args.end(), rest.begin(), rest.end());
    pid_ = ::fork();
    if (pid_ == 0) {
      std::freopen(log.c_str(), "w", stdout);
      std::freopen(log.c_str(), "a", stderr);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(kPython, argv.data());
      ::_exit(127);
    }
    for (int i = 0; i < 200 && !exists(port_file_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (exists(port_file_)) port_ = std::stoi(read_file(port_file_));
  }
  ~Peer() { stop(); }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  int port() const { return port_; }

 private:
  std::string port_file_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// Every peer the tests need of Debian: aiosmtpd and msmtp.
inline std::string missing_mail_peers() {
  if (!have_program("msmtp")) return "msmtp is not installed (.ci/run installs it)";
  if (shell(std::string(kPython) + " -c 'import aiosmtpd'") != 0) {
    return "python3-aiosmtpd is not installed (.ci/run installs it)";
  }
  return "";
}

// The sendmail command of the tests: msmtp handing the mail to the SMTP
// server on `port`.
inline std::string msmtp_command(int port) {
  return "msmtp -C /dev/null --host=127.0.0.1 --port=" + std::to_string(port) +
         " --auth=off --tls=off --from=gateway@example.org -t -i";
}

// A Postfix of its own for one test: configuration, queue and the Maildirs
// of virtual delivery under `dir`, no network listener; mail for
// sysop@example.org goes into boxes/sysop/. Stopped with the test.
class PostfixInstance {
 public:
  explicit PostfixInstance(const ScratchDir& dir) : dir_(dir) {
    if (!exists("/usr/sbin/postfix")) {
      why_ = "Postfix is not installed (.ci/run installs it)";
      return;
    }
    if (::geteuid() != 0) {
      why_ = "only root can start a Postfix of its own";
      return;
    }
    // The delivery agent works as nobody and must reach the Maildirs.
    std::filesystem::permissions(
        dir.path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                        std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                        std::filesystem::perms::others_exec);
    for (const char* d : {"pf", "pf/queue", "pf/data", "boxes"}) dir.mkdir(d);
    const std::string pf = dir / "pf";
    dir.write("pf/main.cf",
              "compatibility_level = 3.6\nqueue_directory = " + pf +
                  "/queue\ndata_directory = " + pf +
                  "/data\nmail_owner = postfix\nsetgid_group = postdrop\n"
                  "myhostname = quillmar.test\nmydestination =\ninet_interfaces = loopback-only\n"
                  "inet_protocols = ipv4\nmaillog_file = " +
                  pf + "/maillog\nmaillog_file_prefixes = " + pf +
                  "\nvirtual_mailbox_domains = example.org\nvirtual_mailbox_base = " + dir.path() +
                  "/boxes\nvirtual_mailbox_maps = inline:{ sysop@example.org=sysop/ }\n"
                  "virtual_uid_maps = static:65534\nvirtual_gid_maps = static:65534\n"
                  "smtputf8_enable = no\n");
    std::string master;
    for (const char* line :
         {"pickup unix n - n 60 1 pickup", "cleanup unix n - n - 0 cleanup",
          "qmgr unix n - n 300 1 qmgr", "rewrite unix - - n - - trivial-rewrite",
          "bounce unix - - n - 0 bounce", "defer unix - - n - 0 bounce",
          "trace unix - - n - 0 bounce", "verify unix - - n - 1 verify",
          "proxymap unix - - n - - proxymap", "smtp unix - - n - - smtp",
          "relay unix - - n - - smtp", "showq unix n - n - - showq", "error unix - - n - - error",
          "retry unix - - n - - error", "discard unix - - n - - discard",
          "virtual unix - n n - - virtual", "anvil unix - - n - 1 anvil",
          "scache unix - - n - 1 scache", "postlog unix-dgram n - n - 1 postlogd"}) {
      master += std::string(line) + "\n";
    }
    dir.write("pf/master.cf", master);
    ::chown((dir / "pf/data").c_str(), ::getpwnam("postfix") ? ::getpwnam("postfix")->pw_uid : 0,
            static_cast<gid_t>(-1));
    ::chown((dir / "boxes").c_str(), 65534, 65534);
    std::string out;
    if (shell("postfix -c " + quote(pf) + " set-permissions 2>&1 && postfix -c " + quote(pf) +
                  " start 2>&1",
              &out) != 0) {
      why_ = "Postfix does not start here: " + out;
      return;
    }
    started_ = true;
  }
  ~PostfixInstance() {
    if (started_) shell("postfix -c " + quote(dir_ / "pf") + " stop");
  }
  // Empty when it runs, else why not.
  const std::string& unavailable() const { return why_; }
  std::string sendmail_command() const {
    return "/usr/sbin/sendmail -C " + (dir_ / "pf") + " -t -i";
  }
  std::string maillog() const { return read_file(dir_ / "pf/maillog"); }

 private:
  const ScratchDir& dir_;
  std::string why_;
  bool started_ = false;
};

// Whether this process started INN (then it stops it at the end of the
// run; under ctest the fixture of tests/soupside/inn_server.sh has started
// it before, and stops it after the last test).
inline bool& inn_started_here() {
  static bool started = false;
  return started;
}

class InnStopper : public ::testing::Environment {
 public:
  void TearDown() override {
    if (!inn_started_here()) return;
    inn_started_here() = false;
    shell("/etc/init.d/inn2 stop");
  }
};
inline ::testing::Environment* const inn_stopper =
    ::testing::AddGlobalTestEnvironment(new InnStopper);

// INN 2 on 127.0.0.1:119; started when installed but not running. Empty
// when it runs, else why it cannot.
inline std::string inn_unavailable() {
  static std::string why = [] {
    if (!have_program("ctlinnd") && !exists("/usr/lib/news/bin/ctlinnd")) {
      return std::string("INN 2 (inn2) is not installed (.ci/run installs it)");
    }
    std::string ctl = exists("/usr/lib/news/bin/ctlinnd") ? "/usr/lib/news/bin/ctlinnd" : "ctlinnd";
    if (shell(ctl + " -t 5 mode") == 0) return std::string();
    if (::geteuid() != 0) return std::string("INN 2 is not running and only root can start it");
    inn_started_here() = true;
    shell("/etc/init.d/inn2 start");
    for (int i = 0; i < 50; ++i) {
      if (shell(ctl + " -t 5 mode") == 0) return std::string();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return std::string("INN 2 is installed but does not start (see /var/log/news)");
  }();
  return why;
}

// A news group of its own on INN for one test, removed afterwards.
class InnGroup {
 public:
  explicit InnGroup(const std::string& tag) {
    static int serial = 0;
    name_ =
        "quillmar.test." + tag + "." + std::to_string(::getpid()) + "x" + std::to_string(++serial);
    ok_ = shell("/usr/lib/news/bin/ctlinnd -t 10 newgroup " + name_ + " y") == 0;
  }
  ~InnGroup() { shell("/usr/lib/news/bin/ctlinnd -t 10 rmgroup " + name_); }
  const std::string& name() const { return name_; }
  bool ok() const { return ok_; }

 private:
  std::string name_;
  bool ok_ = false;
};

// Posts an article to the news server on `port`.
inline bool post_article(const ScratchDir& dir, int port, const std::string& article) {
  std::string file = dir.write("post.txt", article);
  return shell(std::string(kPython) + " " + quote(kPeers) + " post " + std::to_string(port) + " " +
               quote(file)) == 0;
}

// The subjects of the articles of a group, with how often each is there.
inline std::map<std::string, int> group_subjects(int port, const std::string& group) {
  std::string out;
  shell(std::string(kPython) + " " + quote(kPeers) + " subjects " + std::to_string(port) + " " +
            quote(group),
        &out);
  std::map<std::string, int> count;
  std::size_t pos = 0;
  while (pos < out.size()) {
    std::size_t lf = out.find('\n', pos);
    if (lf == std::string::npos) lf = out.size();
    ++count[out.substr(pos, lf - pos)];
    pos = lf + 1;
  }
  return count;
}

// The value of a header field of a message.
inline std::string header_of(const std::string& message, const std::string& name) {
  std::size_t end = message.find("\n\n");
  std::string head = "\n" + message.substr(0, end) + "\n";
  std::size_t at = head.find("\n" + name + ": ");
  if (at == std::string::npos) return "";
  at += name.size() + 3;
  return head.substr(at, head.find('\n', at) - at);
}

// Subjects of the messages of a Maildir (new/ and cur/), with counts.
inline std::map<std::string, int> maildir_subjects(const std::string& dir) {
  std::map<std::string, int> count;
  for (const char* sub : {"/new", "/cur"}) {
    if (!std::filesystem::is_directory(dir + sub)) continue;
    for (const auto& e : std::filesystem::directory_iterator(dir + sub)) {
      std::string text = read_file(e.path().string());
      std::string plain;
      for (char c : text) {
        if (c != '\r') plain += c;
      }
      ++count[header_of(plain, "Subject")];
    }
  }
  return count;
}

inline std::string framed_message(const std::string& text) {
  std::string out(4, '\0');
  uint32_t n = static_cast<uint32_t>(text.size());
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((n >> (24 - 8 * i)) & 0xFF);
  return out + text;
}

// Subjects of every message of the packet in `soup`, taken from the files
// AREAS lists, with counts; `areas` gets the area names in order.
inline std::map<std::string, int> packet_subjects(const std::string& soup,
                                                  std::vector<std::string>* areas = nullptr) {
  std::map<std::string, int> count;
  if (!exists(soup + "/AREAS")) return count;
  std::string listing = read_file(soup + "/AREAS");
  std::size_t pos = 0;
  while (pos < listing.size()) {
    std::size_t lf = listing.find('\n', pos);
    std::string line = listing.substr(pos, lf - pos);
    pos = lf == std::string::npos ? listing.size() : lf + 1;
    std::size_t tab = line.find('\t');
    std::size_t tab2 = line.find('\t', tab + 1);
    if (areas != nullptr) areas->push_back(line.substr(tab + 1, tab2 - tab - 1));
    std::string file = soup + "/" + line.substr(0, tab) + ".MSG";
    if (!exists(file)) {
      ++count["<missing file " + file + ">"];
      continue;
    }
    for (const std::string& m : framed_messages(read_file(file))) ++count[header_of(m, "Subject")];
  }
  return count;
}

// Runs the built quillmar-soup in `cwd`.
inline RunResult run_soup(const std::string& cwd, const std::vector<std::string>& args) {
  std::string cmd = "cd " + quote(cwd) + " && ASAN_OPTIONS=verify_asan_link_order=0 " +
                    quote(QUILLMAR_SOUP_BINARY);
  for (const std::string& a : args) cmd += " " + quote(a);
  cmd += " 2>&1";
  RunResult r;
  r.exit_code = shell(cmd, &r.err);
  return r;
}

// Starts quillmar-soup and kills it with SIGKILL after `delay`.
inline void run_soup_killed(const std::string& cwd, const std::vector<std::string>& args,
                            std::chrono::microseconds delay) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(127);
    std::freopen("/dev/null", "w", stdout);
    std::freopen((cwd + "/killed.log").c_str(), "a", stderr);
    std::vector<std::string> all = {QUILLMAR_SOUP_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(QUILLMAR_SOUP_BINARY, argv.data());
    ::_exit(127);
  }
  std::this_thread::sleep_for(delay);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// The crashmail set-up of the tests: the command that tosses the inbound
// `inbound` into *.MSG areas under cm/msg of `dir`; AREA lines name the echo
// areas.
inline std::string crashmail_command(const ScratchDir& dir, const std::string& inbound,
                                     const std::string& areas) {
  for (const char* d : {"cm", "cm/out", "cm/tmp", "cm/pkt", "cm/msg"}) dir.mkdir(d);
  std::string cm = dir / "cm";
  dir.write("cm/crashmail.prefs",
            "SYSOP \"Test\"\nLOGFILE \"" + cm + "/log\"\nLOGLEVEL 6\nDEFAULTZONE 2\nINBOUND \"" +
                inbound + "\"\nOUTBOUND \"" + cm + "/out\"\nTEMPDIR \"" + cm +
                "/tmp\"\nCREATEPKTDIR \"" + cm + "/tmp\"\nPACKETDIR \"" + cm +
                "/pkt\"\nSTATSFILE \"" + cm +
                "/stats\"\nAKA 2:345/6.1\nDOMAIN \"FidoNet\"\n"
                "NODE 2:345/6.0 \"\" \"\" AUTOADD\nNETMAIL \"NETMAIL\" 2:345/6.1 MSG \"" +
                cm + "/msg/NETMAIL\"\nAREA \"BAD\" 2:345/6.1 MSG \"" + cm + "/msg/BAD\"\n" + areas);
  return "cd " + quote(cm) + " && crashmail SETTINGS " + quote(cm + "/crashmail.prefs") + " TOSS";
}

inline int crashmail_toss(const ScratchDir& dir, const std::string& areas) {
  return shell(crashmail_command(dir, dir / "in", areas));
}

// Subjects of the messages crashmail stored in an area folder.
inline std::map<std::string, int> stored_subjects(const std::string& dir) {
  std::map<std::string, int> count;
  if (!std::filesystem::is_directory(dir)) return count;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.path().extension() != ".msg") continue;
    std::string bytes = read_file(e.path().string());
    if (bytes.size() < 190) continue;
    std::string subject = bytes.substr(72, 72);
    ++count[subject.substr(0, subject.find('\0'))];
  }
  return count;
}

}  // namespace quillmar::testing
