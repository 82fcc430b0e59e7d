#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <unordered_set>

namespace tavrel_mmp::tracker {

// NaN stands for an absent instant, so each instant fits in one lock-free atomic.
inline constexpr double kAbsent = std::numeric_limits<double>::quiet_NaN();
inline bool isPresent(double instant) {
  return !std::isnan(instant);
}

inline constexpr double kDefaultBeatInterval = 30.0;

// Real ticks arrive a little early or late against the previous batch start; a tick within this
// much of the minimum gap still counts as due, so a backlog drains one batch per tick.
inline constexpr double kTickTolerance = 0.5;

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

// The tracker's process-wide state, shared by recording threads, the main loop and HTTP
// completions. Every field is updated indivisibly on its own; no lock is ever held across a
// store or network call. Instants are monotonic seconds (platform clock).
struct State {
  std::atomic<std::int64_t> eventTotalCounter{0};
  std::atomic<bool> isSyncing{false};
  std::atomic<double> lastSyncTime{kAbsent};
  std::atomic<double> lastCheckHeartBeatTime{kAbsent};
  std::atomic<double> beatInterval{kDefaultBeatInterval};
  // Set once, by whoever starts the timer; later requests (even while the installation is
  // still queued on the main loop) find it set and do nothing.
  std::atomic<bool> timerRequested{false};
  // A count-triggered batch already handed to the main loop and not yet started there.
  std::atomic<bool> syncRequested{false};
  RealtimeInFlight realtimeInFlight;
};

State& state();
// Monotonic seconds from the platform clock.
double monotonicNow();

}  // namespace tavrel_mmp::tracker
