#include "platform/buffered_random.h"

#include "platform/fork_generation.h"
#include "tavrel_mmp/platform/secure_random.h"

namespace tavrel_mmp::platform {
namespace {

struct DrawBuffer {
  static constexpr std::size_t kDraws = 32;
  std::uint64_t draws[kDraws];
  std::size_t next = kDraws;  // empty
  const SecureRandom* source = nullptr;
  std::uint64_t generation = 0;

  std::uint64_t take() {
    SecureRandom& current = secureRandom();
    const std::uint64_t now = forkGeneration();
    if (next == kDraws || source != &current || generation != now) {
      current.fill(draws, sizeof draws);
      source = &current;
      generation = now;
      next = 0;
    }
    const std::uint64_t value = draws[next];
    draws[next++] = 0;  // served once; nothing left behind to reuse
    return value;
  }
};

thread_local DrawBuffer buffer;

}  // namespace

std::uint64_t bufferedRandomBelow(std::uint64_t bound) {
  if (bound == 0) return 0;
  // Reject the top partial range so every value is equally likely.
  const std::uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
  for (;;) {
    const std::uint64_t value = buffer.take();
    if (value < limit) return value % bound;
  }
}

}  // namespace tavrel_mmp::platform
