#include "crash/crash_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "core/logger.h"
#include "core/no_destructor.h"
#include "crash/signal/fault_rounds.h"
#include "crash/signal/record_file.h"
#include "crash/signal/watch_bell.h"
#include "platform/library_thread.h"
#include "platform/per_process.h"
#include "platform/thread_signals.h"
#include "tavrel_mmp/platform/clock.h"

namespace tavrel_mmp {
namespace {

// While a round is open the watch looks soon after it began (a probe jumps out at once), then
// less often: 1, 2, 4 ... ms, at most every 50 ms.
constexpr int kFirstLookMilliseconds = 1;
constexpr int kLongestLookMilliseconds = 50;

struct Watch {
  std::mutex mutex;
  // Since when each open round (by its entry word) has been seen, for the last resort.
  std::map<std::uint64_t, double> firstSeen;
  bool exitHookRegistered = false;
};
// A forked child watches its own rounds; the exit hook it inherited stays registered.
Watch& watch() {
  static platform::PerProcess<Watch> state(&Watch::mutex, [](auto& made, const auto& inherited) {
    made.exitHookRegistered = inherited.exitHookRegistered;
  });
  return state.get();
}

bool anyRoundOpen() {
  for (const std::uint64_t word : FaultRounds::snapshot()) {
    if (word != 0) return true;
  }
  return false;
}

void drain(int fd) {
  char buffer[64];
  while (::read(fd, buffer, sizeof buffer) > 0) {
  }
}

void watchLoop(int readFd) {
  // Asked here first, on a thread of ours: the check adjusts the asking thread's mask.
  if (!platform::threadSignalMasksKnown()) {
    Logger::log(
        "The system does not show threads' signal masks: a fault the host resolves by jumping "
        "out of its handler stays recorded until the process exits or " +
        std::to_string(static_cast<int>(CrashWatch::kLastResortSeconds)) + " s have passed");
  }
  int interval = kFirstLookMilliseconds;
  for (;;) {
    pollfd wanted{readFd, POLLIN, 0};
    const int ready = ::poll(&wanted, 1, anyRoundOpen() ? interval : -1);
    if (ready < 0 && errno != EINTR) return;
    if (ready > 0) {
      drain(readFd);
      WatchBell::heard();
      interval = kFirstLookMilliseconds;
    } else {
      interval = std::min(interval * 2, kLongestLookMilliseconds);
    }
    CrashWatch::settle();
  }
}

// A process that reaches exit() was not ended by a fault: every round still open was left,
// whatever its thread's mask says (a jump out that kept the signal blocked).
void endRoundsAtExit() {
  const auto words = FaultRounds::snapshot();
  for (int slot = 0; slot < FaultRounds::kSlots; ++slot) {
    const FaultRounds::Round round{slot, words[slot], false};
    if (round.word != 0 && FaultRounds::leave(round)) RecordFile::release(round);
  }
}

}  // namespace

bool CrashWatch::ensureRunning() {
  auto& state = watch();
  std::lock_guard lock(state.mutex);
  if (WatchBell::connected()) return true;
  // A forked child shares the parent's pipe: its own rings must not reach the parent's watch.
  WatchBell::connect(-1);
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  const int readFd = ends[0];
  if (!platform::startLibraryThread([readFd] { watchLoop(readFd); })) {
    ::close(ends[0]);
    ::close(ends[1]);
    return false;
  }
  WatchBell::connect(ends[1]);
  if (!state.exitHookRegistered) {
    state.exitHookRegistered = std::atexit(&endRoundsAtExit) == 0;
    std::at_quick_exit(&endRoundsAtExit);
  }
  return true;
}

void CrashWatch::settleIfAnyOpen() {
  if (anyRoundOpen()) settle();
}

void CrashWatch::settle() {
  auto& state = watch();
  std::lock_guard lock(state.mutex);
  const double now = platform::clock().monotonic();
  std::map<std::uint64_t, double> stillOpen;
  const auto words = FaultRounds::snapshot();
  for (int slot = 0; slot < FaultRounds::kSlots; ++slot) {
    const std::uint64_t word = words[slot];
    if (word == 0) continue;
    const auto mask =
        platform::threadSignalMask(FaultRounds::threadOf(word), FaultRounds::signalOf(word));
    const auto seen = state.firstSeen.find(word);
    const double since = seen == state.firstSeen.end() ? now : seen->second;
    const bool left = mask == platform::ThreadSignalMask::unblocked ||
                      mask == platform::ThreadSignalMask::gone || now - since >= kLastResortSeconds;
    if (!left) {
      stillOpen.emplace(word, since);
    } else if (const FaultRounds::Round round{slot, word, false}; FaultRounds::leave(round)) {
      RecordFile::release(round);
    }
  }
  state.firstSeen.swap(stillOpen);
}

}  // namespace tavrel_mmp
