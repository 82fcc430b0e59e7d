#include "session/installation.h"

#include "core/logger.h"
#include "crash/crashlytics.h"
#include "deeplink/deferred_deep_link.h"
#include "events/tracking_event.h"
#include "session/session_manager.h"
#include "settings/storage_helper.h"
#include "settings/tracking_consent.h"
#include "tavrel_mmp/deep_link_handler.h"

namespace tavrel_mmp {

void Installation::setTrackingEnabled(bool enabled) {
  TrackingConsent::setEnabled(enabled);
  TrackingEvent::settleHeldEvents(enabled);
  if (!enabled) return;
  TrackingEvent::resume();
  if (!StorageHelper::shared().getAuthData()) SessionManager::retry();
}

bool Installation::isTrackingEnabled() {
  return TrackingConsent::isEnabled();
}

void Installation::forget() {
  // First: whatever was begun before is stale from here on, and a batch on its way to the
  // transport has been handed over or never will be.
  TrackingConsent::startNewEpoch();
  SessionManager::forgetSession();
  DeferredDeepLink::endQuestion();
  DeepLinkHandler::forget();
  TrackingEvent::forgetQueue();
  Crashlytics::forget();
  // One change for every entry of the installation; until it is on disk no request carries the
  // new device identifier (a process ending before would find the old one), and none the old.
  auto& storage = StorageHelper::shared();
  storage.resetInstallation();
  if (!storage.flush()) {
    Logger::log("The forgotten installation is not yet off the disk; it goes as soon as it can");
  }
}

}  // namespace tavrel_mmp
