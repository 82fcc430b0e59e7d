#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/library_thread.h"
#include "platform/tick_schedule.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp::platform {
namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

// A Linux process has no main run loop of ours, so one library thread plays the main thread:
// posted tasks and timer ticks run there one at a time. Timers are scheduled on the monotonic
// clock so that wall-clock jumps neither stall nor rush them.
class ThreadMainLoop : public MainLoop {
 public:
  void post(std::function<void()> task) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    ensureStarted();
    wake_.notify_one();
  }

  void scheduleRepeating(double periodSeconds, std::function<void()> tick) override {
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(periodSeconds > 0 ? periodSeconds : 0.001));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      timers_.push_back({period, std::chrono::steady_clock::now() + period, std::move(tick)});
    }
    ensureStarted();
    wake_.notify_one();
  }

 private:
  struct Timer {
    std::chrono::steady_clock::duration period;
    SteadyTime due;
    std::function<void()> tick;
  };

  // A thread the system refused now is asked for again at the next post or timer.
  void ensureStarted() {
    std::lock_guard<std::mutex> lock(startMutex_);
    if (!started_) started_ = startLibraryThread([this] { run(); });
  }

  static void runGuarded(const std::function<void()>& work) {
    try {
      work();
    } catch (...) {
      // Work handed to the loop must never end the loop.
    }
  }

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (!tasks_.empty()) {
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        runGuarded(task);
        lock.lock();
        continue;
      }
      Timer* next = nullptr;
      for (auto& timer : timers_) {
        if (next == nullptr || timer.due < next->due) next = &timer;
      }
      if (next == nullptr) {
        wake_.wait(lock);
        continue;
      }
      const auto now = std::chrono::steady_clock::now();
      if (next->due > now) {
        wake_.wait_until(lock, next->due);
        continue;
      }
      next->due = nextDueAfterTick(next->due, next->period, now);
      auto tick = next->tick;
      lock.unlock();
      runGuarded(tick);
      lock.lock();
    }
  }

  std::mutex startMutex_;
  bool started_ = false;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::vector<Timer> timers_;
};

}  // namespace

std::shared_ptr<MainLoop> makeThreadMainLoop() {
  return std::make_shared<ThreadMainLoop>();
}

}  // namespace tavrel_mmp::platform
