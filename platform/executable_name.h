#pragma once

#include <optional>
#include <string>

namespace tavrel_mmp::platform {

// The running program's file name without its folder; none when the system does not tell.
std::optional<std::string> executableName();

}  // namespace tavrel_mmp::platform
