#include "local_service/event_refusals.h"

#include <algorithm>

namespace tavrel_mmp::tools {

bool EventRefusals::refusesContent(std::optional<std::int64_t> code) {
  if (!code || *code == 200) return false;
  const bool theServices = (*code >= 500 && *code <= 599) || *code == 401 || *code == 403 ||
                           *code == 408 || *code == 429;
  return !theServices;
}

void EventRefusals::noteRefused(const nlohmann::json& events, const std::string& answer,
                                std::optional<std::int64_t> responseCode, std::int64_t atMs) {
  if (!events.is_array()) return;
  const bool forContent = refusesContent(responseCode);
  for (const nlohmann::json& event : events) {
    if (!event.is_object()) continue;
    const auto id = event.find("id");
    if (id == event.end() || !id->is_string()) continue;
    auto found = byId_.find(id->get<std::string>());
    if (found == byId_.end()) {
      if (byId_.size() >= kTracked) {
        byId_.erase(std::min_element(byId_.begin(), byId_.end(), [](const auto& a, const auto& b) {
          return a.second.lastAtMs < b.second.lastAtMs;
        }));
      }
      found = byId_.emplace(id->get<std::string>(), Refused{}).first;
    }
    Refused& refused = found->second;
    refused.event = event;
    ++refused.refusals;
    refused.forContent += forContent;
    refused.lastAnswer = answer;
    refused.lastAtMs = atMs;
  }
}

std::vector<const EventRefusals::Refused*> EventRefusals::mostRefused(std::size_t limit) const {
  std::vector<const Refused*> all;
  for (const auto& [id, refused] : byId_) all.push_back(&refused);
  std::stable_sort(all.begin(), all.end(),
                   [](const Refused* a, const Refused* b) { return a->refusals > b->refusals; });
  if (all.size() > limit) all.resize(limit);
  return all;
}

}  // namespace tavrel_mmp::tools
