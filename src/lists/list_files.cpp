#include "lists/list_files.hpp"

#include <cstdio>
#include <new>
#include <string>

#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "config/reader.hpp"

namespace quillmar {

namespace {

ListRecord* list_records = nullptr;  // room for kMaxListConfig records
std::size_t list_count = 0;
bool test_note_shown = false;

std::string_view trim_trailing_spaces(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

void release_members(ListRecord& list) {
  for (MemberNode*& head : list.chains) {
    while (head != nullptr) {
      MemberNode* next = head->next;
      delete head;
      head = next;
    }
  }
  list.member_count = 0;
}

// Handles one line of the top part.
void list_keyword(ListRecord& list, std::string_view keyword, std::string_view value, long number,
                  std::string_view path, std::string_view program_path) {
  struct TextKeyword {
    const char* keyword;
    std::optional<ListText> ListRecord::*field;
  };
  static const TextKeyword kTexts[] = {
      {"ListName", &ListRecord::ListName},     {"ListAddress", &ListRecord::ListAddress},
      {"ListArea", &ListRecord::ListArea},     {"ListPassword", &ListRecord::ListPassword},
      {"KeeperName", &ListRecord::KeeperName}, {"KeeperAddress", &ListRecord::KeeperAddress},
  };
  struct FileKeyword {
    const char* keyword;
    std::optional<PathText> ListRecord::*field;
  };
  static const FileKeyword kFiles[] = {
      {"SubscribeInfo", &ListRecord::SubscribeInfo},
      {"Welcome", &ListRecord::Welcome},
      {"GoodBye", &ListRecord::GoodBye},
      {"PasswordInfo", &ListRecord::PasswordInfo},
      {"NewPassword", &ListRecord::NewPassword},
      {"ReadOnly", &ListRecord::ReadOnly},
      {"BlackList", &ListRecord::BlackList},
  };
  for (const TextKeyword& k : kTexts) {
    if (equals_nocase(keyword, k.keyword)) {
      (list.*k.field).emplace().assign(value);
      if (k.field == &ListRecord::ListPassword && !value.empty()) {
        note_secret_line(keyword, number, path);
      }
      return;
    }
  }
  for (const FileKeyword& k : kFiles) {
    if (!equals_nocase(keyword, k.keyword)) continue;
    PathText resolved;
    if (!value.empty() && !resolve_beside_program(value, program_path, resolved)) {
      config_warning("path too long", number, path);
      return;
    }
    list.*k.field = resolved;
    return;
  }
  if (equals_nocase(keyword, "NewStatus")) {
    long v = 0;
    if (!scan_signed(value, v)) v = 0;
    uint8_t status = static_cast<uint8_t>(static_cast<unsigned long>(v) & 0xFF);
    list.NewStatus = status > kStatusBarred ? 1 : status;
    return;
  }
  config_warning("invalid list configuration keyword", number, path);
}

// The name of the test copy: the extension of the file name (or the end of
// a name without one) replaced by ".~LC".
bool test_copy_name(std::string_view path, PathText& out) {
  std::size_t sep = path.find_last_of("\\/");
  std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || (sep != std::string_view::npos && dot < sep)) {
    dot = path.size();
  }
  return out.assign(path.substr(0, dot)) && out.append(".~LC");
}

// Reads the member records that follow the "ListUsers" line into the
// list's index; `number` counts the lines read.
void read_user_records(platform::File& in, ListRecord& list, long& number, std::string_view path,
                       bool warn) {
  ListLine text;
  long position = in.tell();
  while (read_list_line(in, text)) {
    ++number;
    long marker_position = position;
    position = in.tell();
    char marker = text.text.empty() ? '\0' : text.text[0];
    if (marker != '+' && marker != '*') {
      if (warn) config_warning("user list contains erroneous line", number, path);
      continue;
    }
    bool complete = true;
    for (int i = 0; i < 4; ++i) {
      if (!read_list_line(in, text)) {
        complete = false;
        break;
      }
      ++number;
      if (i == 0 && marker == '+' && !add_member(list, text.text, marker_position) && warn) {
        config_warning("out of memory", number, path);
      }
    }
    position = in.tell();
    if (!complete) {
      if (warn) config_warning("user list ends in incomplete record", number, path);
      break;
    }
  }
}

// Reads the list settings at the top of the file; true when a "ListUsers"
// line follows them and the list has its ListName and ListAddress.
bool read_list_settings(platform::File& in, ListRecord& list, long& number, std::string_view path,
                        std::string_view program_path) {
  ListLine text;
  while (read_list_line(in, text)) {
    ++number;
    std::string_view t = trim_trailing_spaces(text.text);
    if (t.empty() || t[0] == ';') continue;
    if (starts_with_nocase(t, "ListUsers")) return list.ListName && list.ListAddress;
    auto [keyword, value] = split_keyword(t);
    list_keyword(list, keyword, value, number, path, program_path);
  }
  return false;
}

// Under /TEST the list works on a copy of its file.
void use_test_copy(ListRecord& list, std::string_view path) {
  PathText copy;
  char buffer[256];
  if (!test_copy_name(path, copy) || copy_file(path, copy, buffer, sizeof buffer) < 0) {
    config_warning("unable to write the list configuration file duplicate", 0, path);
  }
  list.path = copy;
  if (!test_note_shown) {
    std::fputs("[Test mode: using list config file duplicates *.~LC]\n\n", stderr);
    test_note_shown = true;
  }
}

void kw_list_config(const ConfigLine& at) {
  if (lists().size() >= kMaxListConfig) return at.warn("too many ListConfig keywords");
  read_list_config(at.value, at.line, at.path, config_program_path());
}

}  // namespace

void register_list_keywords() {
  register_keyword("ListConfig", kw_list_config);
}

bool refresh_list(ListRecord& list) {
  platform::FileIdentity now;
  if (!platform::file_identity(list.path, now)) return false;
  if (now == list.stamp) return true;
  // Changed by another program (PACK, an editor): the positions of the
  // index no longer hold.
  close_user_file(list);
  platform::File in;
  if (!in.open(list.path, platform::OpenMode::read) || !in.identity(now)) return false;
  release_members(list);
  ListLine text;
  long number = 0;
  while (read_list_line(in, text)) {
    ++number;
    if (starts_with_nocase(trim_trailing_spaces(text.text), "ListUsers")) {
      read_user_records(in, list, number, list.path, false);
      break;
    }
  }
  list.stamp = now;
  return true;
}

void note_list_written(ListRecord& list) {
  platform::file_identity(list.path, list.stamp);
}

bool add_member(ListRecord& list, std::string_view address, long position) {
  MemberNode* node = new (std::nothrow) MemberNode{};
  if (node == nullptr) return false;
  node->crc = crc32(address.data(), address.size());
  node->position = position;
  MemberNode** link = &list.chains[member_chain(address)];
  while (*link != nullptr) link = &(*link)->next;
  *link = node;
  ++list.member_count;
  return true;
}

std::span<ListRecord> lists() {
  return {list_records, list_count};
}

void reset_lists() {
  for (std::size_t i = 0; i < list_count; ++i) {
    release_members(list_records[i]);
    list_records[i].~ListRecord();
  }
  list_count = 0;
  test_note_shown = false;
  if (settings != nullptr) settings->list_config_count = 0;
}

int member_chain(std::string_view address) {
  if (address.empty()) return 0;
  char c = ascii_lower(address[0]);
  return (c >= 'a' && c <= 'z') ? c - 'a' + 1 : 0;
}

bool read_list_line(platform::File& in, ListLine& line, platform::File* copy) {
  char buffer[256];
  std::size_t kept = 0;
  bool any = false;
  line.end.clear();
  line.cut = false;
  for (;;) {
    int c = in.get_byte();
    if (c == EOF) break;
    any = true;
    if (copy != nullptr) {
      char byte = static_cast<char>(c);
      copy->write(&byte, 1);
    }
    if (c == '\n') {
      line.end = "\n";
      break;
    }
    if (c == '\r') {
      int next = in.get_byte();
      if (next == '\n') {
        if (copy != nullptr) copy->write("\n", 1);
        line.end = "\r\n";
        break;
      }
      if (next != EOF) in.unget_byte();
    }
    if (kept < 254) {
      buffer[kept++] = static_cast<char>(c);
    } else {
      line.cut = true;
    }
  }
  line.text.assign(std::string_view(buffer, kept));
  return any;
}

void read_list_config(std::string_view name, long line, std::string_view config_path,
                      std::string_view program_path) {
  (void)line;
  (void)config_path;
  if (list_records == nullptr) {
    list_records = static_cast<ListRecord*>(alloc_or_exit(sizeof(ListRecord) * kMaxListConfig));
  }
  PathText path;
  if (!resolve_beside_program(name, program_path, path)) {
    config_warning("path too long", 0, name);
    return;
  }
  if (list_count >= kMaxListConfig) {
    config_warning("too many ListConfig keywords", 0, path);
    return;
  }
  platform::File in;
  if (!in.open(path, platform::OpenMode::read)) {
    config_warning("unable to open list configuration file", 0, path);
    return;
  }
  ListRecord& list = *new (&list_records[list_count]) ListRecord{};
  list.path = path;
  auto drop = [&list] {
    release_members(list);
    list.~ListRecord();
  };

  long number = 0;
  if (read_list_settings(in, list, number, path, program_path)) {
    read_user_records(in, list, number, path, true);
  }
  in.close();
  if (!list.ListName || !list.ListAddress) {
    config_warning("required list keyword ListName or ListAddress missing", number, path);
    drop();
    return;
  }

  if (run_options.test_mode) use_test_copy(list, path);
  platform::file_identity(list.path, list.stamp);
  ++list_count;
  settings->list_config_count = list_count;
}

bool read_user_record(ListRecord& list, const MemberNode& node, UserRecord& user) {
  platform::File& in = list.user_file;
  if (!in.is_open() && !in.open(list.path, platform::OpenMode::read)) {
    note_run_failure();
    log_print("! error obtaining user data from file %s\n", list.path.c_str());
    return false;
  }
  ListLine line;
  bool ok = in.seek(node.position) && read_list_line(in, line) && line.text.view() == "+" &&
            !line.end.empty();
  Text<128>* texts[4] = {&user.address, &user.name, nullptr, &user.password};
  for (int i = 0; ok && i < 4; ++i) {
    ok = read_list_line(in, line);
    if (!ok) break;
    if (texts[i] != nullptr) {
      texts[i]->assign(line.text);
    } else {
      std::string_view digits = line.text;
      long status = 0;
      user.status = scan_signed(digits, status) ? static_cast<int>(status) : 0;
    }
  }
  if (!ok) {
    log_print("! internal consistency error in file %s\n", list.path.c_str());
    return false;
  }
  return true;
}

void close_user_file(ListRecord& list) {
  list.user_file.close();
}

bool find_user(ListRecord& list, std::string_view address, UserRecord& user, FoundUser& found) {
  uint32_t crc = crc32(address.data(), address.size());
  MemberNode** link = &list.chains[member_chain(address)];
  bool result = false;
  for (MemberNode* node = *link; node != nullptr; link = &node->next, node = *link) {
    if (node->crc == crc && read_user_record(list, *node, user) &&
        equals_nocase(user.address, address)) {
      found.node = node;
      found.link = link;
      result = true;
      break;
    }
  }
  close_user_file(list);
  return result;
}

Text<16> member_password(const ListRecord& list, std::string_view text) {
  Text<16> out;
  if (!list.ListPassword || list.ListPassword->empty()) return out;
  std::string_view key = *list.ListPassword;
  // The keyed bytes go into a buffer on the stack; only an unusually long
  // text needs one from the heap.
  char local[512];
  std::string heap;
  char* keyed = local;
  if (text.size() > sizeof local) {
    heap.resize(text.size());
    keyed = heap.data();
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char k = static_cast<unsigned char>(key[i % key.size()]);
    keyed[i] = static_cast<char>(static_cast<unsigned char>(text[i]) ^
                                 static_cast<unsigned char>(~k & 0xFF));
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "%lx", static_cast<unsigned long>(crc32(keyed, text.size())));
  out = hex;
  return out;
}

UserRecord new_user_record(const ListRecord& list, std::string_view from_address,
                           std::string_view from_name) {
  UserRecord user;
  user.address.assign(from_address);
  if (!equals_nocase(from_name, from_address)) user.name.assign(from_name);
  user.status = list.NewStatus;
  user.password = member_password(list, user.address);
  return user;
}

}  // namespace quillmar
