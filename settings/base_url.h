#pragma once

#include <string>

namespace tavrel_mmp {

// The service's base URL in memory: derived at each authentication, read by every request on
// any thread. Empty until the first derivation (a request then names no service and fails).
class BaseUrl {
 public:
  static std::string get();
  static void set(const std::string& value);
};

}  // namespace tavrel_mmp
