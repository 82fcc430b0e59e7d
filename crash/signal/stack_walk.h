#pragma once

// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.

#include <cstdint>

namespace tavrel_mmp {

// A thread's stack as instruction addresses, innermost first, found by the compiler runtime's
// unwinder (`_Unwind_Backtrace` of <unwind.h>, which every target's toolchain has, where
// <execinfo.h> is missing on musl and older Android). With GCC 12 and glibc 2.35 or later it
// takes no lock and allocates nothing: the tables it needs are found by `_dl_find_object`. Its
// one-time set-up (and the dynamic linker's binding of it) is done by `prepare` before any fault.
class StackWalk {
 public:
  static constexpr int kMaximumFrames = 64;

  // Outside signal context, before the fault handlers are installed.
  static void prepare();

  // The stack of the thread a signal interrupted, from the context the handler received: the
  // interrupted instruction first, then the return addresses of its callers. A fault while
  // walking (a damaged stack) ends the walk with the frames found so far. Returns the count.
  static int fromSignal(const void* context, std::uintptr_t* frames, int capacity);
  // The calling thread's own stack, from its caller on.
  static int here(std::uintptr_t* frames, int capacity);

  // The first thing our handler does: a memory fault inside this thread's walk ends the walk.
  static void leaveWalkOnFault(int signal);
};

}  // namespace tavrel_mmp
