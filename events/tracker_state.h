#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>

namespace tavrel_mmp::tracker {

// NaN stands for an absent instant, so each instant fits in one lock-free atomic.
inline constexpr double kAbsent = std::numeric_limits<double>::quiet_NaN();
inline bool isPresent(double instant) {
  return !std::isnan(instant);
}

inline constexpr double kDefaultBeatInterval = 30.0;

// The tracker's process-wide state, shared by recording threads, the main loop and HTTP
// completions. Every field is updated indivisibly on its own; no lock is ever held across a
// store or network call.
struct State {
  std::atomic<std::int64_t> eventTotalCounter{0};
  std::atomic<bool> isSyncing{false};
  std::atomic<double> lastSyncTime{kAbsent};
  std::atomic<double> lastCheckHeartBeatTime{kAbsent};
  std::atomic<double> beatInterval{kDefaultBeatInterval};
  // Set once, by whoever starts the timer; later requests (even while the installation is
  // still queued on the main loop) find it set and do nothing.
  std::atomic<bool> timerRequested{false};
  std::atomic<bool> timerInstalled{false};
  // Changed only by resetForTesting: timers and completions of an earlier epoch stay inert.
  std::atomic<std::uint64_t> generation{0};
};

State& state();
// The current wall time in seconds, from the platform clock.
double now();

}  // namespace tavrel_mmp::tracker
