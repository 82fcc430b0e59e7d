#pragma once

#include "tavrel_mmp/user_info.h"

namespace tavrel_mmp {

// The host's user profile on its way to the service.
class UserProfile {
 public:
  // Logs the profile at once; then, on the main loop (reading the device may wait for the
  // settings file), posts the device dictionary with the profile merged over it to
  // "/partner/device-info/update" and remembers the user's identifier for later device reports.
  static void send(const UserInfo& user);
};

}  // namespace tavrel_mmp
