#pragma once

#include "settings/auth_data.h"

namespace tavrel_mmp {

// What every accepted authentication starts. Runs on the HTTP client's callback thread, right
// after the accepted answer has been stored.
class SessionStart {
 public:
  static void begin(const AuthData& accepted);
};

}  // namespace tavrel_mmp
