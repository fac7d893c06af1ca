// The files and names NewsFix shares between EXPORT (the robot), IMPORT
// and quillmar-soup: the subscriptions (group -> area tag and the nodes
// that asked for it, NEWSFIX.SUB in SoupDir), the news server's list of
// groups (NEWSFIX.GRP in SoupDir, written by quillmar-soup), the matching
// of node patterns and wildmats, and the area tag made from a group name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/ftn_address.hpp"
#include "config/newsfix_settings.hpp"

namespace quillmar {

// One subscribed group: the FidoNet area tag given to it when it was first
// asked for, and the nodes that want it (in the order they asked).
struct SubscribedGroup {
  std::string name;
  std::string tag;
  std::vector<FtnAddress> nodes;
};

// Every subscribed group, sorted by name. A group no node wants is not in
// it.
struct Subscriptions {
  std::vector<SubscribedGroup> groups;

  const SubscribedGroup* find(std::string_view name) const;
  // The number of groups `node` has asked for.
  std::size_t count_of(const FtnAddress& node) const;
  bool has(std::string_view name, const FtnAddress& node) const;
  // Adds `node` to the group (made with `tag` when new); removes it.
  void add(std::string_view name, std::string_view tag, const FtnAddress& node);
  void remove(std::string_view name, const FtnAddress& node);
};

// The subscriptions file's text; and reads it back. A missing file is no
// subscription; false (with the line in `error`) when the file cannot be
// read or a line is not understood.
std::string subscriptions_text(const Subscriptions& subs);
bool read_subscriptions(std::string_view path, Subscriptions& out, std::string& error);

// Where the files lie (SoupDir of the settings).
std::string subscriptions_path();
std::string group_list_path();

// One group of the news server's list, with its description.
struct ServerGroup {
  std::string name;
  std::string description;
};
// The line of the list for one group; and the list read back, sorted by
// name. False when the file does not exist or cannot be read.
std::string group_list_line(std::string_view name, std::string_view description);
bool read_group_list(std::string_view path, std::vector<ServerGroup>& out);

// Whether `pattern` is a NewsFixNode address pattern; whether it names
// `node`. A pattern without a point names the node itself (point 0); "*"
// stands for any number of a field, and a "*" as the last field for any
// of the fields after it.
bool valid_node_pattern(std::string_view pattern);
bool node_pattern_match(std::string_view pattern, const FtnAddress& node);

// A wildmat as news servers take it: patterns separated by commas, each
// with "*", "?" and "[...]"; a pattern after "!" excludes; the last pattern
// that matches decides.
bool wildmat_match(std::string_view wildmat, std::string_view name);
// Whether a text holds wildmat characters.
bool is_wildmat(std::string_view text);
// Whether a text can be a newsgroup name (no blanks, commas or wildmat
// characters, not empty, at most 128 characters).
bool valid_group_name(std::string_view name);

// The most characters of a derived area tag.
inline constexpr std::size_t kAreaTagMax = 35;
// The area tag made from a group name: upper case, any character other
// than a letter, a digit, ".", "_" or "-" as "_", cut to kAreaTagMax; a
// tag `taken` already gets "_2", "_3" ... (the tag cut to make room).
using TagTaken = bool (*)(std::string_view tag, const void* context);
std::string derive_area_tag(std::string_view group, TagTaken taken, const void* context);

// The area tag of a subscribed group: the area of an AreaMap line that
// names the group, else the tag kept with the subscription (empty when
// the group is not subscribed).
std::string subscribed_area_tag(const Subscriptions& subs, std::string_view group);

// The AreaMap lines of the configuration (without those made from the
// subscriptions).
std::size_t configured_area_map_count();

// With NewsFix on: an AreaMap entry (both directions) for every subscribed
// group that no AreaMap line names, with the group's tag. False (with the
// reason in `error`) when the subscriptions cannot be read.
bool add_subscribed_area_maps(std::string& error);
// The same for a run: a file that cannot be read is logged and noted as
// a failure of the run (its groups are not gated in it).
void gate_subscribed_groups();
// Appends to `groups` the subscribed groups (those AreaMap entries made
// from the subscriptions) it does not hold.
void add_subscribed_groups(std::vector<std::string>& groups);

}  // namespace quillmar
