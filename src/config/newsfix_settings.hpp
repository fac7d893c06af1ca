// Settings of NewsFix, the robot that lets points and downlinks choose
// their newsgroups by netmail. Off while no NewsFixNode line names a node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillmar {

// A NewsFixNode line: the nodes an address pattern names, their password
// and the most groups each may ask for (0: no limit).
struct NewsFixNodeEntry {
  std::string pattern;  // "zone:net/node[.point]", each number may be "*"
  std::string password;
  uint32_t most_groups = 0;
};

struct NewsFixSettings {
  std::vector<NewsFixNodeEntry> nodes;
  // NewsFixAllow lines: the groups that may be asked for (wildmats).
  std::vector<std::string> allow;
  // The To name of a command message and the From name of a reply.
  std::string name{"NewsFix"};
  // The AreaMap lines of the configuration; the entries after them are
  // made from the subscriptions (add_subscribed_area_maps).
  std::size_t configured_area_maps = static_cast<std::size_t>(-1);

  bool on() const { return !nodes.empty(); }
};

}  // namespace quillmar
