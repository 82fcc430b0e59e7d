#include "events/tracker_state.h"

#include "core/no_destructor.h"
#include "tavrel_mmp/platform/clock.h"

namespace tavrel_mmp::tracker {

State& state() {
  static NoDestructor<State> instance;
  return instance.get();
}

double monotonicNow() {
  return platform::clock().monotonic();
}

}  // namespace tavrel_mmp::tracker
