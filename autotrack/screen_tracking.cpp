#include "autotrack/screen_tracking.h"

#include <mutex>
#include <utility>

#include "autotrack/screen_change_observer.h"
#include "events/library_events.h"
#include "events/tracking_event.h"
#include "platform/per_process.h"

namespace tavrel_mmp {
namespace {

// The one started observer, alive for the rest of the process, and the toolkit whose activations
// reach it. One handler is registered per toolkit and forwards to whichever observer is current:
// a later start replaces the observer, never adds a handler.
struct ObserverHolder {
  std::mutex mutex;
  std::shared_ptr<ScreenChangeObserver> observer;
  const platform::UIToolkit* registeredWith = nullptr;
};

// A forked child keeps the observer and its registration (the toolkit's handlers are memory
// too) when no vanished thread holds the lock.
ObserverHolder& holder() {
  static platform::PerProcess<ObserverHolder> h(&ObserverHolder::mutex,
                                                [](auto& made, const auto& inherited) {
                                                  made.observer = inherited.observer;
                                                  made.registeredWith = inherited.registeredWith;
                                                });
  return h.get();
}

void onActivation() {
  std::shared_ptr<ScreenChangeObserver> observer;
  {
    std::lock_guard<std::mutex> lock(holder().mutex);
    observer = holder().observer;
  }
  if (observer) observer->checkForScreenChange();
}

}  // namespace

void startAutomaticScreenTracking() {
  auto observer = std::make_shared<ScreenChangeObserver>();
  if (!observer->startObserving()) return;
  auto& toolkit = platform::uiToolkit();
  std::shared_ptr<ScreenChangeObserver> previous;
  bool registerHandler = false;
  {
    std::lock_guard<std::mutex> lock(holder().mutex);
    previous = std::exchange(holder().observer, std::move(observer));
    registerHandler = holder().registeredWith != &toolkit;
    holder().registeredWith = &toolkit;
  }
  // Outside the lock: the toolkit is the host's code. `previous` is released here too.
  if (registerHandler) toolkit.addDidBecomeActiveObserver(&onActivation);
}

void trackScreenView(const std::string& screenName) {
  TrackingEvent::trackEvent(library_events::kScreenView,
                            PropertyDictionary{{"screen_name", screenName}});
}

}  // namespace tavrel_mmp
