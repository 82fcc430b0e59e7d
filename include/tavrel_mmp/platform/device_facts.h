#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrel_mmp::platform {

enum class InterfaceIdiom { phone, pad, unspecified };
enum class BatteryState { unknown, unplugged, charging, full };

// Device, system, carrier and locale facts.
class DeviceFacts {
 public:
  virtual ~DeviceFacts() = default;
  // The per-vendor device identifier as a 36-character UUID text; none when unavailable now.
  virtual std::optional<std::string> identifierForVendor() = 0;
  // The user-assigned device name.
  virtual std::string name() = 0;
  // The generic model name ("iPhone", "iPad"; on Linux the machine architecture).
  virtual std::string model() = 0;
  // The hardware model identifier, as uname's machine field gives it ("iPhone14,5", "x86_64").
  virtual std::string machine() = 0;
  virtual std::string systemName() = 0;
  virtual std::string systemVersion() = 0;
  virtual InterfaceIdiom interfaceIdiom() = 0;
  virtual float batteryLevel() = 0;
  virtual BatteryState batteryState() = 0;
  virtual std::optional<std::string> carrierName() = 0;
  virtual std::vector<std::string> preferredLanguages() = 0;
  virtual std::optional<std::string> regionCode() = 0;
  virtual std::string timeZoneIdentifier() = 0;
};

DeviceFacts& deviceFacts();
void installDeviceFacts(std::shared_ptr<DeviceFacts> facts);

// The Linux provider: host name as the device name, uname, the first battery found under
// `powerSupplyDirectory` (level -1 and state unknown without one), the process's locale and
// time zone, no carrier.
std::shared_ptr<DeviceFacts> makeLinuxDeviceFacts(
    std::string powerSupplyDirectory = "/sys/class/power_supply");

}  // namespace tavrel_mmp::platform
