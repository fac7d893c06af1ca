// NewsFix's commands: what one command message asks for, carried out
// against the subscriptions, and the text of the answer. Nothing here
// touches a file; the robot (newsfix.cpp) loads and commits.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/ftn_address.hpp"
#include "config/newsfix_files.hpp"

namespace quillmar {

// A change of the subscriptions, kept so that it can be taken back.
struct SubscriptionChange {
  bool add = false;
  std::string group;
  std::string tag;
  FtnAddress node;
};

// What the commands see: the node's entry (nullptr for an unknown node),
// the server's list (nullptr when quillmar-soup has not fetched it yet).
struct CommandContext {
  FtnAddress node;
  const NewsFixNodeEntry* entry = nullptr;
  const std::vector<ServerGroup>* server_groups = nullptr;
};

// Carries out the command message of `ctx.node` with subject `password` and
// text lines `lines` against `subs`, noting every change in `changes`.
// Every command and its result go to the log. The answer's text (lines
// ending in CR) is returned.
std::string carry_out_commands(const CommandContext& ctx, std::string_view password,
                               const std::vector<std::string>& lines, Subscriptions& subs,
                               std::vector<SubscriptionChange>& changes);

// The NewsFixNode entry that names `node`, or nullptr.
const NewsFixNodeEntry* newsfix_entry_of(const FtnAddress& node);

}  // namespace quillmar
