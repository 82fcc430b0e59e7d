#pragma once

#include <vector>

#include "tavrel_mmp/platform/device_facts.h"

namespace tavrel_mmp::platform {

// The IPv4 and IPv6 addresses of this machine's network interfaces, in the system's order;
// none when the system does not list them.
std::vector<InterfaceAddress> systemInterfaceAddresses();

}  // namespace tavrel_mmp::platform
