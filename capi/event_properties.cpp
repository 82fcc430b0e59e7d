// What the host adds to its events: global properties and real-time delivery.
#include "capi/c_arguments.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/tavrel_mmp_c.h"

using tavrel_mmp::Nimbrel;
using tavrel_mmp::capi::atBoundary;
using tavrel_mmp::capi::CallSite;
using tavrel_mmp::capi::jsonArgument;
using tavrel_mmp::capi::JsonShape;
using tavrel_mmp::capi::textArgument;

void tavrel_mmp_set_global_properties(const char* json) {
  const CallSite site{__func__};
  atBoundary(site, [&] {
    const auto properties = jsonArgument(site, "json", json, JsonShape::object, false);
    if (properties) Nimbrel::setGlobalProperties(*properties);
  });
}

void tavrel_mmp_unset_global_property(const char* key) {
  const CallSite site{__func__};
  atBoundary(site, [&] { Nimbrel::unsetGlobalProperty(textArgument(site, "key", key)); });
}

void tavrel_mmp_log_realtime_event(const char* name, const char* data_json) {
  const CallSite site{__func__};
  atBoundary(site, [&] {
    const auto data = jsonArgument(site, "data_json", data_json, JsonShape::object, true);
    Nimbrel::logRealtimeEvent(textArgument(site, "name", name),
                              data ? *data : tavrel_mmp::PropertyDictionary());
  });
}
