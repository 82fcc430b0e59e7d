// Batch and real-time upload of stored events to "/partner/event/log". Runs on the main loop;
// completions on the HTTP client's callback thread.
#include <optional>
#include <string>
#include <vector>

#include "core/logger.h"
#include "events/database_helper.h"
#include "events/event_data.h"
#include "events/tracker_state.h"
#include "events/tracking_event.h"
#include "net/http_client.h"
#include "net/result_data.h"
#include "net/service_answer.h"
#include "settings/storage_helper.h"
#include "settings/tracking_consent.h"

namespace tavrel_mmp {
namespace {

constexpr const char* kEventLogPath = "/partner/event/log";

PropertyDictionary uploadBody(const EventList& events, const std::optional<AuthData>& session) {
  PropertyDictionary body = PropertyDictionary::object();
  body["events"] = EventData::convertToArray(events, session);
  return body;
}

// Body and headers from one reading of the stored session: a record stored meanwhile never gives
// a batch the token without the session identifiers, or the other way round. Nothing leaves
// while tracking is off, nor when the installation was forgotten since the events were read at
// `epoch` (held until the transport has the request, so a forget cannot slip in between); false
// when nothing was handed over.
bool postEvents(const EventList& events, std::uint64_t epoch, HttpCompletion completion) {
  const auto hold = TrackingConsent::hold(epoch);
  if (!hold || !TrackingConsent::isEnabled()) return false;
  const std::optional<AuthData> session = StorageHelper::shared().getAuthData();
  HttpClient::shared().post(kEventLogPath, uploadBody(events, session), session,
                            std::move(completion));
  return true;
}

// Records leave the store only when the service accepted the request that carried them, and
// then exactly those records: events stored since the request left stay.
void handleUploadReply(const std::optional<std::vector<std::uint8_t>>& body,
                       const std::optional<HttpError>& error, const EventList& events) {
  const auto answer = readServiceAnswer<ResultData>(body, error, &acceptsOnly200);
  if (!answer.accepted()) {
    Logger::log("----- sync error -----");
    Logger::log(answer.outcome == AnswerOutcome::noAnswer && answer.problem.empty()
                    ? std::string("Error from request")
                    : answer.problem);
    return;
  }
  Logger::log("----- sync successful -----");
  DatabaseHelper::shared().removeEvents(events);
}

// The oldest stored events, leaving out real-time events whose own upload was in flight at any
// moment of the read. An event is marked before its row is stored, and a finished upload that
// ends during the read (its row deleted after the read saw it) stays excluded until the read is
// over, so no interleaving lets the batch carry it a second time.
EventList readBatch() {
  auto& inFlight = tracker::state().realtimeInFlight;
  const RealtimeInFlight::Reading reading(inFlight);
  const int limit = TrackingEvent::batchSize + static_cast<int>(reading.size());
  EventList batch;
  for (auto& event : DatabaseHelper::shared().getEvents(limit).value_or(EventList{})) {
    if (batch.size() == static_cast<std::size_t>(TrackingEvent::batchSize)) break;
    if (!reading.excludes(event->id)) batch.push_back(std::move(event));
  }
  return batch;
}

// Runs its action when it goes out of scope, also when an exception passes: a flag left set
// would stop every later batch.
template <class Action>
struct OnExit {
  Action action;
  ~OnExit() { action(); }
};
template <class Action>
OnExit(Action) -> OnExit<Action>;

}  // namespace

void TrackingEvent::sync() {
  auto& state = tracker::state();
  // Test and set in one step: of two callers arriving together only one reads a batch.
  bool expected = false;
  if (!TrackingConsent::isEnabled()) return;
  if (!state.isSyncing.compare_exchange_strong(expected, true)) return;

  // Taken when the batch starts, before the read, so the next tick measures a whole period.
  state.lastSyncTime.store(tracker::monotonicNow());
  const std::uint64_t epoch = TrackingConsent::epoch();
  EventList batch = readBatch();
  Logger::log("----- syncing: " + std::to_string(batch.size()) + " events -----");
  state.eventTotalCounter.store(0);
  if (batch.empty()) {
    state.isSyncing.store(false);
    return;
  }

  bool handedOver = false;
  OnExit unlessHandedOver{[&] {
    if (!handedOver) tracker::state().isSyncing.store(false);
  }};
  handedOver = postEvents(
      batch, epoch,
      [batch](std::optional<std::vector<std::uint8_t>> reply, std::optional<HttpError> error) {
        // The batch stays in flight until its accepted rows are gone, so
        // no other batch can carry them a second time.
        OnExit finish{[] { tracker::state().isSyncing.store(false); }};
        handleUploadReply(reply, error, batch);
        ensureSyncTimer();
      });
}

void TrackingEvent::syncRealtime(const std::shared_ptr<EventData>& event, std::uint64_t epoch) {
  // Leaves the batch state alone: a batch in flight stays the only one in flight.
  bool handedOver = false;
  OnExit unlessHandedOver{[&] {
    if (!handedOver) tracker::state().realtimeInFlight.remove(event->id);
  }};
  EventList single{event};
  handedOver = postEvents(
      single, epoch,
      [single](std::optional<std::vector<std::uint8_t>> reply, std::optional<HttpError> error) {
        OnExit finish{[&] { tracker::state().realtimeInFlight.remove(single.front()->id); }};
        handleUploadReply(reply, error, single);
      });
}

}  // namespace tavrel_mmp
