#pragma once

#include <vector>

#include "tavrel_mmp/platform/device_facts.h"

struct ifaddrs;

namespace tavrel_mmp::platform {

// The IPv4 and IPv6 entries of a getifaddrs list, in its order, as numeric text (an entry the
// system cannot write as text gives ""); entries of other families or without an address are
// left out.
std::vector<InterfaceAddress> interfaceAddressesIn(const ifaddrs* list);

}  // namespace tavrel_mmp::platform
