#pragma once

#include <memory>

#include "tavrel_mmp/platform/ui_toolkit.h"

namespace tavrel_mmp {

// Reports a screen view when, at an application activation, the topmost presented view
// controller is another object than the one last reported. The activation handler that calls
// `checkForScreenChange` is registered by whoever holds the observer (screen tracking).
class ScreenChangeObserver {
 public:
  // Takes the key window's root as the starting point; false when there is no key window, in
  // which case nothing is observed.
  bool startObserving();
  // Runs on the main thread at each activation.
  void checkForScreenChange();

 private:
  void screenChanged(const std::shared_ptr<platform::ViewController>& to);

  // Only touched on the main thread once observing.
  std::shared_ptr<platform::ViewController> currentViewController_;
};

}  // namespace tavrel_mmp
