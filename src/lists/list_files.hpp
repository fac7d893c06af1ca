// Mailing-list configuration files: the list settings at the top, then after
// a "ListUsers" line the members as five-line user records. Each list is
// loaded once at start-up into a list record with a member index of 27
// chains (by the first letter of the address) holding the CRC-32 of each
// address and the file position of its record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "base/bounded_text.hpp"
#include "config/settings.hpp"
#include "platform/fs.hpp"

namespace quillmar {

inline constexpr int kMemberChains = 27;
inline constexpr uint8_t kStatusReadOnly = 2;
inline constexpr uint8_t kStatusBarred = 3;

struct UserRecord {
  Text<128> address;
  Text<128> name;  // empty when it was the same as the address
  int status = 0;
  Text<128> password;
};

struct MemberNode {
  uint32_t crc = 0;   // CRC-32 of the exact address text
  long position = 0;  // file position of the record's marker line
  MemberNode* next = nullptr;
};

// Text of a list setting: at most 254 characters, as a line can hold.
using ListText = Text<256>;

struct ListRecord {
  PathText path;  // the list file (its ".~LC" copy under /TEST)
  std::optional<ListText> ListName;
  std::optional<ListText> ListAddress;
  std::optional<ListText> ListArea;
  std::optional<ListText> ListPassword;
  uint8_t NewStatus = 1;
  std::optional<ListText> KeeperName;
  std::optional<ListText> KeeperAddress;
  // Template files, resolved like configuration file names.
  std::optional<PathText> SubscribeInfo;
  std::optional<PathText> Welcome;
  std::optional<PathText> GoodBye;
  std::optional<PathText> PasswordInfo;
  std::optional<PathText> NewPassword;
  std::optional<PathText> ReadOnly;
  std::optional<PathText> BlackList;
  long member_count = 0;  // current members only
  // Chain 0: addresses not beginning with a letter; 1-26: "a" to "z".
  MemberNode* chains[kMemberChains] = {};
  platform::File user_file;      // kept open by read_user_record
  platform::FileIdentity stamp;  // the list file as the index was read from it
};

// Reads the member index again when the list file is no longer the one it
// was read from (changed by PACK or an editor). False when it cannot be
// read.
bool refresh_list(ListRecord& list);
// Takes note of the list file as the program itself has just written it.
void note_list_written(ListRecord& list);

// The lists loaded from the configuration (at most kMaxListConfig), in
// configuration order; a list's number in messages is its position counted
// from 1.
std::span<ListRecord> lists();

// Loads one list named by a ListConfig line (`line` of `config_path`);
// problems are warnings, and the list is stored only when it has its
// ListName and ListAddress.
void read_list_config(std::string_view name, long line, std::string_view config_path,
                      std::string_view program_path);

// The chain of an address: 1-26 for a first letter "a" to "z" in either
// case, 0 otherwise.
int member_chain(std::string_view address);

// Reads the record of `node` from the list file, which stays open for
// further reads until close_user_file. Failures are reported.
bool read_user_record(ListRecord& list, const MemberNode& node, UserRecord& user);
void close_user_file(ListRecord& list);

// Finds the member whose address is `address` (same characters, compared
// again without regard to case after the CRC-32 matched). `link` is the
// pointer that points to the node, for unlinking it.
struct FoundUser {
  MemberNode* node = nullptr;
  MemberNode** link = nullptr;
};
bool find_user(ListRecord& list, std::string_view address, UserRecord& user, FoundUser& found);

// The keyed password of `text`: "%lx" of the CRC-32 of the text XORed with
// the complement of ListPassword; empty without a ListPassword.
Text<16> member_password(const ListRecord& list, std::string_view text);

// Appends a node for the record of `address` at `position` to the end of its
// chain and counts the member; false when memory is gone.
bool add_member(ListRecord& list, std::string_view address, long position);

// A user record for the sender of the current message.
UserRecord new_user_record(const ListRecord& list, std::string_view from_address,
                           std::string_view from_name);

// One line of a list file: at most 254 characters of its text are kept (a
// longer line is still read to its end), the line end apart. When `copy` is
// given, every byte of the line, line end included, is written to it.
struct ListLine {
  Text<256> text;
  Text<4> end;  // "\n", "\r\n", or empty at the end of the file
  bool cut = false;
};
bool read_list_line(platform::File& in, ListLine& line, platform::File* copy = nullptr);

// Makes the configuration reader take the ListConfig keyword; called at
// start-up, before the configuration is read.
void register_list_keywords();

// Forgets every list (tests).
void reset_lists();

}  // namespace quillmar
