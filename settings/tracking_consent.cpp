#include "settings/tracking_consent.h"

#include <atomic>

#include "core/logger.h"
#include "platform/per_process.h"
#include "settings/settings_keys.h"
#include "settings/storage_helper.h"

namespace tavrel_mmp {
namespace {

enum Choice : int { kUnknown, kOn, kOff };

// Lock-free and never destroyed (plain atomics with static storage): read from signal context.
std::atomic<int> current{kUnknown};
std::atomic<std::uint64_t> currentEpoch{0};
static_assert(std::atomic<int>::is_always_lock_free);

// A hold taken by a thread the fork left behind would keep a child's new epoch waiting for ever.
std::shared_mutex& epochMutex() {
  static platform::PerProcess<std::shared_mutex> mutex;
  return mutex.get();
}

}  // namespace

std::optional<bool> TrackingConsent::choice() {
  int known = current.load();
  if (known == kUnknown) {
    // "Absent" is "never chosen" (on); a settings file that cannot be read says nothing.
    const StoredText stored = StorageHelper::shared().read(settings_keys::kTrackingEnabled);
    if (!stored.known) return std::nullopt;
    int expected = kUnknown;
    current.compare_exchange_strong(expected, stored.text == "0" ? kOff : kOn);
    known = current.load();
  }
  return known == kOn;
}

bool TrackingConsent::isEnabled() {
  return choice().value_or(false);
}

void TrackingConsent::setEnabled(bool enabled) {
  current.store(enabled ? kOn : kOff);
  auto& storage = StorageHelper::shared();
  storage.save(enabled ? "1" : "0", settings_keys::kTrackingEnabled);
  if (!storage.flush()) Logger::log("The tracking choice is not yet on disk; it is written soon");
}

bool TrackingConsent::knownOff() {
  return current.load() == kOff;
}

std::uint64_t TrackingConsent::epoch() {
  return currentEpoch.load();
}

bool TrackingConsent::sameInstallation(std::uint64_t epoch) {
  return epoch == currentEpoch.load();
}

TrackingConsent::Hold TrackingConsent::hold(std::uint64_t epoch) {
  Hold held;
  held.lock_ = std::shared_lock<std::shared_mutex>(epochMutex());
  if (!sameInstallation(epoch)) held.lock_.unlock();
  return held;
}

void TrackingConsent::startNewEpoch() {
  std::unique_lock<std::shared_mutex> lock(epochMutex());
  currentEpoch.fetch_add(1);
}

}  // namespace tavrel_mmp
