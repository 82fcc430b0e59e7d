#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/no_destructor.h"
#include "settings/auth_data.h"
#include "tavrel_mmp/platform/preferences_store.h"

namespace tavrel_mmp {

// A read of the settings that tells an absent value from one that cannot be read now.
struct StoredText {
  bool known = false;               // false: the settings cannot be read now
  std::optional<std::string> text;  // none: absent (or unknown)
};

// Typed access to the library's entries in the preferences store. The typed getters read an
// entry that cannot be read now as absent (its default); `read` tells the two apart.
class StorageHelper {
 public:
  static StorageHelper& shared();

  void save(const std::string& value, const std::string& key);
  std::optional<std::string> getValue(const std::string& key);
  StoredText read(const std::string& key);
  void deleteValue(const std::string& key);

  void savePartnerCode(const std::string& value);
  std::string getPartnerCode();
  void saveAppSecret(const std::string& value);
  std::string getAppSecret();
  void saveBaseUrl(const std::string& value);
  std::string getBaseUrl();
  void saveDeeplink(const std::string& value);
  std::string getDeeplink();

  void saveLastEventTime(std::int64_t value);
  std::int64_t getLastEventTime();
  void saveExpireTime(std::int64_t value);
  std::int64_t getExpireTime();
  void saveDeeplinkExpireTime(std::int64_t value);
  std::int64_t getDeeplinkExpireTime();

  void saveAuthData(const std::vector<std::uint8_t>& body);
  std::optional<AuthData> getAuthData();
  // The same record without a copy (none: no record); it stays as read while a change replaces
  // the stored one.
  std::shared_ptr<const AuthData> authSnapshot();
  void removeAuthData();

  // The installation's device identifier, created on first use; none while the settings cannot
  // be read (a caller then waits rather than act for a device that looks new).
  std::optional<std::string> getDeviceId();
  // The installation starts over in one change: every entry of the installation's scope goes
  // and a new random device identifier takes the old one's place (the platform's vendor
  // identifier would name the same device again). The store writes it as soon as it can; until
  // then those entries read as unknown, so nothing acts on either device.
  void resetInstallation();

  // A value decided once per installation, as PreferencesStore::claimText: on disk before it is
  // answered, shared with other processes; none while the settings cannot be read or written.
  std::optional<platform::PreferenceClaim> claim(const std::string& key, const std::string& value,
                                                 const std::string& unset);
  // Writes every change so far to permanent storage; false when that failed.
  bool flush();

  // The integer reading rule: signed base-10 text, anything else (or out of range) is 0.
  static std::int64_t parseInteger(const std::string& text);

 private:
  friend class NoDestructor<StorageHelper>;
  StorageHelper() = default;
  std::string getText(const std::string& key);
  void saveInteger(const std::string& key, std::int64_t value);
  std::int64_t getInteger(const std::string& key);
};

}  // namespace tavrel_mmp
