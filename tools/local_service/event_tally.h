#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace tavrel_mmp::tools {

// What the live page shows of the events received: counts by name and by session of the
// accepted ones, and the last kRecent receptions (a repeated event again, marked as a repeat).
// Not synchronised: its owner locks around it.
struct EventTally {
  static constexpr std::size_t kRecent = 1000;

  struct Arrival {
    std::uint64_t sequence = 0;  // given by add(); keeps counting across clear()
    std::string id;
    std::string name;
    std::string sessionId;
    std::string sender;     // the "User-Agent" of the request that carried it
    std::int64_t atMs = 0;  // wall clock, milliseconds since the Unix epoch
    bool repeat = false;    // an id accepted before
  };

  void add(Arrival arrival) {
    if (!arrival.repeat) {
      ++byName[arrival.name];
      ++bySession[arrival.sessionId];
    }
    arrival.sequence = nextSequence++;
    recent.push_back(std::move(arrival));
    if (recent.size() > kRecent) recent.pop_front();
  }

  void clear() {
    byName.clear();
    bySession.clear();
    recent.clear();
  }

  // The sequence number of the oldest arrival kept (nextSequence when none is).
  std::uint64_t firstSequence() const {
    return recent.empty() ? nextSequence : recent.front().sequence;
  }

  std::map<std::string, std::size_t> byName;
  std::map<std::string, std::size_t> bySession;
  std::deque<Arrival> recent;
  std::uint64_t nextSequence = 0;
};

}  // namespace tavrel_mmp::tools
