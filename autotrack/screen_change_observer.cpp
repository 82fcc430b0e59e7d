#include "autotrack/screen_change_observer.h"

#include <unordered_set>

#include "autotrack/screen_tracking.h"

namespace tavrel_mmp {

std::shared_ptr<ScreenChangeObserver> ScreenChangeObserver::create() {
  return std::shared_ptr<ScreenChangeObserver>(new ScreenChangeObserver());
}

void ScreenChangeObserver::startObserving() {
  const auto window = platform::uiToolkit().keyWindow();
  if (!window) return;
  currentViewController_ = window->rootViewController();
  observeViewControllerChanges();
}

void ScreenChangeObserver::observeViewControllerChanges() {
  std::weak_ptr<ScreenChangeObserver> weak = weak_from_this();
  platform::uiToolkit().addDidBecomeActiveObserver([weak] {
    if (auto observer = weak.lock()) observer->checkForScreenChange();
  });
  observing_ = true;
}

void ScreenChangeObserver::checkForScreenChange() {
  const auto window = platform::uiToolkit().keyWindow();
  if (!window) return;
  auto top = window->rootViewController();
  if (!top) {
    if (!currentViewController_) return;
    currentViewController_.reset();
    screenChanged(nullptr);
    return;
  }
  // A host toolkit could present in a circle; stop at the first controller seen twice.
  std::unordered_set<const platform::ViewController*> seen{top.get()};
  while (auto presented = top->presentedViewController()) {
    if (!seen.insert(presented.get()).second) break;
    top = std::move(presented);
  }
  if (currentViewController_ == top) return;
  currentViewController_ = top;
  screenChanged(top);
}

void ScreenChangeObserver::screenChanged(const std::shared_ptr<platform::ViewController>& to) {
  trackScreenView(to ? to->description() : "Unknown Screen");
}

}  // namespace tavrel_mmp
