#include "config/newsfix_files.hpp"

#include <algorithm>

#include "base/char_class.hpp"
#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"

namespace quillmar {

namespace {

constexpr std::string_view kSubscriptionsHeader =
    "# Quillmar NewsFix subscriptions: group tag nodes";

bool group_before(const SubscribedGroup& g, std::string_view name) {
  return g.name < name;
}

// The words of a line separated by blanks.
std::vector<std::string_view> words_of(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    std::size_t end = pos;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    if (end > pos) words.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  return words;
}

// A whole address of four fields, as written by append_ftn_address.
bool read_whole_address(std::string_view text, FtnAddress& out) {
  std::string_view rest = text;
  FtnAddress a;
  if (read_ftn_address(rest, a, 4) != 4 || !rest.empty()) return false;
  out = a;
  return true;
}

// One pattern of a wildmat (no commas, no "!") against `name`.
bool pattern_match(std::string_view p, std::string_view n) {
  std::size_t pi = 0, ni = 0, star = std::string_view::npos, mark = 0;
  while (ni < n.size()) {
    if (pi < p.size() && p[pi] == '*') {
      star = pi++;
      mark = ni;
      continue;
    }
    if (pi < p.size() && p[pi] == '[') {
      std::size_t k = pi + 1;
      bool negate = k < p.size() && (p[k] == '^' || p[k] == '!');
      if (negate) ++k;
      bool found = false;
      bool first = true;
      while (k < p.size() && (p[k] != ']' || first)) {
        first = false;
        char low = p[k];
        char high = low;
        if (k + 2 < p.size() && p[k + 1] == '-' && p[k + 2] != ']') {
          high = p[k + 2];
          k += 2;
        }
        if (n[ni] >= low && n[ni] <= high) found = true;
        ++k;
      }
      if (k < p.size() && found != negate) {
        pi = k + 1;
        ++ni;
        continue;
      }
    } else if (pi < p.size() && (p[pi] == '?' || p[pi] == n[ni])) {
      ++pi;
      ++ni;
      continue;
    }
    if (star == std::string_view::npos) return false;
    pi = star + 1;
    ni = ++mark;
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

bool tag_character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
}

}  // namespace

const SubscribedGroup* Subscriptions::find(std::string_view name) const {
  auto it = std::lower_bound(groups.begin(), groups.end(), name, group_before);
  return it != groups.end() && it->name == name ? &*it : nullptr;
}

std::size_t Subscriptions::count_of(const FtnAddress& node) const {
  std::size_t n = 0;
  for (const SubscribedGroup& g : groups) {
    if (std::find(g.nodes.begin(), g.nodes.end(), node) != g.nodes.end()) ++n;
  }
  return n;
}

bool Subscriptions::has(std::string_view name, const FtnAddress& node) const {
  const SubscribedGroup* g = find(name);
  return g != nullptr && std::find(g->nodes.begin(), g->nodes.end(), node) != g->nodes.end();
}

void Subscriptions::add(std::string_view name, std::string_view tag, const FtnAddress& node) {
  auto it = std::lower_bound(groups.begin(), groups.end(), name, group_before);
  if (it == groups.end() || it->name != name) {
    it = groups.insert(it, SubscribedGroup{std::string(name), std::string(tag), {}});
  }
  if (std::find(it->nodes.begin(), it->nodes.end(), node) == it->nodes.end()) {
    it->nodes.push_back(node);
  }
}

void Subscriptions::remove(std::string_view name, const FtnAddress& node) {
  auto it = std::lower_bound(groups.begin(), groups.end(), name, group_before);
  if (it == groups.end() || it->name != name) return;
  it->nodes.erase(std::remove(it->nodes.begin(), it->nodes.end(), node), it->nodes.end());
  if (it->nodes.empty()) groups.erase(it);
}

std::string subscriptions_text(const Subscriptions& subs) {
  std::string text(kSubscriptionsHeader);
  text += '\n';
  for (const SubscribedGroup& g : subs.groups) {
    text += g.name;
    text += ' ';
    text += g.tag;
    for (const FtnAddress& node : g.nodes) {
      text += ' ';
      append_ftn_address(text, node, PointForm::always);
    }
    text += '\n';
  }
  return text;
}

bool read_subscriptions(std::string_view path, Subscriptions& out, std::string& error) {
  out.groups.clear();
  error.clear();
  if (!platform::file_stamp(path).exists) return true;
  std::string data;
  if (!read_whole_file(path, data)) {
    error = platform::last_error();
    return false;
  }
  std::size_t pos = 0;
  long number = 0;
  while (pos < data.size()) {
    std::string_view line = next_line(data, pos);
    ++number;
    if (line.empty() || line.front() == '#') continue;
    std::vector<std::string_view> words = words_of(line);
    bool ok = words.size() >= 3 && valid_group_name(words[0]) && !words[1].empty();
    for (std::size_t i = 2; ok && i < words.size(); ++i) {
      FtnAddress node;
      ok = read_whole_address(words[i], node);
      if (ok) out.add(words[0], words[1], node);
    }
    if (!ok) {
      error = "line " + std::to_string(number) + " is not understood";
      out.groups.clear();
      return false;
    }
  }
  return true;
}

std::string subscriptions_path() {
  return std::string(settings->SoupDir.view()) + "NEWSFIX.SUB";
}

std::string group_list_path() {
  return std::string(settings->SoupDir.view()) + "NEWSFIX.GRP";
}

std::string group_list_line(std::string_view name, std::string_view description) {
  std::string line(name);
  line += '\t';
  for (char c : description) line += (c == '\r' || c == '\n' || c == '\0') ? ' ' : c;
  line += '\n';
  return line;
}

bool read_group_list(std::string_view path, std::vector<ServerGroup>& out) {
  out.clear();
  std::string data;
  if (!platform::file_stamp(path).exists || !read_whole_file(path, data)) return false;
  std::size_t pos = 0;
  while (pos < data.size()) {
    std::string_view line = next_line(data, pos);
    std::size_t tab = line.find('\t');
    std::string_view name = line.substr(0, tab);
    if (!valid_group_name(name)) continue;
    ServerGroup g;
    g.name = name;
    if (tab != std::string_view::npos) g.description = line.substr(tab + 1);
    out.push_back(std::move(g));
  }
  std::sort(out.begin(), out.end(),
            [](const ServerGroup& a, const ServerGroup& b) { return a.name < b.name; });
  return true;
}

bool valid_node_pattern(std::string_view pattern) {
  // zone ":" net "/" node ["." point], each a number or "*".
  const char separators[] = {':', '/', '.'};
  std::size_t field = 0;
  std::size_t pos = 0;
  for (;;) {
    std::size_t start = pos;
    while (pos < pattern.size() && is_digit(pattern[pos])) ++pos;
    const std::size_t digits = pos - start;
    if (digits == 0 && pos < pattern.size() && pattern[pos] == '*') {
      ++pos;
      return pos == pattern.size();
    }
    if (digits == 0 || digits > 5) return false;
    if (pos == pattern.size()) return field >= 2;
    if (field == 3 || pattern[pos] != separators[field]) return false;
    ++pos;
    ++field;
  }
}

bool node_pattern_match(std::string_view pattern, const FtnAddress& node) {
  if (!valid_node_pattern(pattern)) return false;
  const uint16_t fields[] = {node.zone, node.net, node.node, node.point};
  std::size_t pos = 0;
  for (std::size_t field = 0; field < 4; ++field) {
    if (pos >= pattern.size()) return node.point == 0 && field == 3;
    if (pattern[pos] == '*') return true;
    unsigned long value = 0;
    while (pos < pattern.size() && is_digit(pattern[pos])) {
      value = value * 10 + static_cast<unsigned long>(pattern[pos] - '0');
      ++pos;
    }
    if (value != fields[field]) return false;
    if (pos < pattern.size()) ++pos;  // the separator
  }
  return true;
}

bool wildmat_match(std::string_view wildmat, std::string_view name) {
  bool matched = false;
  std::size_t pos = 0;
  while (pos <= wildmat.size()) {
    std::size_t comma = wildmat.find(',', pos);
    std::string_view p =
        wildmat.substr(pos, comma == std::string_view::npos ? wildmat.npos : comma - pos);
    const bool exclude = !p.empty() && p.front() == '!';
    if (exclude) p.remove_prefix(1);
    if (!p.empty() && pattern_match(p, name)) matched = !exclude;
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
  }
  return matched;
}

bool is_wildmat(std::string_view text) {
  return text.find_first_of("*?[,!") != std::string_view::npos;
}

bool valid_group_name(std::string_view name) {
  if (name.empty() || name.size() > 128) return false;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == ',' || c == '*' || c == '?' || c == '[' || c == '!' ||
        c == '\\') {
      return false;
    }
  }
  return true;
}

std::string derive_area_tag(std::string_view group, TagTaken taken, const void* context) {
  std::string base;
  for (char c : group.substr(0, kAreaTagMax)) {
    const char u = ascii_upper(c);
    base += tag_character(u) ? u : '_';
  }
  if (!taken(base, context)) return base;
  for (unsigned n = 2;; ++n) {
    std::string suffix(1, '_');
    suffix.append(std::to_string(n));
    std::string tag = base.substr(0, kAreaTagMax - suffix.size());
    tag.append(suffix);
    if (!taken(tag, context)) return tag;
  }
}

std::size_t configured_area_map_count() {
  return std::min(settings->newsfix.configured_area_maps, settings->AreaMap.size());
}

bool add_subscribed_area_maps(std::string& error) {
  error.clear();
  NewsFixSettings& n = settings->newsfix;
  // Made once per configuration read.
  if (n.configured_area_maps != static_cast<std::size_t>(-1)) return true;
  n.configured_area_maps = settings->AreaMap.size();
  if (!n.on()) return true;
  Subscriptions subs;
  if (!read_subscriptions(subscriptions_path(), subs, error)) return false;
  for (const SubscribedGroup& g : subs.groups) {
    bool named = false;
    for (std::size_t i = 0; i < n.configured_area_maps; ++i) {
      named = named || settings->AreaMap[i].newsgroup.view() == g.name;
    }
    if (named || settings->AreaMap.full()) continue;
    AreaMapEntry* e = settings->AreaMap.add();
    e->area.assign(g.tag);
    e->newsgroup.assign(g.name);
  }
  return true;
}

void gate_subscribed_groups() {
  std::string error;
  if (add_subscribed_area_maps(error)) return;
  log_print("! %s cannot be read (%s): its groups are not gated in this run\n",
            platform::shown_path(subscriptions_path()).c_str(), error.c_str());
  note_run_failure();
}

void add_subscribed_groups(std::vector<std::string>& groups) {
  for (std::size_t i = configured_area_map_count(); i < settings->AreaMap.size(); ++i) {
    std::string_view group = settings->AreaMap[i].newsgroup.view();
    if (std::find(groups.begin(), groups.end(), group) == groups.end()) groups.emplace_back(group);
  }
}

std::string subscribed_area_tag(const Subscriptions& subs, std::string_view group) {
  for (std::size_t i = 0; i < configured_area_map_count(); ++i) {
    const AreaMapEntry& e = settings->AreaMap[i];
    if (e.newsgroup.view() == group) return std::string(e.area.view());
  }
  const SubscribedGroup* g = subs.find(group);
  return g != nullptr ? g->tag : std::string();
}

}  // namespace quillmar
