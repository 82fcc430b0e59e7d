#pragma once

#include <memory>

#include "tavrel_mmp/platform/clock.h"

namespace tavrel_mmp::platform {

/// The default clock: the system's wall clock and its steady clock.
std::shared_ptr<Clock> makeSystemClock();

}  // namespace tavrel_mmp::platform
