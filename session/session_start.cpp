// What every accepted authentication starts, and the two service calls it makes.
#include "session/session_start.h"

#include "core/logger.h"
#include "core/utf8.h"
#include "crash/crashlytics.h"
#include "deeplink/deferred_deep_link.h"
#include "device/device_info.h"
#include "events/tracking_event.h"
#include "net/http_client.h"
#include "session/session_manager.h"
#include "session/storage_helper.h"
#include "tavrel_mmp/deep_link_handler.h"

namespace tavrel_mmp {
namespace {

constexpr const char* kFirstOpenKey = "___first_open";

void logBody(const std::optional<std::vector<std::uint8_t>>& body, const char* notText) {
  if (!body) return;
  const std::string text(body->begin(), body->end());
  Logger::log(isValidUtf8(text) ? text : std::string(notText));
}

PropertyDictionary deeplinkData() {
  return PropertyDictionary{{"deeplink", DeepLinkHandler::getLastDeepLink()}};
}

}  // namespace

void SessionStart::begin(const AuthData& accepted) {
  SessionManager::updateInfo(DeviceInfo::getDeviceInfo());

  // The marker is claimed in the settings file before the first open is tracked: a process
  // ending in between, or another process of the application starting at the same moment,
  // records no second one. While the file cannot be written the next session start decides.
  const auto firstOpen = StorageHelper::shared().claim(kFirstOpenKey, "1", "0");
  if (!firstOpen) {
    Logger::log("The settings cannot be written; the first open is decided at the next start");
  } else if (firstOpen->claimed) {
    TrackingEvent::trackEvent("tvr_mmp_first_open", deeplinkData());
    DeferredDeepLink::asking();
    DeepLinkHandler::getUDL();
  } else {
    SessionManager::sendSessionDeeplink();
    // A deferred deep link whose answer was lost is asked for again, a few times at most.
    if (DeferredDeepLink::shouldAskAgain()) DeepLinkHandler::getUDL();
  }

  TrackingEvent::trackEvent("tvr_mmp_start_session", deeplinkData());
  const std::int64_t days = accepted.data ? accepted.data->deeplinkExpired.value_or(0) : 0;
  DeepLinkHandler::saveDeeplink(days);
  Crashlytics::check();
}

void SessionManager::updateInfo(const std::optional<PropertyDictionary>& data) {
  HttpClient::shared().post(
      "/partner/device-info/update", data,
      [](std::optional<std::vector<std::uint8_t>> body, std::optional<HttpError>) {
        logBody(body, "Khong lay duoc du lieu");
      });
}

void SessionManager::sendSessionDeeplink() {
  DeepLinkHandler::initDeeplink();
  const std::string deeplink = DeepLinkHandler::getLastDeepLink();
  if (deeplink.empty()) return;
  HttpClient::shared().post("/partner/session-deeplink", PropertyDictionary{{"deeplink", deeplink}},
                            [](std::optional<std::vector<std::uint8_t>> body,
                               std::optional<HttpError>) { logBody(body, "No data"); });
}

}  // namespace tavrel_mmp
