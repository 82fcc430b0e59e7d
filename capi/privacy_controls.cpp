// The privacy controls, apart from the other entry points: they forward to the facade's.
#include "capi/c_arguments.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/tavrel_mmp_c.h"

using tavrel_mmp::Nimbrel;
using tavrel_mmp::capi::atBoundary;
using tavrel_mmp::capi::CallSite;

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
