#pragma once

namespace tavrel_mmp {

// The online-presence heartbeat: "/partner/online-user/log", posted from the sync timer's ticks
// whenever the interval the service sets (30 s at first) has passed since the last one.
class Heartbeat {
 public:
  static constexpr double kDefaultInterval = 30.0;

  // The sync timer started at this monotonic instant: the first beat is one interval later.
  static void start(double monotonicNow);
  // Called at every tick: beats when one is due.
  static void beatIfDue();
};

}  // namespace tavrel_mmp
