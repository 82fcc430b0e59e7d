#include "core/json_depth.h"

#include <utility>
#include <vector>

namespace tavrel_mmp {

bool nestedDeeperThan(const nlohmann::json& value, std::size_t limit) {
  std::vector<std::pair<const nlohmann::json*, std::size_t>> pending{{&value, 1}};
  while (!pending.empty()) {
    const auto [current, depth] = pending.back();
    pending.pop_back();
    if (!current->is_structured()) continue;
    if (depth > limit) return true;
    for (const auto& child : *current) {
      if (child.is_structured()) pending.emplace_back(&child, depth + 1);
    }
  }
  return false;
}

}  // namespace tavrel_mmp
