#include "device/user_profile.h"

#include "core/dictionary_merge.h"
#include "core/logger.h"
#include "device/device_info.h"
#include "session/session_manager.h"
#include "settings/settings_keys.h"
#include "settings/storage_helper.h"
#include "settings/tracking_consent.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp {

void UserProfile::send(const UserInfo& user) {
  if (!TrackingConsent::records()) return Logger::log("Tracking is off: the profile is not sent");
  PropertyDictionary profile = user.toDictionary();
  Logger::debug("user info");
  Logger::log(profile);
  platform::mainLoop().post([profile = std::move(profile), userId = user.userId] {
    if (!TrackingConsent::records()) return;
    PropertyDictionary merged = PropertyDictionary::object();
    mergeInto(merged, DeviceInfo::getDeviceInfo());
    mergeInto(merged, profile);
    // Written after the device dictionary was read, so that one still carries the old user.
    StorageHelper::shared().save(userId, settings_keys::kUserId);
    SessionManager::updateInfo(merged);
  });
}

}  // namespace tavrel_mmp
