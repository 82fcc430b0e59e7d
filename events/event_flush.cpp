// Flush: what is stored at the call goes to the service now, batch after batch, and the caller
// waits for the outcome. Only the host asks for it.
#include <algorithm>
#include <atomic>
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

}  // namespace

bool TrackingEvent::flush(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + std::max(timeout, std::chrono::milliseconds(0));
  if (!TrackingConsent::isEnabled()) {
    Logger::warning("flush: tracking is off or its choice cannot be read; nothing is sent");
    return false;
  }
  if (!HeldEvents::shared().empty()) settleHeldEvents(true);
  const std::uint64_t epoch = TrackingConsent::epoch();
  // Watching before the read: an upload that ends meanwhile is seen, or its rows are gone.
  UploadOutcomes::Watch watch;
  const std::optional<EventList> stored =
      DatabaseHelper::shared().getEvents(static_cast<int>(EventStoreLimits{}.maxEvents));
  if (!stored) {
    Logger::warning("flush: the event store cannot be read; nothing is sent");
    return false;
  }
  std::set<std::string> pending;
  for (const auto& event : *stored) pending.insert(event->id);
  watch.waitAndTake(Clock::now());  // outcomes of what went before the call are not this one's
  if (pending.empty()) return true;
  if (platform::onLibraryThread()) {
    // The batches need this very thread, or one like it: asked for, not waited for.
    requestSync();
    Logger::warning("flush: called on a library thread; the upload starts but is not awaited");
    return false;
  }
  auto authSettled = std::make_shared<std::atomic<bool>>(false);
  bool waitingForSession = false;
  int refusals = 0;
  for (;;) {
    if (!TrackingConsent::sameInstallation(epoch) || !TrackingConsent::isEnabled()) return false;
    if (StorageHelper::shared().authSnapshot()) {
      requestSync();
    } else if (!waitingForSession) {
      checkAuth();
      waitingForSession = true;
      const double secondsLeft = std::chrono::duration<double>(deadline - Clock::now()).count();
      AuthenticationProgress::whenSettled(
          std::max(secondsLeft, 0.0),
          [authSettled, wake = watch.waker()](const AuthenticationOutcome&) {
            authSettled->store(true);
            wake();
          });
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
