#include "deeplink/deferred_deep_link.h"

#include <string>

#include "session/storage_helper.h"

namespace tavrel_mmp {
namespace {

// Attempts made so far that got no answer; absent once answered (or never asked).
constexpr const char* kAttemptsKey = "MMP_UnifiedDeeplinkAttempts";

}  // namespace

void DeferredDeepLink::asking() {
  StorageHelper::shared().save("0", kAttemptsKey);
}

bool DeferredDeepLink::shouldAskAgain() {
  const auto attempts = StorageHelper::shared().getValue(kAttemptsKey);
  return attempts && StorageHelper::parseInteger(*attempts) < kMaxAttempts;
}

void DeferredDeepLink::answered() {
  StorageHelper::shared().deleteValue(kAttemptsKey);
}

void DeferredDeepLink::answerLost() {
  auto& storage = StorageHelper::shared();
  const auto attempts = storage.getValue(kAttemptsKey);
  if (!attempts) return;
  storage.save(std::to_string(StorageHelper::parseInteger(*attempts) + 1), kAttemptsKey);
}

}  // namespace tavrel_mmp
