#include "soupside/nntp_client.hpp"

#include <cstdio>

#include "base/log.hpp"
#include "base/run_options.hpp"
#include "soupside/durable.hpp"

namespace quillmar {

namespace {

constexpr std::size_t kMaxLine = 4096;
// However large an article a server sends, a run stops reading it here.
constexpr std::size_t kMaxDroppedBlock = std::size_t{1} << 30;

// The reply code of a status line: three digits at its start.
int reply_code(std::string_view line) {
  if (line.size() < 3) return 0;
  int code = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

// The first line of the password file, without its line end; false with
// the system's reason when the file cannot be read.
bool read_password(std::string_view path, std::string& password, std::string& why) {
  std::string text;
  platform::File file;
  if (!file.open(path, platform::OpenMode::read)) {
    why = platform::last_error_text();
    return false;
  }
  char buffer[4096];
  std::size_t n = file.read(buffer, sizeof buffer);
  if (file.read_failed()) {
    why = platform::last_error_text();
    return false;
  }
  file.close();
  std::string_view first(buffer, n);
  password = std::string(first.substr(0, first.find_first_of("\r\n")));
  return true;
}

bool has_bad_characters(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

void parse_article_status(std::string_view reply, uint64_t& number, std::string_view& id) {
  number = 0;
  id = {};
  std::size_t pos = 3;
  while (pos < reply.size() && reply[pos] == ' ') ++pos;
  while (pos < reply.size() && reply[pos] == '0') ++pos;
  std::size_t digits = 0;
  for (; pos < reply.size() && reply[pos] >= '0' && reply[pos] <= '9'; ++pos, ++digits) {
    // More than 19 digits: a number no article has.
    number = digits < 19 ? number * 10 + static_cast<uint64_t>(reply[pos] - '0') : UINT64_MAX;
  }
  while (pos < reply.size() && reply[pos] == ' ') ++pos;
  if (pos < reply.size() && reply[pos] == '<') {
    std::size_t end = reply.find('>', pos);
    if (end != std::string_view::npos) id = reply.substr(pos, end + 1 - pos);
  }
}

bool NntpClient::read_reply(int& code, std::string& reply) {
  if (!connection_.read_line(reply, kMaxLine)) {
    code = 0;
    reply = connection_.failure();
    connection_.close();
    return false;
  }
  code = reply_code(reply);
  if (run_options.verbose) log_print("< %.150s\n", reply.c_str());
  return true;
}

int NntpClient::command(std::string_view line, std::string& reply) {
  if (!connection_.is_open()) {
    reply = "no connection";
    return 0;
  }
  if (run_options.verbose) {
    bool secret = line.substr(0, 13) == "AUTHINFO PASS";
    log_print("> %.*s\n", secret ? 13 : static_cast<int>(std::min<std::size_t>(line.size(), 150)),
              line.data());
  }
  std::string text(line);
  text += "\r\n";
  if (!connection_.write(text)) {
    reply = connection_.failure();
    connection_.close();
    return 0;
  }
  int code = 0;
  read_reply(code, reply);
  return code;
}

bool NntpClient::send_commands(std::string_view lines) {
  if (!connection_.is_open()) return false;
  if (run_options.verbose) {
    for (std::string_view line : text_lines(lines)) {
      log_print("> %.*s\n", static_cast<int>(line.size()), line.data());
    }
  }
  if (!connection_.write(lines)) {
    connection_.close();
    return false;
  }
  return true;
}

int NntpClient::read_status(std::string& reply) {
  int code = 0;
  if (!connection_.is_open()) {
    reply = connection_.failure().empty() ? "no connection" : connection_.failure();
    return 0;
  }
  read_reply(code, reply);
  return code;
}

bool NntpClient::open(const NntpServerSettings& s, uint32_t timeout_seconds, std::string& error) {
  uint16_t port = s.NntpPort != 0 ? s.NntpPort : (s.nntp_tls == NntpTls::tls ? 563 : 119);
  server_key_ = s.NntpServer + ":" + std::to_string(port);
  if (!connection_.connect(s.NntpServer, port, static_cast<int>(timeout_seconds), error)) {
    return false;
  }
  if (s.nntp_tls == NntpTls::tls && !connection_.start_tls(s.NntpServer, s.NntpCaFile, error)) {
    connection_.close();
    return false;
  }
  int code = 0;
  std::string reply;
  if (!read_reply(code, reply) || (code != 200 && code != 201)) {
    error = "the server did not greet: " + reply;
    connection_.close();
    return false;
  }
  if (s.nntp_tls == NntpTls::starttls) {
    code = command("STARTTLS", reply);
    if (code != 382) {
      error = "the server refused STARTTLS: " + reply;
      connection_.close();
      return false;
    }
    if (!connection_.start_tls(s.NntpServer, s.NntpCaFile, error)) {
      connection_.close();
      return false;
    }
  }
  if (command("MODE READER", reply) == 0) {
    error = reply;
    return false;
  }
  if (!s.NntpUser.empty()) {
    std::string password;
    std::string why;
    bool readable = !s.NntpPassFile.empty() && read_password(s.NntpPassFile.view(), password, why);
    if (s.NntpPassFile.empty()) {
      error = "a login (NntpUser) needs NntpPassFile, the file of its password";
    } else if (!readable) {
      error = "the password file " + shown(s.NntpPassFile.view()) +
              " (NntpPassFile) cannot be read: " + why;
    }
    if (!readable) {
      connection_.close();
      return false;
    }
    if (has_bad_characters(s.NntpUser)) {
      error = "NntpUser holds a line end";
      connection_.close();
      return false;
    }
    code = command("AUTHINFO USER " + s.NntpUser, reply);
    if (code == 381) code = command("AUTHINFO PASS " + password, reply);
    if (code != 281) {
      error = "the server did not accept the login: " + reply;
      connection_.close();
      return false;
    }
  }
  return connection_.is_open();
}

NntpClient::Block NntpClient::read_block(std::string& text, std::size_t maximum,
                                         std::size_t& size) {
  text.clear();
  size = 0;
  std::string_view line;
  for (;;) {
    if (!connection_.read_line(line, maximum)) {
      if (!connection_.line_too_long()) {
        connection_.close();
        return Block::broken;
      }
      break;  // the line itself is dropped below
    }
    if (line.size() == 1 && line[0] == '.') return Block::complete;
    if (!line.empty() && line[0] == '.') line.remove_prefix(1);
    size += line.size() + 1;
    if (size > maximum) break;
    text.append(line);
    text.push_back('\n');
  }
  // Too large: the rest is read and dropped, so that the connection stays
  // usable for the next reply.
  text.clear();
  for (;;) {
    std::size_t length = 0;
    bool dot = false;
    if (size > kMaxDroppedBlock || !connection_.skip_line(length, dot)) {
      connection_.close();
      return Block::broken;
    }
    if (dot) return Block::too_large;
    size += length + 1;
  }
}

NntpClient::Block NntpClient::read_lines(const std::function<void(std::string_view)>& each) {
  std::string_view line;
  for (;;) {
    if (!connection_.read_line(line, kMaxLine * 16)) {
      connection_.close();
      return Block::broken;
    }
    if (line.size() == 1 && line[0] == '.') return Block::complete;
    if (!line.empty() && line[0] == '.') line.remove_prefix(1);
    each(line);
  }
}

bool NntpClient::select_group(std::string_view group, uint64_t& low, uint64_t& high,
                              std::string& reply) {
  if (group.find_first_of(" \t\r\n") != std::string_view::npos) {
    reply = "invalid group name";
    return false;
  }
  int code = command("GROUP " + std::string(group), reply);
  if (code != 211) return false;
  // "211 count low high group": three numbers of digits only.
  uint64_t numbers[3] = {0, 0, 0};
  std::size_t pos = 3;
  for (uint64_t& n : numbers) {
    while (pos < reply.size() && reply[pos] == ' ') ++pos;
    std::size_t digits = 0;
    for (; pos < reply.size() && reply[pos] >= '0' && reply[pos] <= '9'; ++pos, ++digits) {
      if (digits == 19) break;
      n = n * 10 + static_cast<uint64_t>(reply[pos] - '0');
    }
    if (digits == 0 || (pos < reply.size() && reply[pos] != ' ')) {
      reply = "the server's GROUP reply is not understood: " + reply;
      return false;
    }
  }
  uint64_t count = numbers[0], first = numbers[1], last = numbers[2];
  low = first;
  high = last;
  if (count == 0 && high < low) high = low == 0 ? 0 : low - 1;
  return true;
}

NntpClient::Post NntpClient::post(std::string_view article, std::string& reply) {
  int code = command("POST", reply);
  if (code != 340) return Post::failed;
  std::string data;
  data.reserve(article.size() + article.size() / 32 + 8);
  for (std::string_view line : text_lines(article)) {
    if (!line.empty() && line[0] == '.') data.push_back('.');
    data.append(line);
    data += "\r\n";
  }
  data += ".\r\n";
  if (!connection_.write(data)) {
    reply = connection_.failure();
    connection_.close();
    return Post::failed;
  }
  int result = 0;
  if (!read_reply(result, reply)) return Post::failed;
  if (result == 240) return Post::accepted;
  // 441 is the server's refusal of this article; anything else is taken as
  // a passing trouble.
  return result == 441 ? Post::refused : Post::failed;
}

void NntpClient::quit() {
  if (!connection_.is_open()) return;
  std::string reply;
  command("QUIT", reply);
  connection_.close();
}

}  // namespace quillmar
