#include "device/device_naming.h"

#include <algorithm>

#include "device/device_info.h"
#include "tavrel_mmp/platform/device_facts.h"

namespace tavrel_mmp {

std::string deviceNameFor(const std::string& userAssignedName, const std::string& identifier) {
  if (!userAssignedName.empty() && userAssignedName != "iPhone" && userAssignedName != "iphone") {
    return userAssignedName;
  }
  const auto& names = DeviceInfo::deviceNames();
  const auto hit = names.find(identifier);
  return hit == names.end() ? "unknown" : hit->second;
}

std::string deviceTypeFor(const std::string& deviceName) {
  std::string lower = deviceName;
  // ASCII only: the three words are ASCII, and other bytes must stay as they are.
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  if (lower.find("iphone") != std::string::npos) return "iphone";
  if (lower.find("ipod") != std::string::npos) return "ipod";
  if (lower.find("ipad") != std::string::npos) return "ipad";
  return "ios_device";
}

std::string DeviceInfo::getDeviceName() {
  return deviceNameFor(platform::deviceFacts().name(), getDeviceIdentifier());
}

std::string DeviceInfo::getDeviceType() {
  return deviceTypeFor(getDeviceName());
}

}  // namespace tavrel_mmp
