#include "autotrack/screen_change_observer.h"

#include <unordered_set>

#include "autotrack/screen_tracking.h"

namespace tavrel_mmp {

bool ScreenChangeObserver::startObserving() {
  const auto window = platform::uiToolkit().keyWindow();
  if (!window) return false;
  currentViewController_ = window->rootViewController();
  return true;
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
