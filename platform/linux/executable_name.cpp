#include "platform/executable_name.h"

#include <unistd.h>

#include <climits>

namespace tavrel_mmp::platform {

std::optional<std::string> executableName() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::nullopt;
  std::string full(path, static_cast<std::size_t>(n));
  const auto slash = full.rfind('/');
  return slash == std::string::npos ? full : full.substr(slash + 1);
}

}  // namespace tavrel_mmp::platform
