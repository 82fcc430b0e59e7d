#include "settings/authentication_progress.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/library_thread.h"
#include "platform/per_process.h"
#include "tavrel_mmp/platform/clock.h"

namespace tavrel_mmp {
namespace {

using Then = std::function<void(const AuthenticationOutcome&)>;

struct Waiter {
  double deadline;  // on the platform's monotonic clock
  Then then;
};

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t generation = 0;  // of the latest request begun
  bool inFlight = false;
  std::vector<Waiter> waiters;
  bool watching = false;  // a library thread keeps the waiters' deadlines
};

// A forked child starts from a state of its own: the parent's (its lock possibly held by a
// thread that does not exist here, its waiters the parent's) is left untouched.
State& state() {
  static platform::PerProcess<State> state;
  return state.get();
}

void run(std::vector<Waiter>& waiters, const AuthenticationOutcome& outcome) {
  for (auto& waiter : waiters) {
    try {
      waiter.then(outcome);
    } catch (...) {
      // Each waiter ends its own work; one that fails does not hold the others back.
    }
  }
}

// Releases waiters whose deadline passed without an end, until none is left. It looks at the
// platform's clock at least once a second, so that a clock a host (or a test) moves is followed.
void watchDeadlines(State& s) {
  std::unique_lock<std::mutex> lock(s.mutex);
  while (!s.waiters.empty()) {
    const double now = platform::clock().monotonic();
    const auto overdue = std::partition(s.waiters.begin(), s.waiters.end(),
                                        [now](const Waiter& w) { return w.deadline > now; });
    if (overdue != s.waiters.end()) {
      std::vector<Waiter> due(std::make_move_iterator(overdue),
                              std::make_move_iterator(s.waiters.end()));
      s.waiters.erase(overdue, s.waiters.end());
      lock.unlock();
      run(due, {});
      lock.lock();
      continue;
    }
    double earliest = s.waiters.front().deadline;
    for (const auto& waiter : s.waiters) earliest = std::min(earliest, waiter.deadline);
    s.changed.wait_for(lock, std::chrono::duration<double>(std::min(earliest - now, 1.0)));
  }
  s.watching = false;
}

}  // namespace

void AuthenticationProgress::begin(std::uint64_t generation) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.generation = generation;
  s.inFlight = true;
}

void AuthenticationProgress::end(std::uint64_t generation, const AuthenticationOutcome& outcome) {
  State& s = state();
  std::vector<Waiter> waiters;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.inFlight || generation < s.generation) return;
    s.inFlight = false;
    waiters.swap(s.waiters);
    s.changed.notify_all();
  }
  run(waiters, outcome);
}

void AuthenticationProgress::whenSettled(double timeoutSeconds, Then then) {
  State& s = state();
  bool waiting = false;
  bool startWatch = false;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.inFlight) {
      s.waiters.push_back({platform::clock().monotonic() + timeoutSeconds, std::move(then)});
      waiting = true;
      startWatch = !s.watching;
      s.watching = true;
    }
  }
  if (!waiting) return then({});
  if (!startWatch) return;
  if (!platform::startLibraryThread([&s] { watchDeadlines(s); })) {
    // No thread for the deadlines: the waiters still go on at the authentication's end.
    std::lock_guard<std::mutex> lock(s.mutex);
    s.watching = false;
  }
}

}  // namespace tavrel_mmp
