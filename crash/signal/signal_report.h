#pragma once

// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.

#include <signal.h>

#include <cstdint>

#include "crash/signal/fixed_text.h"

namespace tavrel_mmp {

// The crash text of a fatal signal. Its first line is the one the service groups crashes by;
// under it, where and on which thread the signal came, and the thread's stack, one frame a line
// with the module's path, the offset in it and the module's build id, so that the next start
// (`FrameSymbols`) can name the function:
//
//   Signal 11 caught
//   Fault address: 0x0 (code 1)    (for a signal sent: "Sent by process 4242", for abort() or
//                                   raise(): "Raised by this process")
//   Thread: 4242 "worker"
//   #0 pc 0x00000000000123a4 /usr/bin/app (BuildId: 8e3fa2...)
//   #1 pc 0x00007f01234567f0 <unknown>
class SignalReport {
 public:
  // The longest text: a record of it fits `RecordFile::kRecordCapacity`.
  static constexpr std::size_t kMaximumText = 12 * 1024;

  // The first line alone: "Signal 11 caught".
  static void appendFirstLine(FixedText& out, int signal);
  static void compose(FixedText& out, int signal, const siginfo_t* info, const void* context);
  // One frame's place, as in the lines above after the index.
  static void appendFrame(FixedText& out, std::uintptr_t address);
};

}  // namespace tavrel_mmp
