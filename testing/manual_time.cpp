#include "tavrel_mmp/testing/manual_time.h"

#include <algorithm>

namespace tavrel_mmp::testing {

ManualClock::ManualClock(double start) : now_(start) {}

double ManualClock::now() {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

double ManualClock::monotonic() {
  std::lock_guard<std::mutex> lock(mutex_);
  return monotonic_;
}

void ManualClock::set(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ = seconds;
}

void ManualClock::advance(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ += seconds;
  monotonic_ += seconds;
}

ManualMainLoop::ManualMainLoop(std::shared_ptr<ManualClock> clock) : clock_(std::move(clock)) {}

void ManualMainLoop::post(std::function<void()> task) {
  std::lock_guard<std::mutex> lock(mutex_);
  tasks_.push_back(std::move(task));
}

void ManualMainLoop::scheduleRepeating(double periodSeconds, std::function<void()> tick) {
  auto timer = std::make_shared<Timer>(
      Timer{periodSeconds, clock_->monotonic() + periodSeconds, std::move(tick)});
  std::lock_guard<std::mutex> lock(mutex_);
  timers_.push_back(std::move(timer));
}

void ManualMainLoop::postAfter(double delaySeconds, std::function<void()> task) {
  auto timer =
      std::make_shared<Timer>(Timer{0, clock_->monotonic() + delaySeconds, std::move(task)});
  std::lock_guard<std::mutex> lock(mutex_);
  delayed_.push_back(std::move(timer));
}

std::size_t ManualMainLoop::runPending() {
  std::size_t ran = 0;
  for (;;) {
    std::vector<std::function<void()>> batch;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      batch.swap(tasks_);
    }
    if (batch.empty()) return ran;
    for (auto& task : batch) {
      // Released once it ran, as a real run loop does: what it holds ends with it.
      const auto running = std::move(task);
      running();
      ++ran;
    }
  }
}

void ManualMainLoop::advance(double seconds) {
  const double target = clock_->monotonic() + seconds;
  runPending();
  for (;;) {
    std::shared_ptr<Timer> next;
    bool once = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto* list : {&timers_, &delayed_}) {
        for (auto& timer : *list) {
          if (timer->due <= target && (!next || timer->due < next->due)) {
            next = timer;
            once = list == &delayed_;
          }
        }
      }
      if (once) std::erase(delayed_, next);
    }
    if (!next) break;
    clock_->advance(std::max(0.0, next->due - clock_->monotonic()));
    if (!once) next->due += next->period > 0 ? next->period : 1e-3;
    next->tick();
    runPending();
  }
  clock_->advance(std::max(0.0, target - clock_->monotonic()));
  runPending();
}

std::size_t ManualMainLoop::timerCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return timers_.size();
}

}  // namespace tavrel_mmp::testing
