// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.
#include "crash/signal/fault_rounds.h"

#include <atomic>

namespace tavrel_mmp {
namespace {

// thread id (32 bits) | signal (8 bits) | generation (24 bits); 0 is a free slot. Every round,
// a thread's stale entry taken over too, gets the next generation: the crash watch, which
// decided on the old word, cannot end the new round, and the generations tell which round
// began last.
std::atomic<std::uint64_t> slots[FaultRounds::kSlots];
std::atomic<std::uint64_t> lastGeneration{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

std::uint64_t nextGeneration() {
  std::uint64_t generation;
  do {
    generation = ++lastGeneration & 0xffffff;
  } while (generation == 0);
  return generation;
}

std::uint64_t makeWord(long threadId, int signal, std::uint64_t generation) {
  return (static_cast<std::uint64_t>(threadId) & 0xffffffffu) |
         (static_cast<std::uint64_t>(signal & 0xff) << 32) | ((generation & 0xffffff) << 40);
}

}  // namespace

FaultRounds::Round FaultRounds::enter(long threadId, int signal) {
  // No thread is in two rounds of one signal (it is blocked in the first), so an entry of ours
  // for this signal is left from a round the thread jumped out of.
  for (int i = 0; i < kSlots; ++i) {
    std::uint64_t word = slots[i].load();
    while (word != 0 && threadOf(word) == threadId && signalOf(word) == signal) {
      const std::uint64_t next = makeWord(threadId, signal, nextGeneration());
      if (slots[i].compare_exchange_strong(word, next)) return {i, next, true};
    }
  }
  const std::uint64_t word = makeWord(threadId, signal, nextGeneration());
  for (int i = 0; i < kSlots; ++i) {
    std::uint64_t expected = 0;
    if (slots[i].compare_exchange_strong(expected, word)) return {i, word, false};
  }
  return {};
}

bool FaultRounds::leave(const Round& round) {
  if (round.slot < 0 || round.slot >= kSlots) return false;
  std::uint64_t expected = round.word;
  return slots[round.slot].compare_exchange_strong(expected, 0);
}

std::array<std::uint64_t, FaultRounds::kSlots> FaultRounds::snapshot() {
  std::array<std::uint64_t, kSlots> words{};
  for (int i = 0; i < kSlots; ++i) words[i] = slots[i].load();
  return words;
}

void FaultRounds::clear() {
  for (auto& slot : slots) slot.store(0);
}

}  // namespace tavrel_mmp
