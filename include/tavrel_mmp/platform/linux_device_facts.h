#pragma once

#include <memory>
#include <string>

#include "tavrel_mmp/platform/device_facts.h"

namespace tavrel_mmp::platform {

/// The Linux provider: host name as the device name, uname, the first battery found under
/// `powerSupplyDirectory` (level -1 and state unknown without one), the process's locale and
/// time zone, no carrier, the interface addresses getifaddrs lists. The per-vendor identifier is
/// keyed by the machine id in `machineIdPath` and the vendor part of the bundle identifier
/// ("com.example" of "com.example.app"); none without either.
std::shared_ptr<DeviceFacts> makeLinuxDeviceFacts(
    std::string powerSupplyDirectory = "/sys/class/power_supply",
    std::string machineIdPath = "/etc/machine-id");

}  // namespace tavrel_mmp::platform
