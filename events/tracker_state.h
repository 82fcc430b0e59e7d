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

// Real ticks arrive a little early or late against the previous batch start; a tick within this
// much of the minimum gap still counts as due, so a backlog drains one batch per tick.
inline constexpr double kTickTolerance = 0.5;

// The tracker's process-wide state, shared by recording threads and the main loop (the batch in
// flight is the batch processor's). Every field is updated indivisibly on its own; no lock is
// ever held across a store or network call. Instants are monotonic seconds (platform clock). A
// forked child starts afresh: no batch, timer request or real-time upload of the parent's is its
// own.
struct State {
  std::atomic<std::int64_t> eventTotalCounter{0};
  std::atomic<double> lastSyncTime{kAbsent};
  // Set once, by whoever starts the timer; later requests (even while the installation is
  // still queued on the main loop) find it set and do nothing.
  std::atomic<bool> timerRequested{false};
  // A count-triggered batch already handed to the main loop and not yet started there.
  std::atomic<bool> syncRequested{false};
};

State& state();
// Monotonic seconds from the platform clock.
double monotonicNow();

}  // namespace tavrel_mmp::tracker
