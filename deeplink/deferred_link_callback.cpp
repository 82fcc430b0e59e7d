#include "deeplink/deferred_link_callback.h"

#include "core/no_destructor.h"
#include "platform/host_callback.h"
#include "settings/settings_keys.h"
#include "settings/storage_helper.h"

namespace tavrel_mmp {
namespace {

platform::HostCallback<const std::optional<std::string>&>& registered() {
  static NoDestructor<platform::HostCallback<const std::optional<std::string>&>> callback(
      "deferred deep-link");
  return callback.get();
}

}  // namespace

void DeferredLinkCallback::set(Callback callback) {
  registered().set(std::move(callback));
}

void DeferredLinkCallback::report(const std::optional<std::string>& link) {
  if (!registered().isSet()) return;
  // Two answers (two processes, or a question asked again) never report twice.
  const auto claim =
      StorageHelper::shared().claim(settings_keys::kDeferredOutcomeReported, "1", "");
  if (claim && claim->claimed) registered().call(link);
}

}  // namespace tavrel_mmp
