#pragma once

#include <string>

namespace tavrel_mmp {

// The user-assigned name unless it is empty or the generic "iPhone"/"iphone"; then the
// marketing name of the model identifier, or "unknown".
std::string deviceNameFor(const std::string& userAssignedName, const std::string& identifier);

// "iphone", "ipod", "ipad" by the first of those words the name contains (any case), else
// "ios_device".
std::string deviceTypeFor(const std::string& deviceName);

}  // namespace tavrel_mmp
