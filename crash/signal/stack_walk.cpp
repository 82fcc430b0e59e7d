// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.
#include "crash/signal/stack_walk.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <unwind.h>

#include "platform/fault_context.h"

namespace tavrel_mmp {
namespace {

// Frames above the interrupted one that the walk from inside the handler passes first (the
// handler's own, the signal frame, an earlier handler calling ours). Beyond this many without
// meeting the interrupted instruction, the unwinder cannot pass the signal frame.
constexpr int kMaximumHandlerFrames = 32;

struct Walk {
  std::uintptr_t* frames;
  int capacity;
  int count;
  // Frames are taken once the walk has met this address (0: from the first frame on).
  std::uintptr_t from;
  int passed;
};

_Unwind_Reason_Code step(_Unwind_Context* context, void* argument) {
  auto& walk = *static_cast<Walk*>(argument);
  int beforeInstruction = 0;
  const auto address = static_cast<std::uintptr_t>(_Unwind_GetIPInfo(context, &beforeInstruction));
  if (walk.from != 0) {
    // The interrupted frame reports the interrupted instruction itself; it is frame 0 already.
    if (address == walk.from) {
      walk.from = 0;
      return _URC_NO_REASON;
    }
    return ++walk.passed < kMaximumHandlerFrames ? _URC_NO_REASON : _URC_END_OF_STACK;
  }
  if (address == 0) return _URC_END_OF_STACK;
  walk.frames[walk.count++] = address;
  return walk.count < walk.capacity ? _URC_NO_REASON : _URC_END_OF_STACK;
}

// Where a fault inside this thread's walk goes. Trivial and in static TLS, for signal context.
[[gnu::tls_model("initial-exec")]] thread_local sigjmp_buf* walkExit = nullptr;

// The walk with the memory faults it may meet unblocked and sent back here: the unwinder reads
// the stack as its tables describe it, and a damaged stack may point it anywhere.
[[gnu::noinline]] void walkGuarded(Walk* walk) {
  sigset_t faults, saved;
  sigemptyset(&faults);
  sigaddset(&faults, SIGSEGV);
  sigaddset(&faults, SIGBUS);
  ::pthread_sigmask(SIG_BLOCK, nullptr, &saved);
  sigjmp_buf escape;
  if (sigsetjmp(escape, 1) == 0) {
    walkExit = &escape;
    ::pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
    _Unwind_Backtrace(&step, walk);
  }
  walkExit = nullptr;
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

}  // namespace

void StackWalk::prepare() {
  std::uintptr_t frames[4];
  here(frames, 4);
}

int StackWalk::fromSignal(const void* context, std::uintptr_t* frames, int capacity) {
  const std::uintptr_t interrupted = platform::interruptedInstruction(context);
  if (interrupted == 0 || capacity <= 0) return 0;
  frames[0] = interrupted;
  Walk walk{frames, capacity, 1, interrupted, 0};
  if (capacity > 1) walkGuarded(&walk);
  return walk.count;
}

[[gnu::noinline]] int StackWalk::here(std::uintptr_t* frames, int capacity) {
  if (capacity <= 0) return 0;
  Walk walk{frames, capacity, 0, 0, 0};
  _Unwind_Backtrace(&step, &walk);
  // The first frame is this function's own.
  if (walk.count == 0) return 0;
  for (int i = 1; i < walk.count; ++i) frames[i - 1] = frames[i];
  return walk.count - 1;
}

void StackWalk::leaveWalkOnFault(int signal) {
  if (signal != SIGSEGV && signal != SIGBUS) return;
  if (sigjmp_buf* escape = walkExit) siglongjmp(*escape, 1);
}

}  // namespace tavrel_mmp
