#pragma once

#include <memory>

namespace tavrel_mmp::platform {

/// Wall clock and monotonic clock. Instants that are stored or sent (event times, signatures,
/// expiry) come from `now()`; elapsed times (timer gaps, heartbeat intervals) from `monotonic()`,
/// so a wall clock set backwards neither stalls nor rushes them.
class Clock {
 public:
  virtual ~Clock() = default;
  /// Seconds since the Unix epoch, with sub-second precision.
  virtual double now() = 0;
  /// Seconds from an arbitrary origin; never goes backwards.
  virtual double monotonic() = 0;
};

Clock& clock();
void installClock(std::shared_ptr<Clock> clock);

}  // namespace tavrel_mmp::platform
