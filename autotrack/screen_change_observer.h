#pragma once

#include <memory>

#include "tavrel_mmp/platform/ui_toolkit.h"

namespace tavrel_mmp {

// Reports a screen view when, at an application activation, the topmost presented view
// controller is another object than the one last reported. Lives in a shared_ptr: the
// activation handler holds it weakly.
class ScreenChangeObserver : public std::enable_shared_from_this<ScreenChangeObserver> {
 public:
  static std::shared_ptr<ScreenChangeObserver> create();

  // Takes the key window's root as the starting point and registers for activations; does
  // nothing when there is no key window.
  void startObserving();
  bool isObserving() const { return observing_; }

 private:
  ScreenChangeObserver() = default;
  void observeViewControllerChanges();
  void checkForScreenChange();
  void screenChanged(const std::shared_ptr<platform::ViewController>& to);

  // Only touched on the main thread once observing.
  std::shared_ptr<platform::ViewController> currentViewController_;
  bool observing_ = false;
};

}  // namespace tavrel_mmp
