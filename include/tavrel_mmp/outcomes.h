#pragma once

#include <cstdint>
#include <string>

namespace tavrel_mmp {

/// How an authentication with the measurement service ended, for Nimbrel::onSession.
struct SessionOutcome {
  /// True when the service granted a session.
  bool accepted = false;
  /// The session granted; empty when refused.
  std::string sessionId;
  /// The service's "responseCode" (200 when accepted).
  std::int64_t code = 0;
  /// The service's "responseText".
  std::string text;
};

}  // namespace tavrel_mmp
