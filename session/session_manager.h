#pragma once

#include <string>

namespace tavrel_mmp {

// Base-URL derivation and authentication.
class SessionManager {
 public:
  static void auth(const std::string& partnerCode, const std::string& appSecret);
  static void authWithBaseUrl(const std::string& partnerCode, const std::string& appSecret,
                              const std::string& baseUrl);
  static void retry();

  static std::string baseUrl();
  static void setBaseUrl(const std::string& value);
};

}  // namespace tavrel_mmp
