#include "soupside/group_list.hpp"

#include <map>
#include <string>

#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "config/newsfix_files.hpp"
#include "config/settings.hpp"
#include "platform/clock.hpp"
#include "platform/fs.hpp"
#include "soupside/durable.hpp"

namespace quillmar {

namespace {

constexpr long long kDaySeconds = 24 * 60 * 60;

// The first word of a line and the text after the blanks that follow it.
std::string_view first_word(std::string_view line, std::string_view* rest = nullptr) {
  std::size_t end = line.find_first_of(" \t");
  std::string_view word = line.substr(0, end);
  if (rest != nullptr) {
    std::size_t text = line.find_first_not_of(" \t", word.size());
    *rest = text == std::string_view::npos ? std::string_view() : line.substr(text);
  }
  return word;
}

// Sends a LIST command and hands each line of its answer to `line`; false
// (logged) when the server refuses it or the connection fails.
template <class F>
bool list(NntpClient& nntp, const char* command, F&& line) {
  std::string reply;
  int code = nntp.command(command, reply);
  if (code != 215) {
    log_print("! news server: %s: %s\n", command, reply.c_str());
    return false;
  }
  if (nntp.read_lines(line) != NntpClient::Block::complete) {
    log_print("! news server: %s: %s\n", command, nntp.failure().c_str());
    return false;
  }
  return true;
}

}  // namespace

bool group_list_due() {
  if (!settings->newsfix.on()) return false;
  platform::FileStamp st = platform::file_stamp(group_list_path());
  if (!st.exists) return true;
  long long age = static_cast<long long>(platform::now()) - st.mtime_ns / 1000000000;
  return age >= kDaySeconds || age < 0;
}

void fetch_group_list(NntpClient& nntp) {
  std::map<std::string, std::string> groups;
  bool ok = list(nntp, "LIST ACTIVE", [&](std::string_view line) {
    std::string_view name = first_word(line);
    if (valid_group_name(name)) groups.emplace(std::string(name), std::string());
  });
  // Descriptions are a help: a server without them still gives the list.
  ok = ok && (list(nntp, "LIST NEWSGROUPS",
                   [&](std::string_view line) {
                     std::string_view text;
                     std::string_view name = first_word(line, &text);
                     auto it = groups.find(std::string(name));
                     if (it != groups.end()) it->second = text;
                   }) ||
              nntp.is_open());
  if (!ok) {
    note_run_failure();
    return;
  }
  if (run_options.test_mode) {
    log_print("News: the list of %zu group(s) would be kept\n", groups.size());
    return;
  }
  std::string text;
  for (const auto& [name, description] : groups) text += group_list_line(name, description);
  if (!write_file_durably(group_list_path(), text)) {
    note_run_failure();
    return;
  }
  log_print("News: the list of %zu group(s) of the server kept for NewsFix\n", groups.size());
}

}  // namespace quillmar
