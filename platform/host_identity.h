#pragma once

#include <optional>
#include <string>

namespace tavrel_mmp::platform {

// What the host says about itself at start-up, over what the platform tells: the bundle
// identifier, the application version and the folder of the library's files. Each value is
// checked when it is set; one that is refused is reported in a development line and the
// platform's own stays.
struct HostIdentity {
  std::optional<std::string> bundleId;
  std::optional<std::string> appVersion;
  std::optional<std::string> dataDirectory;
};

// The folder is fixed by the first use of the library's files in the process: a folder given
// (or a bundle identifier naming one) after that is reported and the files stay where they are.
void setHostIdentity(const HostIdentity& identity);

std::optional<std::string> hostBundleId();
std::optional<std::string> hostAppVersion();

}  // namespace tavrel_mmp::platform
