#pragma once

// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.

#include <signal.h>

#include <string_view>

namespace tavrel_mmp {

// Our handler for the fatal signals, and what it does with one.
//
// Unless tracking is known to be off, it writes the signal's crash text (`SignalReport`) and
// hash as the record. A fault the kernel reports for the running instruction (SIGSEGV, SIGBUS,
// SIGILL, SIGFPE with si_code > 0) may be the host's to resolve: a runtime's guard page, a probe.
// With an earlier handler, the record is written as pending and that handler runs. When it
// returns, the signal left at the default action means the instruction runs again to the
// process's end, so the record is kept; otherwise the record goes and the instruction runs
// again; the same fault straight back was not resolved: the record is kept and the process ends
// by the signal. A handler that jumps out leaves the pending record to the crash watch.
//
// Any other signal (kill, abort, raise), or a fault without an earlier handler: the record is
// kept, the earlier handler runs, and the process ends by the signal.
class FatalSignal {
 public:
  // The hash each record of `signal` carries (the MD5 of its number, which takes a library
  // call to compute); set outside signal context before the handler is installed.
  static void setHash(int signal, std::string_view hash);
  // The action installed for each handled signal.
  static void handle(int signal, siginfo_t* info, void* context);
};

}  // namespace tavrel_mmp
