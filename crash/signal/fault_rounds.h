#pragma once

// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.

#include <array>
#include <cstdint>

namespace tavrel_mmp {

// The threads that are inside an earlier handler for a synchronous fault of theirs. Each holds
// the pending crash record (`RecordFile::hold`); a thread that jumps out of the handler
// leaves its entry behind, and the crash watch ends that round for it once it can tell the
// thread has left. Lock-free.
class FaultRounds {
 public:
  static constexpr int kSlots = 16;

  struct Round {
    int slot = -1;  // -1: no room, the thread is not counted
    std::uint64_t word = 0;
    // The thread's entry from an earlier round of the same signal (it jumped out) was taken
    // over: it holds the record already.
    bool resumed = false;
  };

  static Round enter(long threadId, int signal);
  // True when this call ended the round; only then may the caller release the record.
  static bool leave(const Round& round);

  // Every open round as its entry word (0: free slot), for the crash watch.
  static std::array<std::uint64_t, kSlots> snapshot();
  static long threadOf(std::uint64_t word) { return static_cast<long>(word & 0xffffffffu); }
  static int signalOf(std::uint64_t word) { return static_cast<int>((word >> 32) & 0xff); }
  // Larger for a round that began later (until it wraps after 16 million rounds).
  static std::uint64_t generationOf(std::uint64_t word) { return word >> 40; }

  // A forked child starts with no thread inside a handler.
  static void clear();
};

}  // namespace tavrel_mmp
