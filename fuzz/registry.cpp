#include <algorithm>
#include <map>

#include "target.hpp"

namespace quillmar::fuzz {

namespace {

std::map<std::string, TargetFunction, std::less<>>& registry() {
  static std::map<std::string, TargetFunction, std::less<>> targets;
  return targets;
}

int generation = 0;

}  // namespace

TargetRegistration::TargetRegistration(const char* name, TargetFunction function) {
  registry()[name] = function;
}

std::vector<std::string> target_names() {
  std::vector<std::string> names;
  for (const auto& [name, function] : registry()) names.push_back(name);
  return names;
}

TargetFunction find_target(std::string_view name) {
  auto found = registry().find(name);
  return found == registry().end() ? nullptr : found->second;
}

void begin_target() {
  ++generation;
}

bool setup_needed(int& seen) {
  if (seen == generation) return false;
  seen = generation;
  return true;
}

}  // namespace quillmar::fuzz
