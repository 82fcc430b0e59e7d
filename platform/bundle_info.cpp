#include "tavrel_mmp/platform/bundle_info.h"

#include <unistd.h>

#include <climits>

#include "tavrel_mmp/platform/provider_slot.h"

namespace tavrel_mmp::platform {
namespace {

class FixedBundleInfo : public BundleInfo {
 public:
  FixedBundleInfo(std::optional<std::string> identifier, std::optional<std::string> version)
      : identifier_(std::move(identifier)), version_(std::move(version)) {}
  std::optional<std::string> bundleIdentifier() override { return identifier_; }
  std::optional<std::string> shortVersion() override { return version_; }

 private:
  const std::optional<std::string> identifier_;
  const std::optional<std::string> version_;
};

std::optional<std::string> executableName() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::nullopt;
  std::string full(path, static_cast<std::size_t>(n));
  const auto slash = full.rfind('/');
  return slash == std::string::npos ? full : full.substr(slash + 1);
}

std::shared_ptr<BundleInfo> makeDefault() {
  return makeFixedBundleInfo(executableName(), std::nullopt);
}

ProviderSlot<BundleInfo>& slot() {
  static auto* s = new ProviderSlot<BundleInfo>(&makeDefault);
  return *s;
}

}  // namespace

std::shared_ptr<BundleInfo> makeFixedBundleInfo(std::optional<std::string> identifier,
                                                std::optional<std::string> shortVersion) {
  return std::make_shared<FixedBundleInfo>(std::move(identifier), std::move(shortVersion));
}
BundleInfo& bundleInfo() {
  return slot().get();
}
void installBundleInfo(std::shared_ptr<BundleInfo> info) {
  slot().install(std::move(info));
}

}  // namespace tavrel_mmp::platform
