#include "tavrel_mmp/platform/secure_random.h"

#include <cstdint>

#include "core/no_destructor.h"
#include "platform/provider_slot.h"
#include "platform/system_random.h"

namespace tavrel_mmp::platform {
namespace {

ProviderSlot<SecureRandom>& slot() {
  static NoDestructor<ProviderSlot<SecureRandom>> s(&makeSystemRandom);
  return s.get();
}

}  // namespace

SecureRandom& secureRandom() {
  return slot().get();
}
void installSecureRandom(std::shared_ptr<SecureRandom> random) {
  slot().install(std::move(random));
}

std::uint64_t randomBelow(std::uint64_t bound) {
  if (bound == 0) return 0;
  // Reject the top partial range so every value is equally likely.
  const std::uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
  for (;;) {
    std::uint64_t value;
    secureRandom().fill(&value, sizeof value);
    if (value < limit) return value % bound;
  }
}

}  // namespace tavrel_mmp::platform
