#include "session/session_start.h"

#include "core/logger.h"
#include "crash/crashlytics.h"
#include "deeplink/deferred_deep_link.h"
#include "device/device_info.h"
#include "events/library_events.h"
#include "events/tracking_event.h"
#include "session/session_manager.h"
#include "settings/settings_keys.h"
#include "settings/storage_helper.h"
#include "tavrel_mmp/deep_link_handler.h"

namespace tavrel_mmp {
namespace {

PropertyDictionary deeplinkData() {
  return PropertyDictionary{{"deeplink", DeepLinkHandler::getLastDeepLink()}};
}

}  // namespace

void SessionStart::begin(const AuthData& accepted) {
  SessionManager::updateInfo(DeviceInfo::getDeviceInfo());

  // The marker is claimed in the settings file before the first open is tracked: a process
  // ending in between, or another process of the application starting at the same moment,
  // records no second one. While the file cannot be written the next session start decides.
  const auto firstOpen = StorageHelper::shared().claim(settings_keys::kFirstOpen, "1", "0");
  if (!firstOpen) {
    Logger::log("The settings cannot be written; the first open is decided at the next start");
  } else if (firstOpen->claimed) {
    TrackingEvent::trackEvent(library_events::kFirstOpen, deeplinkData());
    DeferredDeepLink::asking();
    DeepLinkHandler::getUDL();
  } else {
    SessionManager::sendSessionDeeplink();
    // A deferred deep link whose answer was lost is asked for again, a few times at most.
    if (DeferredDeepLink::shouldAskAgain()) DeepLinkHandler::getUDL();
  }

  TrackingEvent::trackEvent(library_events::kStartSession, deeplinkData());
  const std::int64_t days = accepted.data ? accepted.data->deeplinkExpired.value_or(0) : 0;
  DeepLinkHandler::saveDeeplink(days);
  Crashlytics::check();
}

}  // namespace tavrel_mmp
