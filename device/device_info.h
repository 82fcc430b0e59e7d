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
  // The settings key of the host user's identifier, written by the user profile.
  static constexpr const char* kUserIdKey = "Tavrel_MMP_UserID";

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
};

}  // namespace tavrel_mmp
