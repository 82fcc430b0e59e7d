#include "tavrel_mmp/platform/bundle_info.h"

#include "platform/executable_name.h"
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
