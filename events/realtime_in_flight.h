#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_set>

namespace tavrel_mmp {

// Real-time events whose own upload is in flight: batches leave them out, so the service never
// receives one twice because a batch started before its answer came back.
class RealtimeInFlight {
 public:
  void add(const std::string& id);
  // The upload is over (its row deleted when it was accepted).
  void remove(const std::string& id);
  bool contains(const std::string& id);

  // A batch's read: while it lasts, an event whose upload ends is still excluded, so that a row
  // read before its deletion is not taken once the event is no longer marked.
  class Reading {
   public:
    explicit Reading(RealtimeInFlight& set);
    ~Reading();
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;
    // Whether the event was in flight at any moment since the reading began.
    bool excludes(const std::string& id) const;
    std::size_t size() const;  // how many are excluded now

   private:
    RealtimeInFlight& set_;
  };

 private:
  std::mutex mutex_;
  std::unordered_set<std::string> ids_;
  std::unordered_set<std::string> endedDuringReading_;
  int readings_ = 0;
};

}  // namespace tavrel_mmp
