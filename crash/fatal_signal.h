#pragma once

#include <signal.h>

#include <string_view>

namespace tavrel_mmp {

// What our handler does with a fatal signal, given the record prepared for it.
//
// A fault the kernel reports for the running instruction (SIGSEGV, SIGBUS, SIGILL, SIGFPE with
// si_code > 0) may be the host's to resolve: a runtime's guard page, a probe. With an earlier
// handler, the record is written as pending and that handler runs. When it returns, the signal
// left at the default action means the instruction runs again to the process's end, so the
// record is kept; otherwise the record goes and the instruction runs again; the same fault
// straight back was not resolved: the record is kept and the process ends by the signal. A
// handler that jumps out leaves the pending record to the crash watch.
//
// Any other signal (kill, abort, raise), or a fault without an earlier handler: the record is
// kept, the earlier handler runs, and the process ends by the signal.
//
// Async-signal-safe.
void handleFatalSignal(int signal, siginfo_t* info, void* context, std::string_view record);

}  // namespace tavrel_mmp
