#pragma once

// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.

#include <signal.h>

namespace tavrel_mmp {

using SignalAction = void (*)(int signal, siginfo_t* info, void* context);

// Our fatal-signal handlers and the actions that were there before them. Ours goes in front of
// what it finds the first time; a handler the host installs later stays in front of ours.
class SignalChain {
 public:
  enum class Installed { installed, inFront, leftToHost, failed };
  // Installs `action` (on the alternate stack), outside signal context, keeping the action it
  // replaces as the earlier one. Once ours has been replaced by a handler of the host's, it is
  // installed again only over the default action: the host's handler stays (`leftToHost`).
  static Installed install(int signal, SignalAction action);

  // True for a signal that another process sent while the earlier action ignored it: the
  // process goes on as it would have without us.
  static bool previousIgnores(int signal, const siginfo_t* info);
  // Whether the earlier action is a handler (not the default, not ignore).
  static bool hasEarlierHandler(int signal);

  // Runs the earlier handler as the kernel would have: its mask added, and a one-shot one
  // (SA_RESETHAND) only once, after which the signal has no earlier handler; ours stays in
  // front. It gets a copy of `info`, by which `isCallBack` knows it when it calls ours back.
  static void callEarlier(int signal, siginfo_t* info, void* context);
  // True when the calling thread's earlier handler calls ours with what ours handed it: that
  // round is under way already. A thread that jumped out of one is not taken for one.
  static bool isCallBack(int signal, const siginfo_t* info, const void* context);

  // Whether the signal's action is now the default or ignore: a fault that runs again ends the
  // process.
  static bool endsOnRepeat(int signal);
  // Restores the default action and raises the signal, which ends the process by it as soon as
  // the current handler returns (it is blocked until then).
  static void endBySignal(int signal);
};

}  // namespace tavrel_mmp
