#pragma once

#include <signal.h>

namespace tavrel_mmp {

using SignalAction = void (*)(int signal, siginfo_t* info, void* context);

// Our fatal-signal handlers, in front of whatever handled those signals before: the earlier
// action is kept and given the signal after ours, and the process always ends by that signal.
class SignalChain {
 public:
  // Gives the calling thread an alternate signal stack unless it has one, so that a handler
  // can run after a stack overflow. The stack is allocated once per process.
  static void ensureAlternateStack();

  // Installs `action` (on the alternate stack) unless it is the current action already; the
  // action it replaces becomes the one `handOn` calls. Never keeps `action` as its own
  // predecessor, however often it is called.
  static bool install(int signal, SignalAction action);

  // True for a signal that another process sent while the earlier action ignored it: the
  // process goes on as it would have without us. Async-signal-safe.
  static bool previousIgnores(int signal, const siginfo_t* info);

  // Hands the signal to the earlier action. When that returns, or there was none, restores
  // the default action and raises the signal again, so the process ends by it once the
  // current handler returns. Async-signal-safe.
  static void handOn(int signal, siginfo_t* info, void* context);
};

}  // namespace tavrel_mmp
