#include "events/upload_outcomes.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "platform/per_process.h"

namespace tavrel_mmp {

struct UploadOutcomes::Watch::State {
  std::mutex mutex;
  std::condition_variable changed;
  Seen seen;
  bool woken = false;
};

namespace {

struct Watchers {
  std::mutex mutex;
  std::vector<std::shared_ptr<UploadOutcomes::Watch::State>> all;
};

// A forked child watches nothing of its parent's.
Watchers& watchers() {
  static auto* held = new platform::PerProcess<Watchers>();
  return held->get();
}

}  // namespace

UploadOutcomes::Watch::Watch() : state_(std::make_shared<State>()) {
  std::lock_guard<std::mutex> lock(watchers().mutex);
  watchers().all.push_back(state_);
}

UploadOutcomes::Watch::~Watch() {
  auto& all = watchers();
  std::lock_guard<std::mutex> lock(all.mutex);
  all.all.erase(std::remove(all.all.begin(), all.all.end(), state_), all.all.end());
}

UploadOutcomes::Seen UploadOutcomes::Watch::waitAndTake(
    std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->changed.wait_until(lock, until, [&] {
    return state_->woken || !state_->seen.accepted.empty() || !state_->seen.notAccepted.empty();
  });
  state_->woken = false;
  return std::exchange(state_->seen, Seen{});
}

std::function<void()> UploadOutcomes::Watch::waker() {
  return [state = state_] {
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->woken = true;
    }
    state->changed.notify_all();
  };
}

std::function<void()> UploadOutcomes::Watch::forgetter() {
  return [state = state_] {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->seen = Seen{};
  };
}

void UploadOutcomes::note(const EventList& events, bool accepted) {
  std::vector<std::shared_ptr<Watch::State>> watching;
  {
    std::lock_guard<std::mutex> lock(watchers().mutex);
    if (watchers().all.empty()) return;
    watching = watchers().all;
  }
  for (const auto& state : watching) {
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      auto& into = accepted ? state->seen.accepted : state->seen.notAccepted;
      for (const auto& event : events) into.push_back(event->id);
    }
    state->changed.notify_all();
  }
}

}  // namespace tavrel_mmp
