#include "soak/soak_verdict.h"

#include <algorithm>
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

// Why the deliveries of one event are not explained by kills, or "" when they are: each came
// from another process of one installation, and every process but the last of them was killed
// around the moment its delivery was accepted. (A killed process's batch may also be accepted
// after its successor's, when the service was slow.)
std::string whyUnexplained(std::vector<tools::Delivery> deliveries,
                           const std::map<std::string, Instant>& killedAt,
                           std::chrono::seconds window) {
  std::sort(deliveries.begin(), deliveries.end(), [](const auto& a, const auto& b) {
    return parseSender(a.sender).run < parseSender(b.sender).run;
  });
  const int installation = parseSender(deliveries.front().sender).installation;
  for (std::size_t i = 0; i < deliveries.size(); ++i) {
    const tools::Delivery& delivery = deliveries[i];
    const Sender sender = parseSender(delivery.sender);
    if (sender.installation < 0) return "from an unnamed sender " + delivery.sender;
    if (sender.installation != installation) return "from two installations";
    if (i + 1 == deliveries.size()) break;
    if (parseSender(deliveries[i + 1].sender).run == sender.run)
      return "twice from " + delivery.sender;
    const auto kill = killedAt.find(delivery.sender);
    if (kill == killedAt.end()) return delivery.sender + " was never killed";
    if (delivery.at < kill->second - window || delivery.at > kill->second + window)
      return "accepted from " + delivery.sender + " far from its kill";
  }
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
    if (!entry.is_object() || entry.value("key", "") != "tag") continue;
    const auto value = entry.find("value");
    if (value != entry.end() && value->is_string()) return *value;
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
    if (event.deliveries.size() < 2) continue;
    verdict.repeated += event.deliveries.size() - 1;
    const std::string why = whyUnexplained(event.deliveries, killedAt, window);
    if (!why.empty()) {
      std::string senders;
      for (const auto& delivery : event.deliveries) senders += " " + delivery.sender;
      verdict.unexplained.push_back("event " + id + " (" + event.event.value("key", "?") + " " +
                                    tag + ") delivered by" + senders + ": " + why);
    }
  }
  verdict.logged = loggedTags.size();
  for (const std::string& tag : loggedTags) verdict.delivered += deliveredTags.count(tag);
  verdict.lost = verdict.logged - verdict.delivered;
  return verdict;
}

}  // namespace tavrel_mmp::soak
