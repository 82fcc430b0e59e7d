#include "platform/user_data_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "core/logger.h"

namespace tavrel_mmp::platform {
namespace {

std::optional<std::string> absoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return std::string(value);
}

// The user's home from the password database, for processes started without HOME.
std::optional<std::string> homeOfUser() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
    return std::nullopt;
  }
  return std::string(found->pw_dir);
}

}  // namespace

// $XDG_DATA_HOME, else ~/.local/share. Never a shared folder such as /tmp: what the library
// keeps belongs to this user alone.
std::optional<std::string> userDataDirectory() {
  std::optional<std::string> base = absoluteVariable("XDG_DATA_HOME");
  if (!base) {
    auto home = absoluteVariable("HOME");
    if (!home) home = homeOfUser();
    if (home) base = *home + "/.local/share";
  }
  if (!base) {
    Logger::log("No data directory for this user (neither XDG_DATA_HOME nor a home directory)");
  }
  return base;
}

}  // namespace tavrel_mmp::platform
