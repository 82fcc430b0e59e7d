#include "tavrel_mmp/nimbrel.h"

#include "core/logger.h"
#include "events/tracking_event.h"
#include "platform/library_thread.h"
#include "session/session_manager.h"
#include "session/storage_helper.h"

namespace tavrel_mmp {

void Nimbrel::intSDK(const std::string& partnerCode, const std::string& appSecret,
                     const std::shared_ptr<NimbrelOptions>& options) {
  platform::ensureProcessSetup();
  try {
    if (!partnerCode.empty()) {
      if (options) Logger::setDevMode(options->showLog);
      StorageHelper::shared().savePartnerCode(partnerCode);
      StorageHelper::shared().saveAppSecret(appSecret);
      SessionManager::auth(partnerCode, appSecret);
    }
  } catch (...) {
    // Nothing reaches the host.
  }
}

void Nimbrel::intSDK(const std::string& partnerCode, const std::string& appSecret) {
  auto options = std::make_shared<NimbrelOptions>();
  options->showLog = Logger::devMode();
  options->autoTrackingScreen = true;
  intSDK(partnerCode, appSecret, options);
}

void Nimbrel::logEvent(const std::string& name, const std::optional<PropertyDictionary>& data) {
  platform::ensureProcessSetup();
  try {
    TrackingEvent::trackEvent(name, data);
  } catch (...) {
    // Nothing reaches the host.
  }
}

void Nimbrel::setDevMode(bool on) {
  Logger::setDevMode(on);
}

}  // namespace tavrel_mmp
