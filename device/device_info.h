#pragma once

#include <map>
#include <optional>
#include <string>

#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

// The kind of network interface whose address is wanted; the raw value is the interface name.
enum class Network { wifi, cellular };
const char* rawValue(Network network);  // "en0", "pdp_ip0"
std::optional<Network> networkFromRawValue(const std::string& rawValue);

// The device, system and application as the service sees them.
class DeviceInfo {
 public:
  // The 20-key device dictionary, read afresh on every call.
  static PropertyDictionary getDeviceInfo();
  // The model identifier (uname's machine field), computed once per process.
  static std::string getDeviceIdentifier();
  static std::string getDeviceName();
  static std::string getDeviceType();
  static std::string getDeviceBatteryStatus();
  static std::string getAppVersionName();
  // The numeric address of the interface; the last matching entry of the system's list wins.
  static std::optional<std::string> getIPAddress(Network network);

  // Model identifier to marketing name, built once.
  static const std::map<std::string, std::string>& deviceNames();
  // The user-assigned name unless it is empty or the generic "iPhone"/"iphone"; then the
  // marketing name of the model identifier, or "unknown".
  static std::string nameFor(const std::string& userAssignedName, const std::string& identifier);
  // "iphone", "ipod", "ipad" by the first of those words the name contains (any case), else
  // "ios_device".
  static std::string typeFor(const std::string& deviceName);
};

}  // namespace tavrel_mmp
