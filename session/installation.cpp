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

namespace {

// What waited (stored events, the authentication) leaves, unless something still holds it back.
void resumeSending() {
  if (!TrackingConsent::isEnabled()) return;
  TrackingEvent::resume();
  if (!StorageHelper::shared().getAuthData()) SessionManager::retry();
}

}  // namespace

void Installation::setTrackingEnabled(bool enabled) {
  setConsent(enabled ? ConsentState::granted : ConsentState::denied);
}

void Installation::setConsent(ConsentState state) {
  const auto before = TrackingConsent::state();
  TrackingConsent::setState(state);
  // Recorded on the understanding that nothing leaves before the user decides: the user said no.
  if (before == ConsentState::pending && state == ConsentState::denied) {
    Logger::log("Consent denied: the events recorded while it was pending are deleted");
    TrackingEvent::forgetQueue();
  }
  TrackingEvent::settleHeldEvents(state != ConsentState::denied);
  if (state == ConsentState::granted) resumeSending();
}

bool Installation::isTrackingEnabled() {
  return TrackingConsent::state() == ConsentState::granted;
}

void Installation::setOffline(bool offline) {
  TrackingConsent::setOffline(offline);
  Logger::log(offline ? "Offline: events are recorded and nothing is sent"
                      : "Online: what waited is sent");
  if (!offline) resumeSending();
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
