#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrel_mmp::platform {

enum class InterfaceIdiom { phone, pad, unspecified };
enum class BatteryState { unknown, unplugged, charging, full };
enum class AddressFamily { ipv4, ipv6 };

/// One address of a network interface.
struct InterfaceAddress {
  std::string interfaceName;  ///< "en0", "eth0"
  AddressFamily family = AddressFamily::ipv4;
  std::string numericAddress;  ///< "192.168.1.20", "fe80::1%en0"; "" when not writable as text
};

/// Device, system, carrier and locale facts.
class DeviceFacts {
 public:
  virtual ~DeviceFacts() = default;
  /// The per-vendor device identifier as a 36-character UUID text; none when unavailable now.
  virtual std::optional<std::string> identifierForVendor() = 0;
  /// The user-assigned device name.
  virtual std::string name() = 0;
  /// The generic model name ("iPhone", "iPad"; on Linux the machine architecture).
  virtual std::string model() = 0;
  /// The hardware model identifier, as uname's machine field gives it ("iPhone14,5", "x86_64").
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
  /// The IPv4 and IPv6 addresses of the network interfaces in the system's order; an interface
  /// may be listed more than once. By default the system's list, as the Linux provider gives it.
  virtual std::vector<InterfaceAddress> interfaceAddresses();
};

DeviceFacts& deviceFacts();
void installDeviceFacts(std::shared_ptr<DeviceFacts> facts);

}  // namespace tavrel_mmp::platform
