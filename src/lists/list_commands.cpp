#include "lists/list_commands.hpp"

#include <cinttypes>
#include <cstdio>

#include "base/char_class.hpp"
#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "base/version.hpp"
#include "fido/address_mapping.hpp"
#include "fido/message_record.hpp"
#include "platform/clock.hpp"
#include "rfc/header_writer.hpp"
#include "soup/reply.hpp"

namespace quillmar {

namespace {

// Grows by a fixed odd step before every administrative reply, so that two
// replies in the same second get different Message-IDs.
constexpr uint32_t kAdminSerialStep = 0x398A6CDF;
uint32_t admin_serial = 0;
long failures = 0;  // list changes that could not be made
// Without a journal no change is noted.
const ListJournal kNoListJournal{[](std::string_view, long) { return true; },
                                 [](std::string_view, long) { return true; }};
const ListJournal* list_journal = &kNoListJournal;

// The next token of `rest` (text up to white space, at most 127
// characters); `rest` is left after it and the white space that follows.
Text<128> next_token(std::string_view& rest) {
  std::size_t end = 0;
  while (end < rest.size() && !is_line_space(rest[end])) ++end;
  Text<128> token(rest.substr(0, end));
  while (end < rest.size() && is_line_space(rest[end])) ++end;
  rest.remove_prefix(end);
  return token;
}

// The passwords of a command subject: the command word, the password and,
// for "changepass", the new password.
struct CommandTokens {
  Text<128> password;
  Text<128> new_password;
};

CommandTokens split_subject(std::string_view subject) {
  CommandTokens tokens;
  next_token(subject);  // the command word
  tokens.password = next_token(subject);
  tokens.new_password = next_token(subject);
  return tokens;
}

bool has_password(const ListRecord& list) {
  return list.ListPassword && !list.ListPassword->empty();
}

const char* text_or_absent(const std::optional<ListText>& text) {
  return text ? text->c_str() : nullptr;
}

// Writes one field line of a user record: a line break inside the text
// would shift every later record, so it is written as a blank.
bool write_record_line(platform::File& out, std::string_view text) {
  for (char c : text) {
    char byte = (c == '\r' || c == '\n') ? ' ' : c;
    out.write(&byte, 1);
  }
  return out.write("\n", 1);
}

// True when the top part of the open list file ends in a "ListUsers" line.
bool has_user_list(platform::File& file) {
  if (!file.seek(0)) return false;
  ListLine line;
  while (read_list_line(file, line)) {
    if (starts_with_nocase(line.text, "ListUsers")) return true;
  }
  return false;
}

// Appends `user` as a current member at the end of the open list file. A
// file that does not end in a line end gets one first, and a file without a
// user list gets its "ListUsers" line, so that the record is read back as
// one at the next start. `end` is the old size of the file, `position` the
// place of the new marker line.
bool append_user_record(platform::File& file, std::string_view path, const UserRecord& user,
                        long& end, long& position) {
  bool users = has_user_list(file);
  if (!file.seek(0, SEEK_END) || (end = file.tell()) < 0) return false;
  // Noted first, so that an interrupted run takes the record back.
  if (!list_journal->note_size(path, end)) {
    end = -1;
    return false;
  }
  bool line_end = true;
  if (end > 0) {
    if (!file.seek(end - 1)) return false;
    line_end = file.get_byte() == '\n';
  }
  if (!file.seek(end)) return false;
  if (!line_end) file.write("\n", 1);
  if (!users) file.write("ListUsers\n");
  position = file.tell();
  file.write("+\n", 2);
  write_record_line(file, user.address);
  write_record_line(file, user.name);
  file.printf("%d\n", user.status);
  write_record_line(file, user.password);
  return file.flush() && position >= 0;
}

// Checks that the record at `position` of the open list file is the current
// record of `address`.
bool record_matches(platform::File& file, long position, std::string_view address) {
  ListLine line;
  if (!file.seek(position) || !read_list_line(file, line) || line.text.view() != "+" ||
      line.end.empty()) {
    return false;
  }
  return read_list_line(file, line) && !line.cut && equals_nocase(line.text, address);
}

bool overwrite_marker(platform::File& file, long position, char marker) {
  return file.seek(position) && file.write(&marker, 1) && file.flush();
}

// Marks the record at `position` removed, noted first in the journal.
bool remove_marker(platform::File& file, std::string_view path, long position) {
  return list_journal->note_mark(path, position) && overwrite_marker(file, position, '*');
}

// Takes back a change that did not reach the list file whole: the file is
// cut back to `size` and, when `marker` is not negative, the marker there
// becomes "+" again.
void restore_list_file(const ListRecord& list, long size, long marker) {
  if (size < 0 && marker < 0) return;
  platform::File file;
  bool ok = file.open_waiting(list.path, platform::OpenMode::update, settings->LockWait);
  if (ok && size >= 0) ok = file.truncate(size);
  if (ok && marker >= 0) ok = overwrite_marker(file, marker, '+');
  if (!file.close() || !ok) {
    log_print("! %s could not be restored: %s\n", list.path.c_str(), platform::last_error());
  }
}

// The list file, held against other writers (waiting for one that holds
// it), as the index was read from it.
bool take_list_file(ListRecord& list, platform::File& file) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!file.open_waiting(list.path, platform::OpenMode::update, settings->LockWait)) {
      return false;
    }
    // A file replaced while we waited is opened again under its name.
    platform::FileIdentity held;
    platform::FileIdentity named;
    if (file.identity(held) && platform::file_identity(list.path, named) &&
        held.inode == named.inode && held.device == named.device) {
      if (refresh_list(list)) return true;
      break;
    }
    file.close();
  }
  file.close();
  return false;
}

// Closes the list file after a change, and notes it as our own.
bool close_list_file(ListRecord& list, platform::File& file) {
  bool ok = file.close();
  note_list_written(list);
  return ok;
}

void subscribe(ListRecord& list, platform::File& file, const UserRecord& user,
               const ListRequest& request) {
  long end = -1;
  long position = -1;
  bool ok = append_user_record(file, list.path, user, end, position);
  if (!close_list_file(list, file) || !ok) {
    restore_list_file(list, end, -1);
    note_list_written(list);
    ++failures;
    note_run_failure();
    log_print("! unable to add new user to %s\n", list.path.c_str());
    return;
  }
  if (!add_member(list, user.address, position)) {
    log_print(
        "! not enough memory for new user; changes will become\n"
        "  effective only upon next program invocation\n");
  }
  send_admin_reply(list, user, list.Welcome, request);
}

void unsubscribe(ListRecord& list, platform::File& file, const UserRecord& user,
                 const FoundUser& found, const ListRequest& request) {
  if (!record_matches(file, found.node->position, user.address)) {
    file.close();
    log_print("! internal consistency error in file %s\n", list.path.c_str());
    return;
  }
  bool ok = remove_marker(file, list.path, found.node->position);
  if (!close_list_file(list, file) || !ok) {
    restore_list_file(list, -1, found.node->position);
    note_list_written(list);
    ++failures;
    note_run_failure();
    log_print("! unable to delete user from %s\n", list.path.c_str());
    return;
  }
  MemberNode* node = found.node;
  *found.link = node->next;
  delete node;
  --list.member_count;
  send_admin_reply(list, user, list.GoodBye, request);
}

// The changed record is appended before the old one is marked removed, so
// that a failure in between never loses the member.
void change_password(ListRecord& list, platform::File& file, UserRecord& user,
                     const FoundUser& found, std::string_view password,
                     const ListRequest& request) {
  long old_position = found.node->position;
  if (!record_matches(file, old_position, user.address)) {
    file.close();
    log_print("! internal consistency error in file %s\n", list.path.c_str());
    return;
  }
  UserRecord changed = user;
  changed.password.assign(password);
  long end = -1;
  long position = -1;
  bool ok = append_user_record(file, list.path, changed, end, position) &&
            remove_marker(file, list.path, old_position);
  if (!close_list_file(list, file) || !ok) {
    restore_list_file(list, end, old_position);
    note_list_written(list);
    ++failures;
    note_run_failure();
    log_print("! unable to change user data in %s\n", list.path.c_str());
    return;
  }
  found.node->position = position;
  user = changed;
  send_admin_reply(list, user, list.NewPassword, request);
}

// The header of an administrative reply to `user` about the message
// `header` that asked for it.
void write_reply_header(HeaderWriter& out, const ListRecord& list, const UserRecord& user,
                        const MessageHeader& header) {
  const Settings& s = *settings;
  std::string_view list_address = list.ListAddress ? list.ListAddress->view() : "";
  out.start("To");
  out.value(user.address);
  if (!user.name.empty()) {
    out.raw(" (");
    out.value(user.name);
    out.raw(")");
  }
  out.end();
  out.start("From");
  out.value(list_address);
  if (list.ListName && !list.ListName->empty()) {
    out.raw(" (");
    out.value(*list.ListName);
    out.raw(")");
  }
  out.end();
  out.field("Reply-to", list_address);
  out.start("Subject");
  out.raw("Re: ");
  out.value(header.subject);
  out.end();

  std::time_t t = platform::now();
  platform::LocalTime lt = platform::local_time(t);
  out.date(HeaderDate{lt.weekday, lt.day, lt.month - 1, lt.year, lt.hour, lt.minute, lt.second},
           s.TimeZone.c_str());

  admin_serial += kAdminSerialStep;
  uint32_t number = static_cast<uint32_t>(t) ^ crc32(user.address.c_str(), user.address.size()) ^
                    crc32(header.subject.c_str(), header.subject.size()) ^ admin_serial;
  char serial[32];
  std::snprintf(serial, sizeof serial, "<admin-%" PRIu32 "-", number);
  out.start("Message-ID");
  out.raw(serial);
  out.value(list_address);
  out.raw(">");
  out.end();
  // A message without an identifier of its own has nothing to refer to.
  const MessageRef& ref = header.msgid_ref;
  if (!ref.id_text.empty() || ref.serial != 0) {
    out.field("In-Reply-To", message_id_text(ref.id_text, ref.serial, ref.address));
  }
  if (!header.organization.empty()) {
    out.field("Organization", header.organization);
    if (!s.Organization.empty()) out.field("X-MailListOrg", s.Organization.c_str());
  } else if (!s.Organization.empty()) {
    out.field("Organization", s.Organization.c_str());
  }
  out.program("X-MailServer");
  out.finish();
}

// The next piece of a template: at most 127 characters up to and
// including a line end (CR LF read as LF), NUL bytes left out. Empty at
// the end of the file; `ended` tells whether the file ended with it.
std::size_t read_template_piece(platform::File& text, char (&piece)[256], bool& ended) {
  std::size_t n = 0;
  int c = EOF;
  while (n < 127 && (c = text.get_byte()) != EOF) {
    if (c == '\0') continue;
    if (c == '\r') {
      // Template files may be written with CR LF line ends.
      int next = text.get_byte();
      if (next == '\n') {
        c = next;
      } else if (next != EOF) {
        text.unget_byte();
      }
    }
    piece[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  piece[n] = '\0';
  ended = c == EOF;
  return n;
}

// The template in pieces of at most 127 characters, each with its
// placeholders replaced.
void write_template_text(platform::File& out, platform::File& text, const ListRecord& list,
                         const UserRecord& user) {
  const char* values[8] = {text_or_absent(list.ListName),
                           text_or_absent(list.ListAddress),
                           text_or_absent(list.ListArea),
                           user.name.c_str(),
                           user.address.c_str(),
                           user.password.c_str(),
                           text_or_absent(list.KeeperName),
                           text_or_absent(list.KeeperAddress)};
  static constexpr std::string_view kPlaceholders[8] = {
      "@LISTNAME@",    "@LISTADDRESS@", "@LISTAREA@",   "@YOURNAME@",
      "@YOURADDRESS@", "@PASSWORD@",    "@KEEPERNAME@", "@KEEPERADDRESS@"};
  char piece[256];
  for (;;) {
    bool ended = false;
    if (read_template_piece(text, piece, ended) == 0) break;
    for (int i = 0; i < 8; ++i) {
      replace_placeholder(piece, sizeof piece, kPlaceholders[i], values[i]);
    }
    out.write(std::string_view(piece));
    if (ended) break;
  }
}

// The verbose line of a reply written.
void report_reply(const ListRecord& list, const UserRecord& user, const PathText& template_file) {
  progress_return();
  log_print("+ reply from %s", list.ListAddress ? list.ListAddress->c_str() : "");
  if (list.ListName && !list.ListName->empty()) log_print(" (%s)", list.ListName->c_str());
  log_print(" to %s", user.address.c_str());
  if (!user.name.empty()) log_print(" (%s)", user.name.c_str());
  log_print(": %s\n", template_file.c_str());
}

}  // namespace

void reset_admin_serial() {
  admin_serial = 0;
}

void set_list_journal(const ListJournal* journal) {
  list_journal = journal != nullptr ? journal : &kNoListJournal;
}

long list_failures() {
  return failures;
}

void list_command(ListRecord& list, int command, const ListRequest& request) {
  const MessageHeader& header = request.message;
  if (header.from_address.empty()) return;  // nobody to answer
  // Held from the look-up to the change, so that no other writer comes
  // between them.
  platform::File file;
  if (!take_list_file(list, file)) {
    // Held by another program for longer than LockWait: the command is kept
    // for a later run.
    const char* what = command == kCommandUnsubscribe  ? "delete user from"
                       : command == kCommandChangepass ? "change user data in"
                                                       : "add new user to";
    log_print("! unable to %s %s\n", what, list.path.c_str());
    ++failures;
    return;
  }
  UserRecord user;
  FoundUser found;
  bool is_new = !find_user(list, header.from_address, user, found);
  if (is_new) {
    user = new_user_record(list, header.from_address, header.from_name);
    if (command != kCommandSubscribe) {
      send_admin_reply(list, user, list.SubscribeInfo, request);
      return;
    }
  }
  if (user.status == kStatusBarred) {
    send_admin_reply(list, user, list.BlackList, request);
    return;
  }
  CommandTokens tokens = split_subject(header.subject);
  Text<128> new_password = tokens.new_password;
  if (has_password(list)) {
    if (tokens.password.empty() || (command == kCommandChangepass && tokens.new_password.empty()) ||
        tokens.password.view() != user.password.view()) {
      send_admin_reply(list, user, list.PasswordInfo, request);
      return;
    }
  } else {
    // Without passwords there is no old one to give: the word after the
    // command is the new password.
    new_password = tokens.password;
  }
  switch (command) {
    case kCommandSubscribe:
      if (is_new) {
        subscribe(list, file, user, request);
      } else {
        send_admin_reply(list, user, list.Welcome, request);
      }
      break;
    case kCommandUnsubscribe:
      unsubscribe(list, file, user, found, request);
      break;
    case kCommandChangepass:
      change_password(list, file, user, found, new_password, request);
      break;
    default:
      break;
  }
}

void send_admin_reply(ListRecord& list, const UserRecord& user,
                      const std::optional<PathText>& template_file, const ListRequest& request) {
  if (!template_file || template_file->empty() || user.address.empty()) return;
  platform::File text;
  if (!text.open(*template_file, platform::OpenMode::read)) return;
  platform::File out;
  if (!open_reply_message(kReplyMail, out)) {
    text.close();
    return;
  }
  HeaderWriter writer(out);
  write_reply_header(writer, list, user, request.message);
  write_template_text(out, text, list, user);
  if (run_options.verbose) report_reply(list, user, *template_file);
  text.close();
  // Listed in REPLIES by the import once the message is committed (with
  // SeparateMSG right after it, so that each reply has a file of its own).
  if (close_reply_message(kReplyMail, out)) ++request.replies;
}

}  // namespace quillmar
