#pragma once

#include <optional>
#include <string>

struct ifaddrs;

namespace tavrel_mmp {

// Walks the whole interface list and returns the numeric text of the last IPv4 or IPv6 address
// listed for `interfaceName`, or none when the list holds no such entry.
std::optional<std::string> lastNumericAddress(const ifaddrs* list,
                                              const std::string& interfaceName);

}  // namespace tavrel_mmp
