#pragma once

// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.

#include <cstdint>

namespace tavrel_mmp {

// What a thread remembers of the last synchronous fault whose earlier handler returned without
// moving it on: if the same fault comes straight back, that handler did not resolve it. Kept per
// thread, so that two threads faulting in turn do not hide each other's repeats.
class FaultRepeat {
 public:
  struct Fault {
    int signal = 0;
    int code = 0;  // si_code: a missing page and a denied access are two faults
    std::uintptr_t address = 0;
    std::uint64_t registers = 0;  // platform::faultRegisterDigest
  };
  // A fault that follows our return from the same one this soon has run the same instruction
  // again; a later one may be the same code running again after a fault that was resolved.
  static constexpr std::int64_t kWindowNanoseconds = 100'000'000;

  // True when the calling thread returned from exactly this fault less than the window ago.
  static bool isRepeat(const Fault& fault);
  // The calling thread returns from `fault` for the instruction to run again.
  static void returning(const Fault& fault);
  static void forget();
};

}  // namespace tavrel_mmp
