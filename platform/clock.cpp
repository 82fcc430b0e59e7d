#include "tavrel_mmp/platform/clock.h"

#include <chrono>

#include "core/no_destructor.h"
#include "platform/provider_slot.h"

namespace tavrel_mmp::platform {
namespace {

class SystemClock : public Clock {
 public:
  double now() override {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count();
  }
  double monotonic() override {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count();
  }
};

ProviderSlot<Clock>& slot() {
  static NoDestructor<ProviderSlot<Clock>> s(&makeSystemClock);
  return s.get();
}

}  // namespace

std::shared_ptr<Clock> makeSystemClock() {
  return std::make_shared<SystemClock>();
}
Clock& clock() {
  return slot().get();
}
void installClock(std::shared_ptr<Clock> clock) {
  slot().install(std::move(clock));
}

}  // namespace tavrel_mmp::platform
