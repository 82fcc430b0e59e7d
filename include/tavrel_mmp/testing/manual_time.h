#pragma once

/// @file
/// Time in the caller's hands, for tests and for hosts that drive the library step by step.
/// Not part of the library proper: link `tavrel_mmp::tavrel_mmp_testing` and include this header
/// explicitly; `tavrel_mmp/tavrel_mmp.h` does not include it.

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "tavrel_mmp/platform/clock.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp::testing {

/// A clock that moves only when told to. `advance` moves wall and monotonic time together;
/// `set` moves the wall clock alone, as a user changing the system time would.
class ManualClock : public platform::Clock {
 public:
  explicit ManualClock(double start = 1'700'000'000.0);
  double now() override;
  double monotonic() override;
  void set(double seconds);
  void advance(double seconds);

 private:
  std::mutex mutex_;
  double now_;
  double monotonic_ = 0.0;
};

/// A main loop driven by hand: posted tasks run on `runPending()`, timers and delayed tasks fire
/// as `advance()` moves the manual clock past their due times. Whoever calls these is the main
/// thread.
class ManualMainLoop : public platform::MainLoop {
 public:
  explicit ManualMainLoop(std::shared_ptr<ManualClock> clock);
  void post(std::function<void()> task) override;
  void scheduleRepeating(double periodSeconds, std::function<void()> tick) override;
  void postAfter(double delaySeconds, std::function<void()> task) override;

  /// Runs the posted tasks (and the ones they post) until none is left; returns how many ran.
  std::size_t runPending();
  /// Moves the clock forward by `seconds`, stopping at each timer's due time to fire it (and to
  /// run pending tasks), in time order.
  void advance(double seconds);
  /// How many repeating timers were scheduled.
  std::size_t timerCount();

 private:
  struct Timer {
    double period;
    double due;
    std::function<void()> tick;
  };
  std::shared_ptr<ManualClock> clock_;
  std::mutex mutex_;
  std::vector<std::function<void()>> tasks_;
  std::vector<std::shared_ptr<Timer>> timers_;
  std::vector<std::shared_ptr<Timer>> delayed_;  // run once (period unused)
};

}  // namespace tavrel_mmp::testing
