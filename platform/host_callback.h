#pragma once

#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "core/logger.h"
#include "platform/per_process.h"

namespace tavrel_mmp::platform {

// One callback of the host's, replaced by the host at any time and called from library threads
// with no lock held. It stays the host's in a forked child.
template <class... Args>
class HostCallback {
 public:
  using Callback = std::function<void(Args...)>;

  // `what` names it in the line said when it throws.
  explicit HostCallback(const char* what) : what_(what) {}

  // Replaces any earlier one; an empty one removes it.
  void set(Callback callback) {
    auto& held = state_.get();
    std::lock_guard<std::mutex> lock(held.mutex);
    held.callback = std::move(callback);
  }

  bool isSet() { return static_cast<bool>(current()); }

  // Calls the callback, if any, with a copy taken under the lock.
  void call(Args... args) {
    const Callback callback = current();
    if (!callback) return;
    try {
      callback(std::forward<Args>(args)...);
    } catch (...) {
      Logger::log(std::string("The ") + what_ + " callback threw");
    }
  }

 private:
  struct Held {
    std::mutex mutex;
    Callback callback;
  };

  Callback current() {
    auto& held = state_.get();
    std::lock_guard<std::mutex> lock(held.mutex);
    return held.callback;
  }

  const char* what_;
  PerProcess<Held> state_{
      &Held::mutex, [](Held& made, const Held& inherited) { made.callback = inherited.callback; }};
};

}  // namespace tavrel_mmp::platform
