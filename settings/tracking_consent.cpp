#include "settings/tracking_consent.h"

#include <atomic>

#include "core/logger.h"
#include "platform/per_process.h"
#include "settings/settings_keys.h"
#include "settings/storage_helper.h"

namespace tavrel_mmp {
namespace {

enum Choice : int { kUnknown, kOn, kOff, kPending };

// Stored under the tracking key; absent (never chosen) is granted.
constexpr const char* kGrantedText = "1";
constexpr const char* kDeniedText = "0";
constexpr const char* kPendingText = "pending";

// Lock-free and never destroyed (plain atomics with static storage): read from signal context.
std::atomic<int> current{kUnknown};
std::atomic<bool> offline{false};
std::atomic<std::uint64_t> currentEpoch{0};
static_assert(std::atomic<int>::is_always_lock_free);

// A hold taken by a thread the fork left behind would keep a child's new epoch waiting for ever.
std::shared_mutex& epochMutex() {
  static platform::PerProcess<std::shared_mutex> mutex;
  return mutex.get();
}

}  // namespace

std::optional<ConsentState> TrackingConsent::state() {
  int known = current.load();
  if (known == kUnknown) {
    // "Absent" is "never chosen" (granted); a settings file that cannot be read says nothing.
    const StoredText stored = StorageHelper::shared().read(settings_keys::kTrackingEnabled);
    if (!stored.known) return std::nullopt;
    int expected = kUnknown;
    const int read = stored.text == kDeniedText    ? kOff
                     : stored.text == kPendingText ? kPending
                                                   : kOn;
    current.compare_exchange_strong(expected, read);
    known = current.load();
  }
  return known == kOn    ? ConsentState::granted
         : known == kOff ? ConsentState::denied
                         : ConsentState::pending;
}

std::optional<bool> TrackingConsent::choice() {
  const auto known = state();
  if (!known) return std::nullopt;
  return *known != ConsentState::denied;
}

bool TrackingConsent::isEnabled() {
  return state() == ConsentState::granted && !offline.load();
}

bool TrackingConsent::records() {
  return choice().value_or(false);
}

void TrackingConsent::setState(ConsentState state) {
  const bool granted = state == ConsentState::granted;
  current.store(granted ? kOn : state == ConsentState::denied ? kOff : kPending);
  auto& storage = StorageHelper::shared();
  storage.save(granted                         ? kGrantedText
               : state == ConsentState::denied ? kDeniedText
                                               : kPendingText,
               settings_keys::kTrackingEnabled);
  if (!storage.flush()) Logger::log("The tracking choice is not yet on disk; it is written soon");
}

void TrackingConsent::setEnabled(bool enabled) {
  setState(enabled ? ConsentState::granted : ConsentState::denied);
}

void TrackingConsent::setOffline(bool on) {
  offline.store(on);
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
