#include "harness.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/run.hpp"
#include "config/reader.hpp"
#include "config/settings.hpp"
#include "export/export_driver.hpp"
#include "export/export_state.hpp"
#include "export/journal.hpp"
#include "fido/message_record.hpp"
#include "import/import_state.hpp"
#include "lists/list_commands.hpp"
#include "lists/list_files.hpp"
#include "platform/clock.hpp"
#include "platform/fs.hpp"
#include "soup/reply.hpp"

// Set when the program runs under a sanitizer: the callback is called as
// its report ends, which goes to the file descriptor given.
extern "C" void __sanitizer_set_death_callback(void (*callback)()) __attribute__((weak));
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace quillmar::fuzz {

namespace fs = std::filesystem;

namespace {

// The example installation's settings; "./" stands for the box. ImportLimit
// is low so that long messages are split.
constexpr const char* kConfig = R"(FidoAddr 2:345/6
AddrMap 2:345/6.1 sysop@example.org Joe Sysop
AddrMap 2:345/6.2 ann@example.org,ann-replies@example.org Ann Point
Alias friend@example.net Friend
FidoDomain 1-6 #fidonet.org
MapFidoOrg Yes
TransFidoOrg Yes
BaseZone 2
EmailArea NETMAIL
AreaMap FIDO.TEST alt.test
AreaMap FIDO.OUT alt.out EXPORT
Route 2:345/7 node7@example.net secret SUBJ=FidoNet mail
MailingList EXAMPLE.LIST list@lists.example.net [example] TRUNCATE=-- ;SUBJ:[example]
OwnOrgArea ARCHIVES
JunkArea JUNKMAIL
ListConfig ./lists/DEV.CFG
InboundDir ./inbound/
OutboundDir ./outbound/
NetmailDir ./netmail/
SoupDir ./soup/
DecodeDir ./decode/
TempDir ./temp/
TimeZone +0100
PacketPwd secret
QuickScan No
ExportAllMail Yes
SeparateMSG No
MaxPKTSize 500
ImportLimit 2048
ExportMaxTo 50
ExportMaxXPost 10
HeaderInfo Name Yes
NoSpamText nospam.
Origin Quillmar example gateway
Organization Example FidoNet Gateway
DefCharSet iso-8859-1
CharSetMap IBMPC iso-8859-1 EXPORT
CharSetMap LATIN-1#2 iso-8859-1 IMPORT
UseQP Yes
EncodeFormat MIME
QuoteTo Yes
QuoteChar > 0-5 0-3
QuoteMask wrote:
LineWidth 72
StripKludges Some News
StripKludges No Email
StrictFidoMsgID No
KillOrigin Email
OwnOrgAction move
JunkAction junk
JunkCategory All
JunkFrom *@spam.example
JunkSubj MAKE MONEY FAST
JunkStr click here to unsubscribe
JunkCategory News
JunkGroup alt.spam
JunkFromTo Yes
IgnoreMessageText *mailer-daemon@example.org
AttachMail decode
AttachNews decode
)";

constexpr const char* kListFile = R"(ListName Quillmar developers
ListAddress quillmar-dev@example.org
ListArea QUILLMAR.DEV
ListPassword letmein
NewStatus 1
KeeperName Joe Sysop
KeeperAddress sysop@example.org
Welcome WELCOME.TXT
GoodBye WELCOME.TXT
PasswordInfo WELCOME.TXT
ListUsers
+
ann@example.org
Ann Point
1
ba0b9ee8
*
left@example.net
Gone Away
1
8bcdad02
+
7of9@example.net

2
84e1c218
)";

constexpr const char* kTemplate =
    "Subject: Welcome to the list\n\nWelcome. Your password is kept by the list keeper.\n";

constexpr const char* kDirectories[] = {"inbound", "outbound", "netmail", "soup",
                                        "decode",  "temp",     "lists"};

std::string make_box() {
  // Local time is UTC and the clock stands still: a run depends on its
  // input only.
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  ::unsetenv("TEMP");
  ::unsetenv("TMPDIR");
  platform::set_fixed_clock(std::time_t{921247507});  // 9 March 1999 14:05:07
  // In memory where the machine has it: a run creates and removes many files.
  std::error_code ec;
  std::string base = fs::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
  std::string pattern = base + "/quillmar-fuzz.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  std::string path = pattern;
  static std::string* removed_at_exit = new std::string(path);
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(*removed_at_exit, ec);
  });
  return path;
}

}  // namespace

namespace {

// Standard error as it was before libFuzzer closed it (-close_fd_mask).
const int report_fd = ::dup(2);
std::string current_input;

void report_current_input() {
  if (!current_input.empty()) {
    dprintf(report_fd >= 0 ? report_fd : 2, "*** while running the kept input %s\n",
            current_input.c_str());
  }
}

}  // namespace

void set_current_input(std::string name) {
  static bool hooked = false;
  if (!hooked) {
    hooked = true;
    if (__sanitizer_set_death_callback != nullptr) {
      __sanitizer_set_death_callback(report_current_input);
    }
    // The reports stay visible while the gateway's output goes nowhere.
    if (__sanitizer_set_report_fd != nullptr && report_fd >= 0) {
      __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(report_fd)));
    }
  }
  current_input = std::move(name);
}

void quiet_output(bool on) {
  static int saved_out = -1;
  static int saved_err = -1;
  std::fflush(stdout);
  std::fflush(stderr);
  if (on && saved_out < 0) {
    saved_out = ::dup(1);
    saved_err = ::dup(2);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::close(null);
  } else if (!on && saved_out >= 0) {
    ::dup2(saved_out, 1);
    ::dup2(saved_err, 2);
    ::close(saved_out);
    ::close(saved_err);
    saved_out = saved_err = -1;
  }
}

void fail(const char* format, ...) {
  disarm_sandbox();
  char message[1024];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(message, sizeof message, format, ap);
  va_end(ap);
  dprintf(report_fd >= 0 ? report_fd : 2, "\n*** broken promise: %s\n", message);
  report_current_input();
  std::error_code ec;
  fs::remove_all(box(), ec);
  std::abort();
}

const std::string& box() {
  static const std::string path = make_box();
  return path;
}

std::string in_box(std::string_view name) {
  std::string out = box();
  out += '/';
  out += name;
  return out;
}

namespace {

// What QUILLMAR.CFG holds as reset_box() wrote it (empty when something
// else wrote it), and how often it was written: the settings are read
// again when it changed.
std::string written_config;
long config_writes = 0;
long settings_read_at = -1;

}  // namespace

void write_file(std::string_view name, std::string_view data) {
  if (name == "QUILLMAR.CFG") {
    written_config.clear();
    ++config_writes;
  }
  std::string path = in_box(name);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr ||
      (!data.empty() && std::fwrite(data.data(), 1, data.size(), f) != data.size()) ||
      std::fclose(f) != 0) {
    std::perror(path.c_str());
    std::abort();
  }
}

std::string read_file(std::string_view name) {
  std::ifstream in(in_box(name), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> list_dir(std::string_view name) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(in_box(name), ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void reset_box(Mailer mailer, std::string_view extra_config, const std::string* list_file) {
  const std::string& root = box();
  std::error_code ec;
  // What an earlier input left goes; the directories are emptied.
  for (const auto& entry : fs::directory_iterator(root, ec)) {
    std::string name = entry.path().filename().string();
    bool directory = false;
    for (const char* d : kDirectories) directory = directory || name == d;
    if (!directory) {
      if (name != "QUILLMAR.CFG" && name != "WELCOME.TXT") fs::remove_all(entry.path(), ec);
      continue;
    }
    std::error_code dir_ec;
    if (!entry.is_directory(dir_ec) || entry.is_symlink(dir_ec)) {
      fs::remove_all(entry.path(), ec);
      continue;
    }
    for (const auto& inner : fs::directory_iterator(entry.path(), dir_ec)) {
      fs::remove_all(inner.path(), ec);
    }
  }
  for (const char* d : kDirectories) fs::create_directory(in_box(d), ec);
  std::string settings_text(kConfig);
  settings_text += mailer == Mailer::binkley ? "MailerType Binkley\n" : "MailerType ArcMail\n";
  settings_text += extra_config;
  std::string config;
  for (std::string_view rest = settings_text; !rest.empty();) {
    std::size_t dot = rest.find("./");
    config += rest.substr(0, dot);
    if (dot == std::string_view::npos) break;
    config += root + "/";
    rest.remove_prefix(dot + 2);
  }
  if (config != written_config || !fs::exists(in_box("QUILLMAR.CFG"), ec)) {
    write_file("QUILLMAR.CFG", config);
    written_config = config;
  }
  write_file("lists/DEV.CFG", list_file != nullptr ? *list_file : std::string(kListFile));
  write_file("WELCOME.TXT", kTemplate);
}

void cache_listings(bool on) {
  platform::cache_directory_listings(on);
}

namespace {

// The state of a new run, the settings and the lists apart.
void reset_run_state() {
  run_options = RunOptions{};
  run_options.command = Command::check;
  reset_admin_serial();
  set_list_journal(nullptr);
  journal_reset();
  reset_reply_files();
  release_export_work();
  if (message_work.header == nullptr) allocate_message_work();
  reset_message_header();
  import_state.file_counters = ImportCounters{};
}

}  // namespace

bool load_settings(std::string_view config) {
  reset_run_state();
  run_options.config_file_name.assign(config);
  reset_lists();
  reset_settings();
  settings_read_at = -1;

  // The start-up defaults of a run.
  Settings& s = *settings;
  s.TimeZone = "+0000";
  s.TempDir = "/tmp/";
  s.OwnOrgArea = "ARCHIVES";
  s.JunkArea = "JUNKMAIL";
  s.EmailArea = "NETMAIL";
  std::string program = in_box("quillmar");
  register_list_keywords();
  if (!read_config(config, program)) return false;
  if (s.DecodeDir.empty()) s.DecodeDir = s.InboundDir;
  if (s.ExportMaxTo == 0 || s.ExportMaxTo > 1024) s.ExportMaxTo = 1024;
  if (s.ExportMaxXPost == 0 || s.ExportMaxXPost > 1024) s.ExportMaxXPost = 1024;
  if (config == "QUILLMAR.CFG" && !written_config.empty()) settings_read_at = config_writes;
  return true;
}

bool start_run() {
  if (settings == nullptr || settings_read_at != config_writes) return load_settings();
  // The fixed configuration's settings stay; a run changes none of them.
  reset_run_state();
  run_options.config_file_name.assign("QUILLMAR.CFG");
  reset_lists();
  read_list_config(in_box("lists/DEV.CFG"), 0, in_box("QUILLMAR.CFG"), in_box("quillmar"));
  return true;
}

void start_fast_export(Mailer mailer, std::string_view extra_config) {
  reset_box(mailer, extra_config);
  if (!load_settings()) fail("the fixed configuration could not be read");
  allocate_export_work();
  journal_reset();
  hold_reply_listing(true);
  if (!flush_reply_file(kReplyMail) || !flush_reply_file(kReplyNews)) {
    fail("no reply file names");
  }
}

void reload_list(const std::string* list_file) {
  write_file("lists/DEV.CFG", list_file != nullptr ? *list_file : std::string(kListFile));
  reset_lists();
  read_list_config(in_box("lists/DEV.CFG"), 0, in_box("QUILLMAR.CFG"), in_box("quillmar"));
}

void export_and_check() {
  bool started = false;
  guarded([&] { started = start_run(); });
  if (!started) fail("the fixed configuration could not be read");
  as_run([] { run_export(); });
  check_replies();
  check_box_top();
}

long check_list_index() {
  long members = 0;
  for (const ListRecord& list : lists()) {
    long indexed = 0;
    for (const MemberNode* chain : list.chains) {
      for (const MemberNode* node = chain; node != nullptr; node = node->next) ++indexed;
    }
    if (indexed != list.member_count) {
      fail("a list counts %ld members but indexes %ld", list.member_count, indexed);
    }
    members += list.member_count;
  }
  return members;
}

void check_box_top(std::initializer_list<std::string_view> extra) {
  for (const std::string& name : list_dir("")) {
    bool known = name == "QUILLMAR.CFG" || name == "WELCOME.TXT";
    for (const char* d : kDirectories) known = known || name == d;
    for (std::string_view e : extra) known = known || name == e;
    if (!known) fail("unexpected file \"%s\" in the box", name.c_str());
  }
}

namespace {

uint16_t le16(std::string_view data, std::size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(data[at]) |
                               static_cast<unsigned char>(data[at + 1]) << 8);
}

// The text up to its zero byte, which must come within `maximum` bytes
// (the zero byte included); `at` moves past it.
std::string_view zstring(std::string_view data, std::size_t& at, std::size_t maximum,
                         const char* field, std::string_view name) {
  std::size_t end = data.find('\0', at);
  if (end == std::string_view::npos)
    fail("%.*s: %s without its zero byte", int(name.size()), name.data(), field);
  if (maximum != 0 && end - at + 1 > maximum) {
    fail("%.*s: %s of %zu bytes, more than %zu", int(name.size()), name.data(), field, end - at + 1,
         maximum);
  }
  std::string_view text = data.substr(at, end - at);
  at = end + 1;
  return text;
}

// The part number and count of a SPLIT kludge in the kludge lines that
// begin the text; 1 of 1 without one.
std::pair<long, long> split_of(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && text[at] == '\x01') {
    std::size_t end = text.find('\r', at);
    std::string_view line = text.substr(at, end == std::string_view::npos ? end : end - at);
    if (line.substr(0, 8) == "\x01SPLIT: ") {
      std::size_t slash = line.rfind('/');
      if (slash != std::string_view::npos && slash >= 2) {
        long number = std::strtol(std::string(line.substr(slash - 2, 2)).c_str(), nullptr, 10);
        long count = std::strtol(std::string(line.substr(slash + 1, 6)).c_str(), nullptr, 10);
        return {number, count};
      }
    }
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  return {1, 1};
}

// A reply message begins with a header: lines of a field name (printable
// characters without a colon), a colon and the value, or continuation
// lines beginning with a blank, up to the empty line before the body.
void check_reply_header(std::string_view message, const std::string& file, std::size_t number) {
  std::size_t at = 0;
  bool first = true;
  for (;;) {
    std::size_t end = message.find('\n', at);
    if (end == std::string_view::npos) {
      fail("%s: message %zu has no empty line after its header", file.c_str(), number);
    }
    std::string_view line = message.substr(at, end - at);
    at = end + 1;
    if (line.empty()) return;
    if (line.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos) {
      fail("%s: message %zu has a CR or NUL in header line \"%.*s\"", file.c_str(), number,
           static_cast<int>(line.size()), line.data());
    }
    if (line[0] == ' ' || line[0] == '\t') {
      if (first) fail("%s: message %zu begins with a continuation line", file.c_str(), number);
      continue;
    }
    std::size_t colon = line.find(':');
    bool named = colon != std::string_view::npos && colon > 0;
    for (std::size_t i = 0; named && i < colon; ++i) {
      named = line[i] > ' ' && line[i] <= '~';
    }
    if (!named) {
      fail("%s: message %zu has header line \"%.*s\"", file.c_str(), number,
           static_cast<int>(line.size()), line.data());
    }
    first = false;
  }
}

}  // namespace

std::size_t check_packet(std::string_view data, std::string_view name) {
  const int n = static_cast<int>(name.size());
  if (data.size() < 60) fail("%.*s: %zu bytes, shorter than a packet", n, name.data(), data.size());
  if (le16(data, 18) != 2) fail("%.*s: packet type %u", n, name.data(), le16(data, 18));
  std::size_t at = 58;
  std::size_t messages = 0;
  long expect_part = 1;
  long expect_count = 0;
  for (;;) {
    if (at + 2 > data.size()) fail("%.*s: no closing zero word", n, name.data());
    uint16_t type = le16(data, at);
    if (type == 0) {
      if (at + 2 != data.size()) {
        fail("%.*s: %zu bytes after the closing zero word", n, name.data(), data.size() - at - 2);
      }
      break;
    }
    if (type != 2) fail("%.*s: message type %u at %zu", n, name.data(), type, at);
    if (at + 14 > data.size()) fail("%.*s: message header cut at %zu", n, name.data(), at);
    at += 14;
    zstring(data, at, 20, "date", name);
    zstring(data, at, 36, "to name", name);
    zstring(data, at, 36, "from name", name);
    zstring(data, at, 72, "subject", name);
    std::string_view text = zstring(data, at, 0, "text", name);
    ++messages;
    // The parts of a split message follow each other, numbered from 1.
    auto [part, count] = split_of(text);
    if (expect_count != 0) {
      if (part != expect_part || count != expect_count) {
        fail("%.*s: part %ld/%ld where part %ld/%ld was due", n, name.data(), part, count,
             expect_part, expect_count);
      }
    } else if (part != 1 || count < 1) {
      fail("%.*s: a message begins with part %ld/%ld", n, name.data(), part, count);
    }
    if (part < count) {
      expect_part = part + 1;
      expect_count = count;
    } else {
      expect_part = 1;
      expect_count = 0;
    }
  }
  if (expect_count != 0) {
    fail("%.*s: ends before part %ld/%ld", n, name.data(), expect_part, expect_count);
  }
  return messages;
}

std::size_t check_packets_in(std::string_view dir) {
  std::size_t messages = 0;
  for (const std::string& name : list_dir(dir)) {
    if (name.size() < 4 || name.substr(name.size() - 4) != ".PKT") continue;
    std::string path = std::string(dir) + "/" + name;
    messages += check_packet(read_file(path), path);
  }
  return messages;
}

std::size_t check_replies() {
  std::string replies = read_file("soup/REPLIES");
  std::vector<std::string> listed;
  std::size_t messages = 0;
  std::istringstream lines(replies);
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t tab1 = line.find('\t');
    std::size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string::npos) fail("REPLIES line \"%s\" without two tabs", line.c_str());
    std::string prefix = line.substr(0, tab1);
    std::string kind = line.substr(tab1 + 1, tab2 - tab1 - 1);
    std::string format = line.substr(tab2 + 1);
    if (!((kind == "mail" && format == "bn") || (kind == "news" && format == "Bn"))) {
      fail("REPLIES line \"%s\" of an unknown kind", line.c_str());
    }
    if (std::find(listed.begin(), listed.end(), prefix + ".MSG") != listed.end()) {
      fail("REPLIES lists %s twice", prefix.c_str());
    }
    listed.push_back(prefix + ".MSG");
    if (read_file("soup/" + prefix + ".MSG").empty()) {
      fail("REPLIES lists %s, which is empty or missing", prefix.c_str());
    }
    messages += check_reply_file("soup/" + prefix + ".MSG");
  }
  for (const std::string& name : list_dir("soup")) {
    bool reply = (name.rfind("mail", 0) == 0 || name.rfind("news", 0) == 0) && name.size() > 4 &&
                 name.substr(name.size() - 4) == ".MSG";
    if (!reply) continue;
    if (std::find(listed.begin(), listed.end(), name) == listed.end() &&
        !read_file("soup/" + name).empty()) {
      fail("%s holds messages but REPLIES does not list it", name.c_str());
    }
  }
  return messages;
}

std::size_t check_reply_file(std::string_view name, uint64_t offset) {
  // Only the bytes from `offset` on are read.
  std::ifstream in(in_box(name), std::ios::binary);
  in.seekg(0, std::ios::end);
  const uint64_t file_size = static_cast<uint64_t>(std::max<std::streamoff>(in.tellg(), 0));
  if (offset > file_size) {
    fail("%.*s: %llu bytes, shorter than the %llu it had", int(name.size()), name.data(),
         static_cast<unsigned long long>(file_size), static_cast<unsigned long long>(offset));
  }
  in.seekg(static_cast<std::streamoff>(offset));
  std::string data(file_size - offset, '\0');
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  std::string label(name);
  std::size_t messages = 0;
  std::size_t at = 0;
  while (at < data.size()) {
    if (data.size() - at < 4) fail("%s: a length field cut at %zu", label.c_str(), at);
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length = length << 8 | static_cast<unsigned char>(data[at + i]);
    at += 4;
    if (length > data.size() - at) {
      fail("%s: a message of %u bytes at %zu runs past the end (%zu)", label.c_str(), length, at,
           data.size());
    }
    check_reply_header(std::string_view(data).substr(at, length), label, messages);
    at += length;
    ++messages;
  }
  return messages;
}

std::size_t check_replies_since(const ReplyMark& mark) {
  std::size_t messages = 0;
  std::string soup = in_box("soup/");
  auto box_name = [&](std::string_view path) {
    if (path.substr(0, soup.size()) != soup) fail("reply file %s outside the box", path.data());
    return std::string("soup/") += path.substr(soup.size());
  };
  const std::vector<ReplyListing>& held = held_reply_listings();
  for (std::size_t i = mark.held; i < held.size(); ++i) {
    messages += check_reply_file(box_name(reply_file_path(held[i].kind, held[i].number)));
  }
  for (int kind : {kReplyMail, kReplyNews}) {
    std::string path(reply_file_name(kind));
    if (path.empty() || !fs::exists(path)) continue;
    const ReplyMark::Kind& k = mark.kinds[kind == kReplyNews ? 1 : 0];
    uint64_t offset = k.name == path && k.existed ? k.size : 0;
    messages += check_reply_file(box_name(path), offset);
  }
  return messages;
}

std::pair<std::string_view, std::string_view> split_input(std::string_view input,
                                                          std::string_view separator) {
  std::size_t at = input.find(separator);
  if (at == std::string_view::npos) return {input, {}};
  return {input.substr(0, at), input.substr(at + separator.size())};
}

std::vector<std::string_view> split_parts(std::string_view input, std::size_t count,
                                          std::string_view separator) {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < count) {
    auto [part, rest] = split_input(input, separator);
    parts.push_back(part);
    input = rest;
  }
  parts.push_back(input);
  return parts;
}

}  // namespace quillmar::fuzz
