// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.
#include "crash/signal/fault_repeat.h"

#include <time.h>

namespace tavrel_mmp {
namespace {

struct LastReturn {
  FaultRepeat::Fault fault;
  std::int64_t at = 0;  // monotonic nanoseconds; 0: nothing remembered
};

// Trivial and in static TLS, so that signal context can use it without allocation.
[[gnu::tls_model("initial-exec")]] thread_local LastReturn lastReturn;

std::int64_t monotonicNanoseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

bool FaultRepeat::isRepeat(const Fault& fault) {
  const LastReturn& last = lastReturn;
  if (last.at == 0 || last.fault.signal != fault.signal || last.fault.code != fault.code ||
      last.fault.address != fault.address || last.fault.registers != fault.registers) {
    return false;
  }
  return monotonicNanoseconds() - last.at < kWindowNanoseconds;
}

void FaultRepeat::returning(const Fault& fault) {
  lastReturn = {fault, monotonicNanoseconds()};
}

void FaultRepeat::forget() {
  lastReturn = {};
}

}  // namespace tavrel_mmp
