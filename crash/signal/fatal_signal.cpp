// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.
#include "crash/signal/fatal_signal.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "crash/signal/fault_repeat.h"
#include "crash/signal/fault_rounds.h"
#include "crash/signal/record_file.h"
#include "crash/signal/signal_chain.h"
#include "crash/signal/signal_report.h"
#include "crash/signal/stack_walk.h"
#include "crash/signal/watch_bell.h"
#include "platform/fault_context.h"
#include "settings/tracking_consent.h"

namespace tavrel_mmp {
namespace {

// An MD5 in hexadecimal, by signal number; written before the handlers are installed.
constexpr std::size_t kHashSize = 32;
char hashes[NSIG][kHashSize];

struct Record {
  std::string_view text;  // empty: nothing is recorded
  std::string_view hash;
};

bool isSynchronousFault(int signal, const siginfo_t* info) {
  const bool faultSignal =
      signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE;
  return faultSignal && info != nullptr && info->si_code > 0;
}

void endWithRecord(int signal, siginfo_t* info, void* context, const Record& record) {
  RecordFile::keep(record.text, record.hash);
  SignalChain::callEarlier(signal, info, context);
  SignalChain::endBySignal(signal);
}

// The fault goes to the earlier handler with the record pending; returns when it returned.
void handOnFault(int signal, siginfo_t* info, void* context, const Record& record) {
  const FaultRepeat::Fault fault{signal, info->si_code,
                                 reinterpret_cast<std::uintptr_t>(info->si_addr),
                                 platform::faultRegisterDigest(context)};
  if (FaultRepeat::isRepeat(fault)) {
    // The handler that saw it before returned without resolving it; it has had its turn.
    FaultRepeat::forget();
    RecordFile::keep(record.text, record.hash);
    SignalChain::endBySignal(signal);
    return;
  }

  const long thread = ::syscall(SYS_gettid);
  // A thread that jumped out of an earlier round of this signal takes its entry over, with the
  // record of this fault.
  FaultRounds::Round round = FaultRounds::enter(thread, signal);
  if (round.slot >= 0 && !RecordFile::hold(round, record.text, record.hash)) {
    // No file of this process, or the process is ending: nothing to hold.
    if (FaultRounds::leave(round)) RecordFile::release(round);
    round.slot = -1;
  }
  if (round.slot >= 0) WatchBell::ring();

  SignalChain::callEarlier(signal, info, context);

  // It returned. A handler that moved the thread on (another instruction, other registers) has
  // dealt with the fault; otherwise the same instruction runs again.
  const bool runsAgain = platform::faultRegisterDigest(context) == fault.registers;
  if (runsAgain && SignalChain::endsOnRepeat(signal)) {
    FaultRepeat::forget();
    RecordFile::keep(record.text, record.hash);
    FaultRounds::leave(round);
    return;
  }
  if (FaultRounds::leave(round)) RecordFile::release(round);
  if (runsAgain) {
    FaultRepeat::returning(fault);
  } else {
    FaultRepeat::forget();
  }
}

}  // namespace

void FatalSignal::setHash(int signal, std::string_view hash) {
  if (signal <= 0 || signal >= NSIG || hash.size() != kHashSize) return;
  std::memcpy(hashes[signal], hash.data(), kHashSize);
}

void FatalSignal::handle(int signal, siginfo_t* info, void* context) {
  StackWalk::leaveWalkOnFault(signal);
  const int savedErrno = errno;
  if (signal <= 0 || signal >= NSIG || SignalChain::isCallBack(signal, info, context) ||
      SignalChain::previousIgnores(signal, info)) {
    errno = savedErrno;
    return;
  }
  // On the alternate stack, which has room for it.
  char text[SignalReport::kMaximumText];
  FixedText report(text, sizeof text);
  // With tracking off nothing is recorded; the signal still goes its way.
  if (!TrackingConsent::knownOff()) SignalReport::compose(report, signal, info, context);
  const Record record{report.view(), std::string_view(hashes[signal], kHashSize)};
  if (isSynchronousFault(signal, info) && SignalChain::hasEarlierHandler(signal)) {
    handOnFault(signal, info, context, record);
  } else {
    endWithRecord(signal, info, context, record);
  }
  errno = savedErrno;
}

}  // namespace tavrel_mmp
