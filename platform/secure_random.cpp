#include "tavrel_mmp/platform/secure_random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "tavrel_mmp/platform/provider_slot.h"

namespace tavrel_mmp::platform {
namespace {

// The kernel's CSPRNG.
class SystemRandom : public SecureRandom {
 public:
  void fill(void* buffer, std::size_t size) override {
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
      const ssize_t got = ::getrandom(out, size, 0);
      if (got < 0) {
        if (errno == EINTR) continue;
        std::abort();  // no secure randomness at all: nothing sensible is left to do
      }
      out += got;
      size -= static_cast<std::size_t>(got);
    }
  }
};

std::shared_ptr<SecureRandom> makeSystemRandom() {
  return std::make_shared<SystemRandom>();
}

ProviderSlot<SecureRandom>& slot() {
  static auto* s = new ProviderSlot<SecureRandom>(&makeSystemRandom);
  return *s;
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
