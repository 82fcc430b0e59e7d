#pragma once

#include <functional>

#include "tavrel_mmp/outcomes.h"

namespace tavrel_mmp {

// The host's callback for the outcome of each authentication the service answered.
class SessionCallback {
 public:
  using Callback = std::function<void(const SessionOutcome&)>;
  // Replaces any earlier one; an empty one removes it.
  static void set(Callback callback);
  // Calls the host's callback, if any, with no lock of the library held.
  static void report(const SessionOutcome& outcome);
};

}  // namespace tavrel_mmp
