#include "events/tracker_state.h"

#include "platform/per_process.h"
#include "tavrel_mmp/platform/clock.h"

namespace tavrel_mmp::tracker {

State& state() {
  static platform::PerProcess<State> instance;
  return instance.get();
}

double monotonicNow() {
  return platform::clock().monotonic();
}

}  // namespace tavrel_mmp::tracker
