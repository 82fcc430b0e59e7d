// The privacy controls, apart from the other entry points: they forward to the facade's.
#include "capi/c_arguments.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/tavrel_mmp_c.h"

using tavrel_mmp::Nimbrel;
using tavrel_mmp::capi::atBoundary;
using tavrel_mmp::capi::CallSite;
using tavrel_mmp::capi::textArgument;

void tavrel_mmp_set_tracking_enabled(int on) {
  atBoundary(CallSite{__func__}, [&] { Nimbrel::setTrackingEnabled(on != 0); });
}

int tavrel_mmp_is_tracking_enabled(void) {
  // The facade's own answer when nothing can be read: no "on" that nobody chose.
  bool enabled = false;
  atBoundary(CallSite{__func__}, [&] { enabled = Nimbrel::isTrackingEnabled(); });
  return enabled ? 1 : 0;
}

void tavrel_mmp_forget_device(void) {
  atBoundary(CallSite{__func__}, [] { Nimbrel::forgetDevice(); });
}

void tavrel_mmp_set_consent(const char* state) {
  const CallSite site{__func__};
  atBoundary(site, [&] {
    const std::string given = textArgument(site, "state", state);
    if (given == "pending") return Nimbrel::setConsent(tavrel_mmp::ConsentState::pending);
    if (given == "granted") return Nimbrel::setConsent(tavrel_mmp::ConsentState::granted);
    if (given == "denied") return Nimbrel::setConsent(tavrel_mmp::ConsentState::denied);
    tavrel_mmp::Logger::log(std::string(site.function) + ": state \"" + given +
                            "\" is none of \"pending\", \"granted\", \"denied\"; nothing changed");
  });
}

void tavrel_mmp_set_offline(int on) {
  atBoundary(CallSite{__func__}, [&] { Nimbrel::setOffline(on != 0); });
}
