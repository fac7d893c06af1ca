#include "export/newsfix_commands.hpp"

#include <algorithm>
#include <cstdio>

#include "base/log.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"

namespace quillmar {

namespace {

// The answer being written and the node it is for.
struct Answer {
  std::string text;
  Text<32> node_text;

  void line(std::string_view s) {
    text.append(s);
    text += '\r';
  }
  // A command's result: to the answer and to the log.
  void result(std::string_view command, std::string_view what) {
    line(std::string(command) + ": " + std::string(what));
    log_print("* %s %s: %.*s: %.*s\n", settings->newsfix.name.c_str(), node_text.c_str(),
              static_cast<int>(command.size()), command.data(), static_cast<int>(what.size()),
              what.data());
  }
};

bool allowed(std::string_view group) {
  for (const std::string& wildmat : settings->newsfix.allow) {
    if (wildmat_match(wildmat, group)) return true;
  }
  return false;
}

const ServerGroup* server_group(const CommandContext& ctx, std::string_view name) {
  if (ctx.server_groups == nullptr) return nullptr;
  auto it = std::lower_bound(ctx.server_groups->begin(), ctx.server_groups->end(), name,
                             [](const ServerGroup& g, std::string_view n) { return g.name < n; });
  return it != ctx.server_groups->end() && it->name == name ? &*it : nullptr;
}

bool tag_taken(std::string_view tag, const void* context) {
  const auto* subs = static_cast<const Subscriptions*>(context);
  for (const SubscribedGroup& g : subs->groups) {
    if (equals_nocase(g.tag, tag)) return true;
  }
  for (std::size_t i = 0; i < configured_area_map_count(); ++i) {
    if (equals_nocase(settings->AreaMap[i].area.view(), tag)) return true;
  }
  return false;
}

constexpr const char* kNoList =
    "refused: the news server's list of groups has not been fetched yet; try again tomorrow";

void list_groups(const CommandContext& ctx, std::string_view wildmat, Subscriptions& subs,
                 Answer& a) {
  const std::string command = wildmat.empty() ? "LIST" : "LIST " + std::string(wildmat);
  if (ctx.server_groups == nullptr) return a.result(command, kNoList);
  long count = 0;
  a.line(command + ":");
  for (const ServerGroup& g : *ctx.server_groups) {
    if (!allowed(g.name) || (!wildmat.empty() && !wildmat_match(wildmat, g.name))) continue;
    char lead[160];
    std::snprintf(lead, sizeof lead, "%c %-38s ", subs.has(g.name, ctx.node) ? '*' : ' ',
                  g.name.c_str());
    std::string row = lead;
    row += g.description;
    while (!row.empty() && row.back() == ' ') row.pop_back();
    a.line(row);
    ++count;
  }
  a.line("");
  a.result(command, std::to_string(count) + " group(s) you may ask for (* those you have)");
}

void query_groups(const CommandContext& ctx, Subscriptions& subs, Answer& a) {
  long count = 0;
  a.line("QUERY:");
  for (const SubscribedGroup& g : subs.groups) {
    if (std::find(g.nodes.begin(), g.nodes.end(), ctx.node) == g.nodes.end()) continue;
    char row[200];
    std::snprintf(row, sizeof row, "  %-38s area %s", g.name.c_str(),
                  subscribed_area_tag(subs, g.name).c_str());
    a.line(row);
    ++count;
  }
  a.line("");
  a.result("QUERY", std::to_string(count) + " group(s) you have");
}

// Adds one group the node may have; false when the node's limit stops it.
void add_group(const CommandContext& ctx, std::string_view command, std::string_view group,
               Subscriptions& subs, std::vector<SubscriptionChange>& changes, Answer& a) {
  if (subs.has(group, ctx.node)) {
    return a.result(command, std::string(group) + " is yours already, area " +
                                 subscribed_area_tag(subs, group));
  }
  const uint32_t most = ctx.entry->most_groups;
  if (most != 0 && subs.count_of(ctx.node) >= most) {
    return a.result(
        command, "refused: you have " + std::to_string(most) + " group(s), the most you may have");
  }
  const SubscribedGroup* known = subs.find(group);
  std::string tag = known != nullptr ? known->tag : derive_area_tag(group, tag_taken, &subs);
  subs.add(group, tag, ctx.node);
  changes.push_back(SubscriptionChange{true, std::string(group), tag, ctx.node});
  a.result(command, std::string(group) + " added, area " + subscribed_area_tag(subs, group));
}

void subscribe(const CommandContext& ctx, std::string_view command, std::string_view wanted,
               Subscriptions& subs, std::vector<SubscriptionChange>& changes, Answer& a) {
  if (ctx.server_groups == nullptr) return a.result(command, kNoList);
  if (!is_wildmat(wanted)) {
    if (!valid_group_name(wanted)) return a.result(command, "refused: not a newsgroup name");
    if (!allowed(wanted)) return a.result(command, "refused: not a group you may ask for here");
    if (server_group(ctx, wanted) == nullptr) {
      return a.result(command, "refused: the news server does not carry it");
    }
    return add_group(ctx, command, wanted, subs, changes, a);
  }
  long matched = 0;
  for (const ServerGroup& g : *ctx.server_groups) {
    if (!wildmat_match(wanted, g.name) || !allowed(g.name) || subs.has(g.name, ctx.node)) continue;
    ++matched;
    add_group(ctx, command, g.name, subs, changes, a);
  }
  if (matched == 0) a.result(command, "no group you may ask for and do not have matches");
}

void unsubscribe(const CommandContext& ctx, std::string_view command, std::string_view wanted,
                 Subscriptions& subs, std::vector<SubscriptionChange>& changes, Answer& a) {
  std::vector<std::string> mine;
  for (const SubscribedGroup& g : subs.groups) {
    const bool named = is_wildmat(wanted) ? wildmat_match(wanted, g.name) : g.name == wanted;
    if (named && std::find(g.nodes.begin(), g.nodes.end(), ctx.node) != g.nodes.end()) {
      mine.push_back(g.name);
    }
  }
  if (mine.empty()) return a.result(command, "not a group you have");
  for (const std::string& group : mine) {
    const std::string tag = subscribed_area_tag(subs, group);
    subs.remove(group, ctx.node);
    changes.push_back(SubscriptionChange{false, group, tag, ctx.node});
    a.result(command, group + " removed (area " + tag + ")");
  }
}

void help(Answer& a) {
  const std::string& name = settings->newsfix.name;
  a.line("HELP:");
  a.line("Send a netmail to " + name + " at " +
         std::string(ftn_address_text(settings->FidoAddr, PointForm::when_set).view()) +
         " with your password as its subject");
  a.line("and one command a line (a leading % is allowed):");
  a.line("  LIST [wildmat]   the newsgroups you may ask for, with their descriptions");
  a.line("  QUERY            the newsgroups you have and their FidoNet area tags");
  a.line("  +group, group    ask for a newsgroup (a wildmat asks for every one it matches)");
  a.line("  -group           give a newsgroup up");
  a.line("  HELP             this text");
  a.line("A new group's articles come in its area after the next news fetch; let your");
  a.line("tosser create the area (or ask its AreaFix for it) when the first one arrives.");
  a.line("");
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Whether the line ends the commands: a tear line or an origin line.
bool ends_commands(std::string_view line) {
  return line == "---" || starts_with_nocase(line, "--- ") ||
         starts_with_nocase(line, " * Origin:");
}

}  // namespace

const NewsFixNodeEntry* newsfix_entry_of(const FtnAddress& node) {
  for (const NewsFixNodeEntry& e : settings->newsfix.nodes) {
    if (node_pattern_match(e.pattern, node)) return &e;
  }
  return nullptr;
}

std::string carry_out_commands(const CommandContext& ctx, std::string_view password,
                               const std::vector<std::string>& lines, Subscriptions& subs,
                               std::vector<SubscriptionChange>& changes) {
  Answer a;
  a.node_text = ftn_address_text(ctx.node, PointForm::when_set);
  a.line("Answer of " + settings->newsfix.name + " at " +
         std::string(ftn_address_text(settings->FidoAddr, PointForm::when_set).view()) + " to " +
         std::string(a.node_text.view()) + ".");
  a.line("");
  if (ctx.entry == nullptr) {
    a.result("refused", "your address may not use " + settings->newsfix.name + "; nothing changed");
    return a.text;
  }
  if (!equals_nocase(trimmed(password), ctx.entry->password)) {
    a.result("refused", "wrong password; nothing changed");
    return a.text;
  }
  long commands = 0;
  for (const std::string& raw : lines) {
    if (ends_commands(raw)) break;
    std::string_view line = trimmed(raw);
    if (!line.empty() && line.front() == '%') line = trimmed(line.substr(1));
    if (line.empty()) continue;
    ++commands;
    std::string_view word = line.substr(0, line.find_first_of(" \t"));
    std::string_view rest = trimmed(line.substr(word.size()));
    if (equals_nocase(word, "LIST")) {
      list_groups(ctx, rest, subs, a);
    } else if (equals_nocase(word, "QUERY") && rest.empty()) {
      query_groups(ctx, subs, a);
    } else if (equals_nocase(word, "HELP") && rest.empty()) {
      help(a);
      a.result("HELP", "sent");
    } else if (line.front() == '-' && rest.empty()) {
      unsubscribe(ctx, line, trimmed(line.substr(1)), subs, changes, a);
    } else if (line.front() == '+' && rest.empty()) {
      subscribe(ctx, line, trimmed(line.substr(1)), subs, changes, a);
    } else if (rest.empty() && line.find('.') != std::string_view::npos) {
      subscribe(ctx, line, line, subs, changes, a);
    } else {
      a.result(line, "not understood (HELP lists the commands)");
    }
  }
  if (commands == 0) a.result("(no command)", "nothing to do; HELP lists the commands");
  return a.text;
}

}  // namespace quillmar
