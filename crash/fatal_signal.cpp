#include "crash/fatal_signal.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "crash/crash_watch.h"
#include "crash/fatal_record_sink.h"
#include "crash/fault_repeat.h"
#include "crash/fault_rounds.h"
#include "crash/signal_chain.h"
#include "platform/fault_context.h"

namespace tavrel_mmp {
namespace {

bool isSynchronousFault(int signal, const siginfo_t* info) {
  const bool faultSignal =
      signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE;
  return faultSignal && info != nullptr && info->si_code > 0;
}

void endWithRecord(int signal, siginfo_t* info, void* context, std::string_view record) {
  FatalRecordSink::keep(record);
  SignalChain::callEarlier(signal, info, context);
  SignalChain::endBySignal(signal);
}

// The fault goes to the earlier handler with the record pending; returns when it returned.
void handOnFault(int signal, siginfo_t* info, void* context, std::string_view record) {
  const FaultRepeat::Fault fault{signal, info->si_code,
                                 reinterpret_cast<std::uintptr_t>(info->si_addr),
                                 platform::faultRegisterDigest(context)};
  if (FaultRepeat::isRepeat(fault)) {
    // The handler that saw it before returned without resolving it; it has had its turn.
    FaultRepeat::forget();
    FatalRecordSink::keep(record);
    SignalChain::endBySignal(signal);
    return;
  }

  const long thread = ::syscall(SYS_gettid);
  // A thread that jumped out of an earlier round of this signal takes its entry over, with the
  // record of this fault.
  FaultRounds::Round round = FaultRounds::enter(thread, signal);
  if (round.slot >= 0 && !FatalRecordSink::hold(round, record)) {
    // No file of this process, or the process is ending: nothing to hold.
    if (FaultRounds::leave(round)) FatalRecordSink::release(round);
    round.slot = -1;
  }
  if (round.slot >= 0) CrashWatch::wake();

  SignalChain::callEarlier(signal, info, context);

  // It returned. A handler that moved the thread on (another instruction, other registers) has
  // dealt with the fault; otherwise the same instruction runs again.
  const bool runsAgain = platform::faultRegisterDigest(context) == fault.registers;
  if (runsAgain && SignalChain::endsOnRepeat(signal)) {
    FaultRepeat::forget();
    FatalRecordSink::keep(record);
    FaultRounds::leave(round);
    return;
  }
  if (FaultRounds::leave(round)) FatalRecordSink::release(round);
  if (runsAgain) {
    FaultRepeat::returning(fault);
  } else {
    FaultRepeat::forget();
  }
}

}  // namespace

void handleFatalSignal(int signal, siginfo_t* info, void* context, std::string_view record) {
  const int savedErrno = errno;
  if (SignalChain::isCallBack(signal, info, context) ||
      SignalChain::previousIgnores(signal, info)) {
    errno = savedErrno;
    return;
  }
  if (isSynchronousFault(signal, info) && SignalChain::hasEarlierHandler(signal)) {
    handOnFault(signal, info, context, record);
  } else {
    endWithRecord(signal, info, context, record);
  }
  errno = savedErrno;
}

}  // namespace tavrel_mmp
