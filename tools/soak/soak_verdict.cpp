#include "soak/soak_verdict.h"

#include <cstdio>

namespace tavrel_mmp::soak {
namespace {

struct Sender {
  int installation = -1;
  int run = -1;
};

Sender parseSender(const std::string& name) {
  Sender sender;
  if (std::sscanf(name.c_str(), "i%dr%d", &sender.installation, &sender.run) != 2) return {};
  return sender;
}

// Why the reception `earlier` does not explain the one after it, or "" when it does.
std::string whyUnexplained(const tools::Delivery& earlier, const tools::Delivery& later,
                           const std::map<std::string, Instant>& killedAt,
                           std::chrono::seconds window) {
  const Sender first = parseSender(earlier.sender), second = parseSender(later.sender);
  if (first.installation < 0 || second.installation < 0) return "from an unnamed sender";
  if (first.installation != second.installation) return "from another installation";
  if (second.run <= first.run) return "from the same or an earlier process";
  const auto kill = killedAt.find(earlier.sender);
  if (kill == killedAt.end()) return "the earlier sender was never killed";
  if (earlier.at < kill->second - window || earlier.at > kill->second + window)
    return "accepted far from the earlier sender's kill";
  return "";
}

}  // namespace

std::string senderName(int installation, int run) {
  return "i" + std::to_string(installation) + "r" + std::to_string(run);
}

std::string tagOf(const nlohmann::json& event) {
  const auto data = event.find("data");
  if (data == event.end() || !data->is_array()) return "";
  for (const auto& entry : *data) {
    if (entry.is_object() && entry.value("key", "") == "tag" && entry["value"].is_string())
      return entry["value"];
  }
  return "";
}

Verdict judge(const std::set<std::string>& loggedTags,
              const std::map<std::string, tools::StoredEvent>& stored,
              const std::map<std::string, Instant>& killedAt, std::chrono::seconds window) {
  Verdict verdict;
  std::set<std::string> deliveredTags;
  for (const auto& [id, event] : stored) {
    const std::string tag = tagOf(event.event);
    if (!tag.empty()) deliveredTags.insert(tag);
    const auto& deliveries = event.deliveries;
    verdict.repeated += deliveries.size() - 1;
    for (std::size_t i = 1; i < deliveries.size(); ++i) {
      const std::string why = whyUnexplained(deliveries[i - 1], deliveries[i], killedAt, window);
      if (!why.empty()) {
        verdict.unexplained.push_back("event " + id + " (" + event.event.value("key", "?") + " " +
                                      tag + ") again from " + deliveries[i].sender + " after " +
                                      deliveries[i - 1].sender + ": " + why);
      }
    }
  }
  verdict.logged = loggedTags.size();
  for (const std::string& tag : loggedTags) verdict.delivered += deliveredTags.count(tag);
  verdict.lost = verdict.logged - verdict.delivered;
  return verdict;
}

}  // namespace tavrel_mmp::soak
