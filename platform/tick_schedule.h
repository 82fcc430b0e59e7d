#pragma once

namespace tavrel_mmp::platform {

// When a repeating timer is due next, after the tick that was due at `due` ran at `now`. Late
// ticks are not replayed: after a stall the next tick is a whole period away, never due at once.
template <class Time, class Duration>
Time nextDueAfterTick(Time due, Duration period, Time now) {
  Time next = due + period;
  if (!(now < next)) next = now + period;
  return next;
}

}  // namespace tavrel_mmp::platform
