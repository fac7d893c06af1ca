#include "history_damage.hpp"

#include <unistd.h>

#include <algorithm>

#include "harness.hpp"
#include "platform/id_history.hpp"
#include "soupside/header_field.hpp"

namespace quillmar::fuzz {

namespace {

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// "HEX" as bytes (an odd last digit and anything after a non-digit dropped).
std::string hex_bytes(std::string_view hex) {
  std::string out;
  auto digit = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
  };
  for (std::size_t i = 0; i + 1 < hex.size() && out.size() < 64; i += 2) {
    int high = digit(hex[i]), low = digit(hex[i + 1]);
    if (high < 0 || low < 0) break;
    out.push_back(static_cast<char>(high * 16 + low));
  }
  return out;
}

}  // namespace

uint64_t number_of(std::string_view text, uint64_t maximum) {
  uint64_t n = 0;
  for (std::size_t i = 0; i < text.size() && i < 19 && text[i] >= '0' && text[i] <= '9'; ++i) {
    n = n * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  return std::min(n, maximum);
}

bool HistoryDamage::read_word(std::string_view key, std::string_view value) {
  if (key == "cut") {
    has_cut = true;
    cut = number_of(value, UINT64_MAX);
    return true;
  }
  if (key != "poke") return false;
  std::size_t colon = value.find(':');
  if (colon != std::string_view::npos && pokes.size() < 8) {
    pokes.emplace_back(number_of(value.substr(0, colon), 1u << 24),
                       hex_bytes(value.substr(colon + 1)));
  }
  return true;
}

void HistoryDamage::apply() const {
  if (!any()) return;
  std::string file = read_file("soup/HISTORY.MDB");
  if (has_cut && cut < file.size()) file.resize(cut);
  for (const auto& [at, bytes] : pokes) {
    if (at >= file.size()) continue;
    std::size_t n = std::min(bytes.size(), static_cast<std::size_t>(file.size() - at));
    file.replace(at, n, bytes, 0, n);
  }
  write_file("soup/HISTORY.MDB", file);
}

void check_history_after_collect(const std::string& log_, bool damaged,
                                 const std::vector<std::string>& before,
                                 const std::vector<std::string>& packet_ids) {
  std::size_t said = log_.find(" is damaged (");
  if (said != std::string::npos && !damaged) fail("a whole history was set aside");
  if (said != std::string::npos && log_.find(" is damaged (", said + 1) != std::string::npos) {
    fail("the history was said to be damaged twice");
  }
  bool aside = ::access(in_box("soup/HISTORY.BAD").c_str(), F_OK) == 0;
  if ((said != std::string::npos) != aside) {
    fail("HISTORY.BAD is there or not, unlike what the log says");
  }
  for (std::size_t at = log_.find("\n! the history "); at != std::string::npos;
       at = log_.find("\n! the history ", at + 1)) {
    std::string_view line = std::string_view(log_).substr(at + 1);
    line = line.substr(0, line.find('\n'));
    if (!contains(line, " is damaged (") || !contains(line, "; set aside as ")) {
      fail("the history failed without being set aside: %.*s", static_cast<int>(line.size()),
           line.data());
    }
  }
  if (contains(log_, "are not in the history")) fail("Message-IDs were left out of the history");
  platform::IdHistory history;
  std::string error;
  if (!history.open(in_box("soup/HISTORY.MDB"), error)) {
    fail("the history does not open after collect: %s", error.c_str());
  }
  std::size_t with_id = 0;
  for (const std::string& id : packet_ids) {
    if (!is_message_id(id)) continue;
    ++with_id;
    if (id.size() <= 400 && !history.contains(id, 0)) {
      fail("%s is in the packet and not in the history", id.c_str());
    }
  }
  if (!damaged) {
    for (const std::string& id : before) {
      if (id.size() <= 400 && !history.contains(id, 0)) fail("the history lost %s", id.c_str());
    }
  }
  std::size_t news = log_.find("\nNews: ");
  if (said != std::string::npos && said < news && !packet_ids.empty()) {
    std::string count = "\n! ";
    std::size_t at = log_.find(" message(s) taken without the history to check them");
    std::size_t line = at == std::string::npos ? at : log_.rfind(count, at);
    uint64_t n = line == std::string::npos ? 0 : number_of(log_.substr(line + 3), UINT64_MAX);
    if (n < with_id || n > packet_ids.size()) {
      fail("%zu article(s) taken without the history, and the log counts %llu", packet_ids.size(),
           static_cast<unsigned long long>(n));
    }
  }
}

}  // namespace quillmar::fuzz
