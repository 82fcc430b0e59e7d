#include "autotrack/screen_tracking.h"

#include <mutex>
#include <utility>

#include "autotrack/screen_change_observer.h"
#include "events/tracking_event.h"

namespace tavrel_mmp {
namespace {

// The one started observer, alive for the rest of the process. Replacing it lets the earlier
// one go, and its activation handler, which holds it weakly, then does nothing.
struct ObserverHolder {
  std::mutex mutex;
  std::shared_ptr<ScreenChangeObserver> observer;
};

ObserverHolder& holder() {
  static auto* h = new ObserverHolder();
  return *h;
}

}  // namespace

void startAutomaticScreenTracking() {
  auto observer = ScreenChangeObserver::create();
  observer->startObserving();
  if (!observer->isObserving()) return;
  std::shared_ptr<ScreenChangeObserver> previous;
  {
    std::lock_guard<std::mutex> lock(holder().mutex);
    previous = std::exchange(holder().observer, std::move(observer));
  }
  // `previous` is released here, outside the lock.
}

void trackScreenView(const std::string& screenName) {
  TrackingEvent::trackEvent(kScreenViewEvent, PropertyDictionary{{"screen_name", screenName}});
}

}  // namespace tavrel_mmp
