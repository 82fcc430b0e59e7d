// Flush: what is stored at the call goes to the service now, batch after batch, and the caller
// waits for the outcome. Only the host asks for it.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>

#include "core/logger.h"
#include "events/database_helper.h"
#include "events/held_events.h"
#include "events/tracking_event.h"
#include "events/upload_outcomes.h"
#include "platform/library_thread.h"
#include "settings/authentication_progress.h"
#include "settings/storage_helper.h"
#include "settings/tracking_consent.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp {
namespace {

using Clock = std::chrono::steady_clock;

// How long a wait lasts before the batch is asked for again: a batch that could not start (another
// process uploading from the same store) is tried again without waiting for the timer.
constexpr auto kRecheck = std::chrono::milliseconds(100);
// Uploads of the events waited for that the service did not take, one after the other, before
// the flush gives up: one may have left before the session was there, or met a passing fault;
// more mean the service will not take them now, and asking again would only hammer it.
constexpr int kRefusalsInARow = 3;

// The identifiers stored at the call, read on the library's thread.
struct Snapshot {
  std::mutex mutex;
  std::condition_variable ready;
  bool read = false;
  std::optional<std::set<std::string>> ids;  // none: the store could not be read
};

// Whether a session is stored or may come: starts an authentication when none is on its way,
// and wakes the flush when it ends.
bool sessionMayCome(const std::function<void()>& startAuthentication, Clock::time_point deadline,
                    const std::function<void()>& wake,
                    const std::shared_ptr<std::atomic<bool>>& settled) {
  if (StorageHelper::shared().authSnapshot()) return true;
  startAuthentication();
  const double secondsLeft = std::chrono::duration<double>(deadline - Clock::now()).count();
  AuthenticationProgress::whenSettled(std::max(secondsLeft, 0.0),
                                      [settled, wake](const AuthenticationOutcome&) {
                                        settled->store(true);
                                        wake();
                                      });
  // Settled at once: none was on its way and none could start (no credentials).
  return !settled->load() || StorageHelper::shared().authSnapshot() != nullptr;
}

}  // namespace

bool TrackingEvent::flush(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
  if (!TrackingConsent::isEnabled()) {
    Logger::warning("flush: tracking is off or its choice cannot be read; nothing is sent");
    return false;
  }
  if (!HeldEvents::shared().empty()) settleHeldEvents(true);
  if (platform::onLibraryThread()) {
    // The store and the batches need the library's threads: asked for, not waited for.
    requestSync();
    Logger::warning("flush: called on a library thread; the upload starts but is not awaited");
    return false;
  }
  const std::uint64_t epoch = TrackingConsent::epoch();
  UploadOutcomes::Watch watch;
  auto authSettled = std::make_shared<std::atomic<bool>>(false);
  if (!sessionMayCome([] { checkAuth(); }, deadline, watch.waker(), authSettled)) {
    Logger::warning("flush: no session can be had; nothing is sent");
    return false;
  }
  // Read on the library's thread, which alone uses the store (moving the journal in first), in
  // order with the outcomes it applies: those applied before the read are not this flush's.
  auto snapshot = std::make_shared<Snapshot>();
  platform::mainLoop().post([snapshot, forget = watch.forgetter()] {
    std::optional<std::set<std::string>> ids;
    if (auto stored =
            DatabaseHelper::shared().getEvents(static_cast<int>(EventStoreLimits{}.maxEvents))) {
      ids.emplace();
      for (const auto& event : *stored) ids->insert(event->id);
    }
    forget();
    {
      std::lock_guard<std::mutex> lock(snapshot->mutex);
      snapshot->ids = std::move(ids);
      snapshot->read = true;
    }
    snapshot->ready.notify_all();
  });
  std::set<std::string> pending;
  {
    std::unique_lock<std::mutex> lock(snapshot->mutex);
    if (!snapshot->ready.wait_until(lock, deadline, [&] { return snapshot->read; })) return false;
    if (!snapshot->ids) {
      Logger::warning("flush: the event store cannot be read; nothing is sent");
      return false;
    }
    pending = std::move(*snapshot->ids);
  }
  int refusals = 0;
  for (;;) {
    if (pending.empty()) return true;
    if (!TrackingConsent::sameInstallation(epoch) || !TrackingConsent::isEnabled()) return false;
    if (StorageHelper::shared().authSnapshot()) {
      requestSync();
    } else if (authSettled->load()) {
      Logger::warning("flush: no session could be had; nothing is sent");
      return false;
    }
    const UploadOutcomes::Seen seen =
        watch.waitAndTake(std::min(deadline, Clock::now() + kRecheck));
    if (!seen.accepted.empty()) refusals = 0;
    for (const auto& id : seen.accepted) pending.erase(id);
    if (pending.empty()) return true;
    if (std::any_of(seen.notAccepted.begin(), seen.notAccepted.end(),
                    [&](const std::string& id) { return pending.count(id) != 0; }) &&
        ++refusals == kRefusalsInARow) {
      Logger::warning("flush: the service did not take the events; they wait for the next batch");
      return false;
    }
    if (Clock::now() >= deadline) return false;
  }
}

}  // namespace tavrel_mmp
