#pragma once

namespace tavrel_mmp {

// Ends the fault rounds of threads that left an earlier handler without returning through ours
// (a jump out with siglongjmp): once such a thread no longer has the signal blocked, or is gone,
// its fault was handled and the pending record goes. A library thread looks soon after a round
// begins and then at growing intervals; each call into the library looks at once. The exit of
// the process ends every open round: a process that reaches exit() was not ended by a fault.
class CrashWatch {
 public:
  // A thread that keeps the signal blocked this long (by the installed clock's monotonic time)
  // is taken to have left too: it jumped out without restoring its mask, or its handler hangs.
  static constexpr double kLastResortSeconds = 30.0;

  // Starts this process's watch thread unless it runs (a forked child starts its own); false
  // when no thread could be started.
  static bool ensureRunning();
  // One look at every open round.
  static void settle();
  // The same, for a call into the library: nothing to do unless a round is open.
  static void settleIfAnyOpen();
};

}  // namespace tavrel_mmp
