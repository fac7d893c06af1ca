#include "nntp_talk.hpp"

namespace quillmar::fuzz {

namespace {

constexpr std::size_t kStatusMax = 4096;
constexpr std::size_t kOverviewLineMax = 65536;
constexpr std::size_t kAny = std::string_view::npos;

// The lines of one side of the talk.
class Lines {
 public:
  explicit Lines(std::string_view text) : text_(text) {}

  // The next line without its LF (and a CR before it); false at the end of
  // the text, where a line has no LF, and from a line longer than `maximum`
  // on (a client gives up there).
  bool next(std::string_view& line, std::size_t maximum = kAny) {
    if (ended_) return false;
    std::size_t lf = text_.find('\n', pos_);
    if (lf == std::string_view::npos) {
      ended_ = true;
      return false;
    }
    line = text_.substr(pos_, lf - pos_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > maximum) {
      ended_ = true;
      return false;
    }
    pos_ = lf + 1;
    return true;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  bool ended_ = false;
};

// A block up to its "." line, without the "." that stuffs its lines: into
// `text` (lines ended by LF) and `each`, where they are given; `size` is
// its size so. False when the lines end before the "." line.
bool read_block(Lines& lines, std::size_t maximum, std::string* text,
                std::vector<std::string_view>* each, std::size_t& size) {
  std::string_view line;
  while (lines.next(line, maximum)) {
    if (line == ".") return true;
    if (!line.empty() && line[0] == '.') line.remove_prefix(1);
    size += line.size() + 1;
    if (text != nullptr) text->append(line).push_back('\n');
    if (each != nullptr) each->push_back(line);
  }
  return false;
}

bool starts_with(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

// A number of 1 to 19 digits.
bool number(std::string_view text, uint64_t& out) {
  if (text.empty() || text.size() > 19) return false;
  out = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

// "211 count low high group": the numbers separated by spaces.
void read_group_answer(std::string_view status, GroupAnswer& g) {
  std::string_view rest = status.substr(3);
  uint64_t numbers[3];
  for (uint64_t& n : numbers) {
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    std::size_t end = rest.find(' ');
    if (!number(rest.substr(0, end), n)) return;
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  }
  g.understood = true;
  g.low = numbers[1];
  g.high = numbers[2];
}

// The digits after the code, leading zeros dropped.
std::string_view status_number(std::string_view line) {
  std::size_t pos = 3;
  while (pos < line.size() && line[pos] == ' ') ++pos;
  while (pos < line.size() && line[pos] == '0') ++pos;
  std::size_t end = pos;
  while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
  return line.substr(pos, end - pos);
}

// "number TAB subject TAB from TAB date TAB message-id TAB ...".
void read_overview_line(std::string_view line, const std::string& group,
                        std::vector<OverviewLine>& out) {
  std::vector<std::string_view> fields;
  for (std::size_t pos = 0; fields.size() < 6;) {
    std::size_t tab = line.find('\t', pos);
    fields.push_back(line.substr(pos, tab == std::string_view::npos ? tab : tab - pos));
    if (tab == std::string_view::npos) break;
    pos = tab + 1;
  }
  OverviewLine o;
  if (fields.size() < 5 || !number(fields[0], o.number)) return;
  std::string_view id = fields[4];
  while (!id.empty() && id.front() == ' ') id.remove_prefix(1);
  while (!id.empty() && id.back() == ' ') id.remove_suffix(1);
  o.group = group;
  o.id.assign(id);
  out.push_back(std::move(o));
}

}  // namespace

int status_code(std::string_view line) {
  if (line.size() < 3) return 0;
  int code = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

std::string_view status_message_id(std::string_view line) {
  std::size_t pos = 3;
  while (pos < line.size() && line[pos] == ' ') ++pos;
  while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') ++pos;
  while (pos < line.size() && line[pos] == ' ') ++pos;
  if (pos >= line.size() || line[pos] != '<') return {};
  std::size_t end = line.find('>', pos);
  return end == std::string_view::npos ? std::string_view() : line.substr(pos, end + 1 - pos);
}

TalkReading read_talk(const NntpTalk& talk) {
  TalkReading r;
  Lines server(talk.served);
  Lines client(talk.received);
  std::string_view status;
  if (!server.next(status, kStatusMax)) return r;
  int greeting = status_code(status);
  r.greeted = greeting == 200 || greeting == 201;
  bool answering = true;  // the script still answers
  std::string group;
  std::string_view command;
  while (client.next(command)) {
    status = {};
    answering = answering && server.next(status, kStatusMax);
    int code = answering ? status_code(status) : 0;
    if (starts_with(command, "GROUP ")) {
      group.assign(command.substr(6));
      GroupAnswer g;
      g.group = group;
      g.code = code;
      if (code == 211) read_group_answer(status, g);
      r.groups.push_back(std::move(g));
    } else if (starts_with(command, "ARTICLE ")) {
      ArticleAnswer a;
      a.group = group;
      number(command.substr(8), a.number);
      a.code = code;
      a.status.assign(status);
      if (code == 220) {
        std::string_view given = status_number(status);
        a.in_step = given.empty() || given == std::to_string(a.number);
        a.whole = read_block(server, kAny, &a.text, nullptr, a.size);
        answering = a.whole;
      }
      r.articles.push_back(std::move(a));
    } else if (starts_with(command, "OVER ")) {
      if (code == 224) {
        std::vector<std::string_view> lines;
        std::size_t size = 0;
        answering = read_block(server, kOverviewLineMax, nullptr, &lines, size);
        if (answering) {
          for (std::string_view line : lines) read_overview_line(line, group, r.overview);
        }
      }
    } else if (starts_with(command, "STAT ")) {
      StatAnswer a{std::string(command.substr(5)), code, std::string(status), group, 0, false};
      if (number(a.id, a.number) && code == 223) {
        std::string_view given = status_number(status);
        a.in_step = given.empty() || given == std::to_string(a.number);
      }
      r.stats.push_back(std::move(a));
    } else if (command == "POST" && code == 340) {
      PostAnswer p;
      std::size_t size = 0;
      p.whole = read_block(client, kAny, &p.text, nullptr, size);
      std::string_view answer;
      answering = answering && server.next(answer, kStatusMax);
      p.code = answering ? status_code(answer) : 0;
      r.posts.push_back(std::move(p));
    }
  }
  return r;
}

}  // namespace quillmar::fuzz
