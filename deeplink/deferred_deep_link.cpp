#include "deeplink/deferred_deep_link.h"

#include <atomic>
#include <string>

#include "core/logger.h"
#include "platform/per_process.h"
#include "settings/settings_keys.h"
#include "settings/storage_helper.h"

namespace tavrel_mmp {
namespace {

using settings_keys::kDeferredAttempts;
using settings_keys::kDeferredHandedOver;

// A forked child asks on its own: the parent's question is answered in the parent.
std::atomic<bool>& questionInFlight() {
  static platform::PerProcess<std::atomic<bool>> flag;
  return flag.get();
}

// Each of these writes decides whether the question is asked again: lost, it would be asked
// (and its link delivered) a second time.
void saveAndFlush(const std::string& value) {
  auto& storage = StorageHelper::shared();
  if (value.empty()) {
    storage.deleteValue(kDeferredAttempts);
  } else {
    storage.save(value, kDeferredAttempts);
  }
  if (!storage.flush()) Logger::log("The deferred deep-link state is not yet on disk");
}

}  // namespace

void DeferredDeepLink::asking() {
  saveAndFlush("0");
}

bool DeferredDeepLink::shouldAskAgain() {
  const auto attempts = StorageHelper::shared().getValue(kDeferredAttempts);
  return attempts && StorageHelper::parseInteger(*attempts) < kMaxAttempts;
}

void DeferredDeepLink::answered() {
  saveAndFlush("");
}

void DeferredDeepLink::answerLost() {
  const auto attempts = StorageHelper::shared().getValue(kDeferredAttempts);
  if (!attempts) return;
  saveAndFlush(std::to_string(StorageHelper::parseInteger(*attempts) + 1));
}

bool DeferredDeepLink::beginQuestion() {
  return !questionInFlight().exchange(true);
}

void DeferredDeepLink::endQuestion() {
  questionInFlight().store(false);
}

bool DeferredDeepLink::claimHandOver() {
  const auto claim = StorageHelper::shared().claim(kDeferredHandedOver, "1", "");
  return claim && claim->claimed;
}

}  // namespace tavrel_mmp
