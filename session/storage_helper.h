#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "session/auth_data.h"

namespace tavrel_mmp {

// Typed access to the library's entries in the preferences store.
class StorageHelper {
 public:
  static StorageHelper& shared();

  void save(const std::string& value, const std::string& key);
  std::optional<std::string> getValue(const std::string& key);
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
  void removeAuthData();

  std::string getDeviceId();

  // The integer reading rule: signed base-10 text, anything else (or out of range) is 0.
  static std::int64_t parseInteger(const std::string& text);

 private:
  StorageHelper() = default;
  std::string getText(const std::string& key);
  void saveInteger(const std::string& key, std::int64_t value);
  std::int64_t getInteger(const std::string& key);
};

}  // namespace tavrel_mmp
