#include "tavrel_mmp/platform/clock.h"

#include "core/no_destructor.h"
#include "platform/provider_slot.h"
#include "tavrel_mmp/platform/system_clock.h"

namespace tavrel_mmp::platform {
namespace {

ProviderSlot<Clock>& slot() {
  static NoDestructor<ProviderSlot<Clock>> s(&makeSystemClock);
  return s.get();
}

}  // namespace

Clock& clock() {
  return slot().get();
}
void installClock(std::shared_ptr<Clock> clock) {
  slot().install(std::move(clock));
}

}  // namespace tavrel_mmp::platform
