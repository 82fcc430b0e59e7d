#include "tavrel_mmp/nimbrel.h"

#include "autotrack/screen_tracking.h"
#include "commerce/commerce_events.h"
#include "core/logger.h"
#include "core/no_destructor.h"
#include "crash/crashlytics.h"
#include "deeplink/deferred_link_callback.h"
#include "device/user_profile.h"
#include "events/global_properties.h"
#include "events/tracking_event.h"
#include "platform/host_identity.h"
#include "platform/library_thread.h"
#include "sdk/host_log_sink.h"
#include "session/installation.h"
#include "session/session_callback.h"
#include "session/session_manager.h"
#include "settings/storage_helper.h"
#include "tavrel_mmp/deep_link_handler.h"

namespace tavrel_mmp {
namespace {

// Every entry point runs the library's work here: nothing thrown ever reaches the host.
template <class Work>
void guarded(Work work) {
  try {
    platform::ensureProcessSetup();
    Crashlytics::atLibraryCall();
    work();
  } catch (const std::exception& e) {
    Logger::error(std::string("Unexpected failure: ") + e.what());
  } catch (...) {
    Logger::error("Unexpected failure");
  }
}

// The host's "no data": JSON null, which every recorder reads as none.
const PropertyDictionary& orNull(const std::optional<PropertyDictionary>& data) {
  static NoDestructor<PropertyDictionary> none;
  return data ? *data : none.get();
}

}  // namespace

void Nimbrel::intSDK(const std::string& partnerCode, const std::string& appSecret,
                     const std::shared_ptr<NimbrelOptions>& options) {
  guarded([&] {
    // First: where the files are and who the app is, for everything that follows, crash
    // capture included (so also with an empty partner code).
    if (options) {
      platform::setHostIdentity({options->bundleId, options->appVersion, options->dataDirectory});
    }
    if (!partnerCode.empty()) {
      if (options) {
        Logger::setDevMode(options->showLog);
        if (options->autoTrackingScreen) startAutomaticScreenTracking();
      }
      StorageHelper::shared().savePartnerCode(partnerCode);
      StorageHelper::shared().saveAppSecret(appSecret);
      SessionManager::auth(partnerCode, appSecret);
    }
  });
  // Crash capture is installed on every call, whatever happened above, unless the host keeps
  // crashes to its own reporter.
  if (!options || options->crashReporting) guarded([] { Crashlytics::setup(); });
}

void Nimbrel::intSDK(const std::string& partnerCode, const std::string& appSecret) {
  auto options = std::make_shared<NimbrelOptions>();
  options->showLog = Logger::devMode();
  options->autoTrackingScreen = true;
  intSDK(partnerCode, appSecret, options);
}

void Nimbrel::logEvent(const std::string& name, const std::optional<PropertyDictionary>& data) {
  logEvent(name, orNull(data));
}

void Nimbrel::logEvent(const std::string& name, const PropertyDictionary& data) {
  guarded([&] {
    const auto merged = GlobalProperties::forHostEvent(data, false);
    TrackingEvent::trackEvent(name, merged ? *merged : data);
  });
}

void Nimbrel::logRealtimeEvent(const std::string& name, const PropertyDictionary& data) {
  guarded([&] {
    const auto merged = GlobalProperties::forHostEvent(data, true);
    TrackingEvent::trackEvent(name, merged ? *merged : data);
  });
}

void Nimbrel::setGlobalProperties(const PropertyDictionary& properties) {
  guarded([&] { GlobalProperties::set(properties); });
}

void Nimbrel::unsetGlobalProperty(const std::string& key) {
  guarded([&] { GlobalProperties::unset(key); });
}

void Nimbrel::setDevMode(bool on) {
  Logger::setDevMode(on);
}

void Nimbrel::setCurrentScreen(const std::string& screenName) {
  guarded([&] { trackScreenView(screenName); });
}

void Nimbrel::recordError(const std::string& name, const std::string& stackTrace) {
  guarded([&] { Crashlytics::recordError(name, stackTrace); });
}

void Nimbrel::setUserInfo(const std::shared_ptr<UserInfo>& userInfo) {
  guarded([&] {
    if (!userInfo) return Logger::log("setUserInfo: no user profile given");
    UserProfile::send(*userInfo);
  });
}

void Nimbrel::setRevenue(const std::string& orderId, double amount, const std::string& currency,
                         const std::optional<PropertyDictionary>& data) {
  setRevenue(orderId, amount, currency, orNull(data));
}

void Nimbrel::setRevenue(const std::string& orderId, double amount, const std::string& currency,
                         const PropertyDictionary& data) {
  guarded([&] { CommerceEvents::setRevenue(orderId, amount, currency, data); });
}

void Nimbrel::handleDeeplink(std::function<void(const std::string& deeplink)> callback) {
  guarded([&] { DeepLinkHandler::setHandleDeeplink(std::move(callback)); });
}

void Nimbrel::setTrackingEnabled(bool enabled) {
  guarded([&] { Installation::setTrackingEnabled(enabled); });
}

bool Nimbrel::isTrackingEnabled() {
  // A choice that cannot be read is not an "on": nothing leaves then.
  bool enabled = false;
  guarded([&] { enabled = Installation::isTrackingEnabled(); });
  return enabled;
}

void Nimbrel::setConsent(ConsentState state) {
  guarded([&] { Installation::setConsent(state); });
}

void Nimbrel::setOffline(bool offline) {
  guarded([&] { Installation::setOffline(offline); });
}

void Nimbrel::forgetDevice() {
  guarded([] { Installation::forget(); });
}

void Nimbrel::onSession(std::function<void(const SessionOutcome& outcome)> callback) {
  guarded([&] { SessionCallback::set(std::move(callback)); });
}

void Nimbrel::onDeferredDeeplink(
    std::function<void(const std::optional<std::string>& link)> callback) {
  guarded([&] { DeferredLinkCallback::set(std::move(callback)); });
}

bool Nimbrel::flush(std::chrono::milliseconds timeout) {
  bool accepted = false;
  guarded([&] { accepted = TrackingEvent::flush(timeout); });
  return accepted;
}

void Nimbrel::setLogSink(std::function<void(int level, const std::string& line)> sink) {
  guarded([&] { HostLogSink::set(std::move(sink)); });
}

void Nimbrel::setProductList(const std::string& listName,
                             const std::vector<std::shared_ptr<ProductItem>>& products) {
  guarded([&] { CommerceEvents::setProductList(listName, products); });
}

}  // namespace tavrel_mmp
