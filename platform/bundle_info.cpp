#include "tavrel_mmp/platform/bundle_info.h"

#include "core/no_destructor.h"
#include "platform/executable_name.h"
#include "platform/host_identity.h"
#include "platform/provider_slot.h"

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

std::shared_ptr<BundleInfo> makeDefault() {
  return makeFixedBundleInfo(executableName(), std::nullopt);
}

ProviderSlot<BundleInfo>& slot() {
  static NoDestructor<ProviderSlot<BundleInfo>> s(&makeDefault);
  return s.get();
}

// What the host said at start-up over what its provider tells.
class HostBundleInfo : public BundleInfo {
 public:
  std::optional<std::string> bundleIdentifier() override {
    if (auto id = hostBundleId()) return id;
    return slot().get().bundleIdentifier();
  }
  std::optional<std::string> shortVersion() override {
    if (auto version = hostAppVersion()) return version;
    return slot().get().shortVersion();
  }
};

}  // namespace

std::shared_ptr<BundleInfo> makeFixedBundleInfo(std::optional<std::string> identifier,
                                                std::optional<std::string> shortVersion) {
  return std::make_shared<FixedBundleInfo>(std::move(identifier), std::move(shortVersion));
}
BundleInfo& bundleInfo() {
  static NoDestructor<HostBundleInfo> overHost;
  return overHost.get();
}
void installBundleInfo(std::shared_ptr<BundleInfo> info) {
  slot().install(std::move(info));
}

}  // namespace tavrel_mmp::platform
