#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <string>

namespace tavrel_mmp::tools {

// What the live page shows of the accepted events: counts by name and by session, and the
// last few to arrive. Not synchronised: its owner locks around it.
struct EventTally {
  static constexpr std::size_t kRecent = 20;

  struct Arrival {
    std::string id;
    std::string name;
    std::string sessionId;
    std::chrono::steady_clock::time_point at;
  };

  void add(Arrival arrival) {
    ++byName[arrival.name];
    ++bySession[arrival.sessionId];
    recent.push_back(std::move(arrival));
    if (recent.size() > kRecent) recent.pop_front();
  }

  std::map<std::string, std::size_t> byName;
  std::map<std::string, std::size_t> bySession;
  std::deque<Arrival> recent;
};

}  // namespace tavrel_mmp::tools
