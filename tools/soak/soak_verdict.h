#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "local_service/local_service.h"

namespace tavrel_mmp::soak {

using Instant = std::chrono::steady_clock::time_point;

// A host process is named "i<installation>r<run>": runs of one installation share its files
// and follow one another.
std::string senderName(int installation, int run);

struct Verdict {
  std::size_t logged = 0;     // events a host reported after its logEvent returned
  std::size_t delivered = 0;  // of those, the ones the service stored
  std::size_t lost = 0;
  std::size_t repeated = 0;  // receptions beyond the first, of any event
  // A line for every repeat no kill explains.
  std::vector<std::string> unexplained;
};

// Compares what the hosts logged (by tag) with what the service stored. Repeats are explained
// only by kills: every process that delivered an event, but the last, was killed within
// `window` of its delivery being accepted (between the service accepting a batch and the host
// deleting it, or with the batch still on its way).
Verdict judge(const std::set<std::string>& loggedTags,
              const std::map<std::string, tools::StoredEvent>& stored,
              const std::map<std::string, Instant>& killedAt,
              std::chrono::seconds window = std::chrono::seconds(10));

// The tag a soak event carries in its data, or "" for other events.
std::string tagOf(const nlohmann::json& event);

}  // namespace tavrel_mmp::soak
