#include "platform/fork_generation.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace tavrel_mmp::platform {
namespace {

std::atomic<std::uint64_t> generation{0};

void enterChild() {
  generation.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

std::uint64_t forkGeneration() {
  static std::once_flag once;
  // Only adds a child handler; the host's own handlers run as before.
  std::call_once(once, [] { ::pthread_atfork(nullptr, nullptr, &enterChild); });
  return generation.load(std::memory_order_relaxed);
}

}  // namespace tavrel_mmp::platform
