#include "export/newsfix.hpp"

#include <cstdio>
#include <string>
#include <vector>

#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "config/newsfix_files.hpp"
#include "config/settings.hpp"
#include "export/export_state.hpp"
#include "export/journal.hpp"
#include "export/newsfix_commands.hpp"
#include "fido/packet_writer.hpp"
#include "platform/clock.hpp"
#include "soup/reply.hpp"

namespace quillmar {

namespace {

// The longest command line taken; the rest of a longer line is passed over.
constexpr std::size_t kCommandLineMax = 256;
// The most bytes of text of one answer message; a longer answer is split.
constexpr std::size_t kAnswerPartMax = 60000;
// The most command lines of one message that are read.
constexpr std::size_t kCommandLinesMax = 1000;

struct Robot {
  bool loaded = false;
  bool unreadable = false;
  Subscriptions base;     // as the file held them at the start
  Subscriptions current;  // with this run's changes
  std::vector<SubscriptionChange> changes;
  bool have_server_groups = false;
  std::vector<ServerGroup> server_groups;
  std::vector<std::string> answers;  // packed messages
};
Robot robot;

std::string subscriptions_temp() {
  return std::string(settings->SoupDir.view()) + "NEWSFIX.SNT";
}
std::string answers_temp() {
  return std::string(settings->InboundDir.view()) + "NEWSFIX.NFT";
}

void remove_left_temp(const std::string& path) {
  if (!platform::file_exists(path)) return;
  if (platform::remove_file(path)) {
    log_print("* %s removed: left by an interrupted run\n", platform::shown_path(path).c_str());
  } else {
    log_print("! can't remove %s: %s\n", platform::shown_path(path).c_str(),
              platform::last_error());
    note_run_failure();
  }
}

// Reads the subscriptions and the server's list once per run; false when
// the subscriptions cannot be read (reported once).
bool load() {
  if (robot.loaded) return !robot.unreadable;
  robot.loaded = true;
  std::string error;
  if (!read_subscriptions(subscriptions_path(), robot.base, error)) {
    log_print("! %s cannot be read (%s): command messages for %s are kept\n",
              platform::shown_path(subscriptions_path()).c_str(), error.c_str(),
              settings->newsfix.name.c_str());
    note_run_failure();
    robot.unreadable = true;
    return false;
  }
  robot.current = robot.base;
  robot.have_server_groups = read_group_list(group_list_path(), robot.server_groups);
  return true;
}

// The command message's text lines, without kludges; `in` is left after
// its NUL. Control characters become blanks.
std::vector<std::string> read_text_lines(platform::File& in) {
  std::vector<std::string> lines;
  std::string line;
  bool whole = true;  // the line so far fits
  for (;;) {
    char piece[kCommandLineMax + 1];
    CrLine r = read_cr_line(in, piece);
    if (whole) {
      for (const char* p = piece; *p != '\0'; ++p) {
        if (line.size() >= kCommandLineMax) {
          whole = false;
          break;
        }
        const unsigned char c = static_cast<unsigned char>(*p);
        line += (c < 0x20 && c != 0x01) || c == 0x7F ? ' ' : *p;
      }
    }
    if (r == CrLine::too_long) continue;
    if (!line.empty() && line.front() != '\x01' && !starts_with_nocase(line, "SEEN-BY:") &&
        lines.size() < kCommandLinesMax) {
      lines.push_back(line);
    }
    line.clear();
    whole = true;
    if (r == CrLine::ended) return lines;
  }
}

// Writes `text` cut to `maximum` characters, then its NUL.
void put_zstring(std::string& out, std::string_view text, std::size_t maximum) {
  text = text.substr(0, maximum);
  out.append(text.substr(0, text.find('\0')));
  out += '\0';
}

// The packed netmail from the robot to the writer of the command message.
std::string packed_answer(const FtnAddress& to, std::string_view to_name, std::string_view text,
                          std::string_view reply_to, std::string_view subject) {
  const FtnAddress& from = settings->FidoAddr;
  std::string out;
  auto header = packed_message_header(from, to, kAttributePrivate);
  out.append(reinterpret_cast<const char*>(header.data()), header.size());
  platform::LocalTime lt = platform::local_time(platform::now());
  char date[32];
  std::snprintf(date, sizeof date, "%02d %-3s %02d  %02d:%02d:%02d", lt.day % 100,
                kMonthNames[(lt.month - 1) % 12], lt.year % 100, lt.hour % 100, lt.minute % 100,
                lt.second % 100);
  put_zstring(out, date, 19);
  put_zstring(out, to_name, 35);
  put_zstring(out, settings->newsfix.name, 35);
  put_zstring(out, subject, 71);

  char line[128];
  std::snprintf(line, sizeof line, "\x01INTL %s %s\r",
                ftn_address_text(to, PointForm::never).c_str(),
                ftn_address_text(from, PointForm::never).c_str());
  out += line;
  if (from.point != 0) {
    std::snprintf(line, sizeof line,
                  "\x01"
                  "FMPT %u\r",
                  unsigned{from.point});
    out += line;
  }
  if (to.point != 0) {
    std::snprintf(line, sizeof line, "\x01TOPT %u\r", unsigned{to.point});
    out += line;
  }
  // A serial no other answer of this gateway has: the time, the text and
  // the number of the answer in the run.
  uint32_t serial = static_cast<uint32_t>(platform::now()) ^ crc32(text.data(), text.size()) ^
                    static_cast<uint32_t>(robot.answers.size() * 0x9E3779B1u);
  std::snprintf(line, sizeof line, "\x01MSGID: %s %08x\r",
                ftn_address_text(from, PointForm::when_set).c_str(), serial);
  out += line;
  if (!reply_to.empty() && reply_to.size() < 100) {
    out += "\x01REPLY: ";
    out += reply_to;
    out += '\r';
  }
  bool eight_bit = false;
  for (char c : text) eight_bit = eight_bit || static_cast<unsigned char>(c) >= 0x80;
  if (eight_bit)
    out +=
        "\x01"
        "CHRS: UTF-8 4\r";
  out.append(text);
  out += '\0';
  return out;
}

// Writes `data` under `temp`, puts it on disk with its directory entry;
// false (reported, the file removed) when that fails.
bool write_temp(const std::string& temp, std::string_view data) {
  platform::File f;
  bool ok = f.open(temp, platform::OpenMode::write, platform::Share::deny_write) &&
            f.write(data.data(), data.size()) && f.sync();
  ok = f.close() && ok;
  ok = ok && platform::sync_directory_of(temp);
  if (ok) return true;
  log_print("! error writing %s: %s\n", platform::shown_path(temp).c_str(), platform::last_error());
  platform::remove_exact(temp);
  return false;
}

}  // namespace

void newsfix_start() {
  robot = Robot{};
  if (!settings->newsfix.on() || run_options.test_mode) return;
  // A temporary file an owed install still needs stays.
  if (journal_owes_install()) return;
  remove_left_temp(subscriptions_temp());
  remove_left_temp(answers_temp());
}

bool newsfix_is_command(std::string_view area) {
  return settings->newsfix.on() && export_state.target == ExportTarget::gateway &&
         (equals_nocase(area, "NETMAIL") || equals_nocase(area, settings->EmailArea.view())) &&
         equals_nocase(export_state.message->to_name.view(), settings->newsfix.name);
}

void newsfix_take_command(platform::File& in, std::string_view reply_to) {
  const ExportMessage& m = *export_state.message;
  std::vector<std::string> lines = read_text_lines(in);
  const Text<32> node_text = ftn_address_text(m.origin, PointForm::when_set);
  log_print("* %s: command message from %s (%s)\n", settings->newsfix.name.c_str(),
            node_text.c_str(), m.from_name.c_str());
  if (journal_owes_install()) {
    log_print("! an answer of an earlier run is not yet in place: the message from %s waits\n",
              node_text.c_str());
    export_state.write_failed = true;
    return;
  }
  if (!load()) {
    export_state.write_failed = true;
    return;
  }
  CommandContext ctx;
  ctx.node = m.origin;
  ctx.entry = newsfix_entry_of(m.origin);
  ctx.server_groups = robot.have_server_groups ? &robot.server_groups : nullptr;
  std::string text = carry_out_commands(ctx, m.subject.view(), lines, robot.current, robot.changes);
  // A long answer (a LIST of a large server) goes in parts that every
  // tosser and reader takes, cut between lines.
  std::vector<std::string_view> parts;
  for (std::string_view rest = text; !rest.empty();) {
    std::size_t cut = rest.size();
    if (cut > kAnswerPartMax) {
      cut = rest.rfind('\r', kAnswerPartMax - 1);
      cut = cut == std::string_view::npos ? kAnswerPartMax : cut + 1;
    }
    parts.push_back(rest.substr(0, cut));
    rest.remove_prefix(cut);
  }
  const std::string subject = settings->newsfix.name + " answer";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::string part_subject = subject;
    if (parts.size() > 1) {
      part_subject += " (" + std::to_string(i + 1) + "/" + std::to_string(parts.size()) + ")";
    }
    robot.answers.push_back(
        packed_answer(m.origin, m.from_name.view(), parts[i], reply_to, part_subject));
  }
}

std::size_t newsfix_answer_count() {
  return robot.answers.size();
}

NewsFixMark newsfix_mark() {
  return NewsFixMark{robot.changes.size(), robot.answers.size()};
}

void newsfix_rollback(const NewsFixMark& mark) {
  if (robot.changes.size() > mark.changes) {
    robot.changes.resize(mark.changes);
    robot.current = robot.base;
    for (const SubscriptionChange& c : robot.changes) {
      if (c.add) {
        robot.current.add(c.group, c.tag, c.node);
      } else {
        robot.current.remove(c.group, c.node);
      }
    }
    log_print("* %s: the changes of a message that is kept are taken back\n",
              settings->newsfix.name.c_str());
  }
  if (robot.answers.size() > mark.answers) robot.answers.resize(mark.answers);
}

namespace {

bool write_robot_files() {
  if (!robot.changes.empty()) {
    const std::string temp = subscriptions_temp();
    if (!write_temp(temp, subscriptions_text(robot.current))) return false;
    journal_install(temp, subscriptions_path(), true);
  }
  if (!robot.answers.empty()) {
    PathText final_name;
    if (!unique_hex_name(settings->InboundDir.view(), "PKT", final_name)) {
      log_print("! no free packet name in %s\n",
                platform::shown_path(settings->InboundDir.view()).c_str());
      return false;
    }
    auto header = packet_header_bytes(platform::local_time(platform::now()));
    std::string data(reinterpret_cast<const char*>(header.data()), header.size());
    for (const std::string& answer : robot.answers) data += answer;
    data.append(2, '\0');
    const std::string temp = answers_temp();
    if (!write_temp(temp, data)) return false;
    journal_install(temp, final_name.view(), false);
  }
  return true;
}

}  // namespace

bool newsfix_prepare_commit() {
  if (run_options.test_mode || (robot.changes.empty() && robot.answers.empty())) return true;
  if (write_robot_files()) return true;
  // The run does not commit: its reply files stay unlisted (the next run
  // removes them) and every input stays for the next run.
  log_print("! the answers of %s could not be put on disk: nothing of this run is sent\n",
            settings->newsfix.name.c_str());
  note_run_failure();
  clear_held_listings();
  return false;
}

}  // namespace quillmar
