#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/fork_generation.h"
#include "platform/fork_pass.h"

namespace tavrel_mmp::platform {
namespace {

std::atomic<int> passes{0};
std::atomic<bool> forking{false};

void pauseBriefly() {
  const timespec pause{0, 100'000};
  ::nanosleep(&pause, nullptr);
}

void prepareFork() {
  forking.store(true);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(ForkPass::kMaxForkWaitMilliseconds);
  // Past the limit the fork goes ahead: a pass held that long waits on another process's lock,
  // which SQLite takes only after that wait.
  while (passes.load() > 0 && std::chrono::steady_clock::now() < deadline) pauseBriefly();
}

void afterForkInParent() {
  forking.store(false);
}

void afterForkInChild() {
  passes.store(0);
  forking.store(false);
}

void registerOnce() {
  static std::once_flag once;
  std::call_once(once,
                 [] { ::pthread_atfork(&prepareFork, &afterForkInParent, &afterForkInChild); });
}

}  // namespace

ForkPass::ForkPass() : generation_(forkGeneration()) {
  registerOnce();
  for (;;) {
    // Counted before looking, as the fork looks after announcing itself: one of the two sees
    // the other.
    passes.fetch_add(1);
    if (!forking.load()) return;
    passes.fetch_sub(1);
    while (forking.load()) pauseBriefly();
  }
}

ForkPass::~ForkPass() {
  // A pass the forking thread held belongs to the parent's count.
  if (generation_ == forkGeneration()) passes.fetch_sub(1);
}

}  // namespace tavrel_mmp::platform
