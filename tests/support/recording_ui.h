#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

#include "tavrel_mmp/platform/headless_ui_toolkit.h"
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

}  // namespace tavrel_mmp::testing
