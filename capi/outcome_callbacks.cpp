// The outcomes the host can hear of: each authentication, and the deferred deep link.
#include <algorithm>
#include <climits>
#include <cstdint>

#include "capi/c_arguments.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/tavrel_mmp_c.h"

using tavrel_mmp::Nimbrel;
using tavrel_mmp::capi::atBoundary;
using tavrel_mmp::capi::CallSite;

void tavrel_mmp_on_session(tavrel_mmp_session_callback callback, void* user) {
  atBoundary(CallSite{__func__}, [&] {
    if (callback == nullptr) return Nimbrel::onSession(nullptr);
    Nimbrel::onSession([callback, user](const tavrel_mmp::SessionOutcome& outcome) {
      // A code outside int's range is no code the service uses; it reads as the nearest end.
      const auto code = static_cast<int>(std::clamp<std::int64_t>(outcome.code, INT_MIN, INT_MAX));
      callback(outcome.accepted ? 1 : 0, outcome.accepted ? outcome.sessionId.c_str() : nullptr,
               code, outcome.text.c_str(), user);
    });
  });
}

void tavrel_mmp_on_deferred_deeplink(tavrel_mmp_deferred_deeplink_callback callback, void* user) {
  atBoundary(CallSite{__func__}, [&] {
    if (callback == nullptr) return Nimbrel::onDeferredDeeplink(nullptr);
    Nimbrel::onDeferredDeeplink([callback, user](const std::optional<std::string>& link) {
      callback(link ? link->c_str() : nullptr, user);
    });
  });
}
