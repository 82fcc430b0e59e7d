#pragma once

#include <optional>
#include <string>

#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

// Base-URL derivation and authentication (the base URL itself is kept in settings/base_url.h).
class SessionManager {
 public:
  static void auth(const std::string& partnerCode, const std::string& appSecret);
  static void authWithBaseUrl(const std::string& partnerCode, const std::string& appSecret,
                              const std::string& baseUrl);
  static void retry();
  // The installation starts over: no session is stored, and no answer on its way is taken.
  static void forgetSession();

  // Posts the dictionary to "/partner/device-info/update" with the stored session; the answer
  // is only logged. Without a session nothing is sent.
  static void updateInfo(const std::optional<PropertyDictionary>& data);
  // Restores or clears the retained deep link, then reports it when there is one.
  static void sendSessionDeeplink();
};

}  // namespace tavrel_mmp
