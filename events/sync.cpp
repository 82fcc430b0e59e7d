// Batch and real-time upload of stored events to "/partner/event/log".
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

namespace tavrel_mmp {
namespace {

constexpr const char* kEventLogPath = "/partner/event/log";

PropertyDictionary uploadBody(const EventList& events) {
  PropertyDictionary body = PropertyDictionary::object();
  body["events"] = EventData::convertToArray(events);
  return body;
}

// Records leave the store only when the service accepted the request that carried them, and
// then exactly those records: events stored since the request left stay.
void handleUploadReply(const std::optional<std::vector<std::uint8_t>>& body,
                       const std::optional<HttpError>& error, const EventList& events) {
  if (!body) {
    Logger::log("----- sync error -----");
    Logger::log(error ? error->description : std::string("Error from request"));
    return;
  }
  std::string decodeError;
  auto reply = ResultData::decode(*body, &decodeError);
  if (!reply) {
    Logger::log("----- sync error -----");
    Logger::log(decodeError);
    return;
  }
  if (reply->responseCode != 200) {
    Logger::log("----- sync error -----");
    Logger::log(reply->responseText);
    return;
  }
  Logger::log("----- sync successful -----");
  DatabaseHelper::shared().removeEvents(events);
}

}  // namespace

void TrackingEvent::sync() {
  auto& state = tracker::state();
  // Test and set in one step: of two threads arriving together only one reads a batch.
  bool expected = false;
  if (!state.isSyncing.compare_exchange_strong(expected, true)) return;

  EventList batch = DatabaseHelper::shared().getEvents(batchSize).value_or(EventList{});
  state.lastSyncTime.store(tracker::now());
  Logger::log("----- syncing: " + std::to_string(batch.size()) + " events -----");
  state.eventTotalCounter.store(0);
  if (batch.empty()) {
    state.isSyncing.store(false);
    return;
  }

  const std::uint64_t generation = state.generation.load();
  PropertyDictionary body = uploadBody(batch);
  HttpClient::shared().post(
      kEventLogPath, body,
      [batch = std::move(batch), generation](std::optional<std::vector<std::uint8_t>> reply,
                                             std::optional<HttpError> error) {
        const bool current = tracker::state().generation.load() == generation;
        if (current) tracker::state().isSyncing.store(false);
        handleUploadReply(reply, error, batch);
        if (current) ensureSyncTimer();
      });
}

void TrackingEvent::syncRealtime(const std::shared_ptr<EventData>& event) {
  // Leaves the batch state alone: a batch in flight stays the only one in flight.
  EventList single{event};
  PropertyDictionary body = uploadBody(single);
  HttpClient::shared().post(
      kEventLogPath, body,
      [single = std::move(single)](std::optional<std::vector<std::uint8_t>> reply,
                                   std::optional<HttpError> error) {
        handleUploadReply(reply, error, single);
      });
}

}  // namespace tavrel_mmp
