#pragma once

#include <optional>
#include <string>

namespace tavrel_mmp::platform {

// The folder where this user's applications keep their data, as an absolute path; never a folder
// shared with other users. None (logged) when the user has no such place.
std::optional<std::string> userDataDirectory();

}  // namespace tavrel_mmp::platform
