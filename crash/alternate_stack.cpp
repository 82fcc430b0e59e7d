#include "crash/alternate_stack.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>

namespace tavrel_mmp {
namespace {

// Room for our handler (its report is built on the stack) and for the earlier one it calls (a
// sanitizer's report, say).
constexpr std::size_t kAlternateStackSize = 256 * 1024;

}  // namespace

void AlternateStack::ensure() {
  static std::atomic<bool> handedOut{false};
  stack_t current{};
  if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return;
  if (handedOut.exchange(true)) return;

  const long page = std::max(::sysconf(_SC_PAGESIZE), 4096L);
  const std::size_t size =
      std::max(kAlternateStackSize, static_cast<std::size_t>(4 * ::sysconf(_SC_MINSIGSTKSZ)));
  void* memory =
      ::mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    handedOut = false;
    return;
  }
  // A guard page below, so that a handler running out of room faults instead of writing over
  // other memory.
  ::mprotect(memory, page, PROT_NONE);
  stack_t ours{};
  ours.ss_sp = static_cast<char*>(memory) + page;
  ours.ss_size = size;
  ::sigaltstack(&ours, nullptr);
}

}  // namespace tavrel_mmp
