#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

#include "tavrel_mmp/platform/ui_toolkit.h"

namespace tavrel_mmp::testing {

// The headless toolkit, counting the activation handlers registered with it.
class CountingUIToolkit : public platform::HeadlessUIToolkit {
 public:
  void addDidBecomeActiveObserver(std::function<void()> handler) override {
    if (handler) ++observers_;  // the toolkit ignores an empty handler
    HeadlessUIToolkit::addDidBecomeActiveObserver(std::move(handler));
  }
  std::size_t observerCount() const { return observers_.load(); }

 private:
  std::atomic<std::size_t> observers_{0};
};

// A headless window that keeps every event sent to it.
class RecordingWindow : public platform::HeadlessWindow {
 public:
  void sendEvent(const platform::UIEvent& event) override {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(event);
  }
  std::vector<platform::UIEvent> receivedEvents() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<platform::UIEvent> received_;
};

}  // namespace tavrel_mmp::testing
