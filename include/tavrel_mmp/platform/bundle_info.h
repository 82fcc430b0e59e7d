#pragma once

#include <memory>
#include <optional>
#include <string>

namespace tavrel_mmp::platform {

/// Facts of the host application's bundle.
class BundleInfo {
 public:
  virtual ~BundleInfo() = default;
  virtual std::optional<std::string> bundleIdentifier() = 0;
  virtual std::optional<std::string> shortVersion() = 0;
};

BundleInfo& bundleInfo();
void installBundleInfo(std::shared_ptr<BundleInfo> info);

/// Fixed values; the Linux default uses the executable's file name as identifier and no version.
std::shared_ptr<BundleInfo> makeFixedBundleInfo(std::optional<std::string> identifier,
                                                std::optional<std::string> shortVersion);

}  // namespace tavrel_mmp::platform
