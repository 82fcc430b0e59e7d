#pragma once

#include <memory>

namespace tavrel_mmp::platform {

// Wall clock: seconds since the Unix epoch, with sub-second precision.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual double now() = 0;
};

Clock& clock();
void installClock(std::shared_ptr<Clock> clock);

std::shared_ptr<Clock> makeSystemClock();

}  // namespace tavrel_mmp::platform
