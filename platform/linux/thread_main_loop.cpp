#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/library_thread.h"
#include "platform/per_process.h"
#include "platform/tick_schedule.h"
#include "tavrel_mmp/platform/thread_main_loop.h"

namespace tavrel_mmp::platform {
namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

// A Linux process has no main run loop of ours, so one library thread plays the main thread:
// posted tasks and timer ticks run there one at a time. Timers are scheduled on the monotonic
// clock so that wall-clock jumps neither stall nor rush them.
//
// The thread and what waits for it belong to one process: a forked child starts with no tasks
// (those posted before the fork are the parent's to run) and no timers (the library installs
// them again there once it is used), and starts its own thread at its first post.
class ThreadMainLoop : public MainLoop {
 public:
  void post(std::function<void()> task) override {
    const std::shared_ptr<Loop> loop = loops_.share();
    {
      std::lock_guard<std::mutex> lock(loop->mutex);
      loop->tasks.push_back(std::move(task));
    }
    ensureStarted(loop);
    loop->wake.notify_one();
  }

  void scheduleRepeating(double periodSeconds, std::function<void()> tick) override {
    addTimer(periodSeconds, std::move(tick), true);
  }

  void postAfter(double delaySeconds, std::function<void()> task) override {
    addTimer(delaySeconds, std::move(task), false);
  }

 private:
  struct Timer {
    std::chrono::steady_clock::duration period;
    SteadyTime due;
    std::function<void()> tick;
    bool repeating;
  };

  struct Loop {
    std::mutex startMutex;
    bool started = false;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    std::vector<Timer> timers;
  };

  void addTimer(double seconds, std::function<void()> tick, bool repeating) {
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds > 0 ? seconds : 0.001));
    const std::shared_ptr<Loop> loop = loops_.share();
    {
      std::lock_guard<std::mutex> lock(loop->mutex);
      loop->timers.push_back(
          {period, std::chrono::steady_clock::now() + period, std::move(tick), repeating});
    }
    ensureStarted(loop);
    loop->wake.notify_one();
  }

  // A thread the system refused now is asked for again at the next post or timer.
  static void ensureStarted(const std::shared_ptr<Loop>& loop) {
    std::lock_guard<std::mutex> lock(loop->startMutex);
    if (!loop->started) loop->started = startLibraryThread([loop] { run(*loop); });
  }

  static void runGuarded(const std::function<void()>& work) {
    try {
      work();
    } catch (...) {
      // Work handed to the loop must never end the loop.
    }
  }

  static void run(Loop& loop) {
    std::unique_lock<std::mutex> lock(loop.mutex);
    for (;;) {
      if (!loop.tasks.empty()) {
        auto task = std::move(loop.tasks.front());
        loop.tasks.pop_front();
        lock.unlock();
        runGuarded(task);
        lock.lock();
        continue;
      }
      Timer* next = nullptr;
      for (auto& timer : loop.timers) {
        if (next == nullptr || timer.due < next->due) next = &timer;
      }
      if (next == nullptr) {
        loop.wake.wait(lock);
        continue;
      }
      const auto now = std::chrono::steady_clock::now();
      if (next->due > now) {
        // A copy: a timer added while the loop waits may move the vector's elements.
        const SteadyTime due = next->due;
        loop.wake.wait_until(lock, due);
        continue;
      }
      std::function<void()> tick;
      if (next->repeating) {
        next->due = nextDueAfterTick(next->due, next->period, now);
        tick = next->tick;
      } else {
        tick = std::move(next->tick);
        loop.timers.erase(loop.timers.begin() + (next - loop.timers.data()));
      }
      lock.unlock();
      runGuarded(tick);
      lock.lock();
    }
  }

  PerProcess<Loop> loops_;
};

}  // namespace

std::shared_ptr<MainLoop> makeThreadMainLoop() {
  return std::make_shared<ThreadMainLoop>();
}

}  // namespace tavrel_mmp::platform
