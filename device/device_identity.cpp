// The facts crash reports and device updates share: model identifier and application version.
#include <mutex>

#include "device/device_info.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/device_facts.h"

namespace tavrel_mmp {

std::string DeviceInfo::getDeviceIdentifier() {
  // Computed once per process; concurrent first callers wait for the one computation.
  static const std::string* const identifier = [] {
    const std::string machine = platform::deviceFacts().machine();
    std::string text;
    for (char c : machine) {
      if (c != '\0') text.push_back(c);
    }
    return new std::string(std::move(text));
  }();
  return *identifier;
}

std::string DeviceInfo::getAppVersionName() {
  return platform::bundleInfo().shortVersion().value_or("");
}

}  // namespace tavrel_mmp
