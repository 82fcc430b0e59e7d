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
#include "events/upload_lock.h"
#include "events/upload_verdict.h"
#include "net/http_client.h"
#include "net/result_data.h"
#include "net/service_answer.h"
#include "settings/storage_helper.h"
#include "settings/tracking_consent.h"
#include "tavrel_mmp/platform/clock.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp {
namespace {

constexpr const char* kEventLogPath = "/partner/event/log";

// Kept by an upload from the read of its rows until its outcome is handled, so that no other
// process on the same store reads and sends them meanwhile.
using Uploading = std::shared_ptr<UploadLock::Held>;

Uploading takeUploadLock() {
  const std::optional<std::string> path = DatabaseHelper::shared().filePath();
  return path ? UploadLock::tryTake(*path) : nullptr;
}

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

struct UploadOutcome {
  UploadVerdict verdict;
  std::string reason;  // of a refusal
};

// Records leave the store only when the service accepted the request that carried them, and
// then exactly those records: events stored since the request left stay.
UploadOutcome handleUploadReply(const std::optional<std::vector<std::uint8_t>>& body,
                                const std::optional<HttpError>& error, const EventList& events) {
  const auto answer = readServiceAnswer<ResultData>(body, error, &acceptsOnly200);
  const UploadVerdict verdict = judgeUpload(answer);
  if (verdict != UploadVerdict::accepted) {
    Logger::log("----- sync error -----");
    Logger::log(answer.outcome == AnswerOutcome::noAnswer && answer.problem.empty()
                    ? std::string("Error from request")
                    : answer.problem);
    return {verdict, refusalReason(answer)};
  }
  Logger::log("----- sync successful -----");
  DatabaseHelper::shared().removeEvents(events);
  return {verdict, {}};
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

// The parts of a refused batch still to send, the next one last.
using Pieces = std::vector<EventList>;

bool sendNextPiece(Pieces pieces, std::uint64_t epoch, Uploading uploading);

// A part the service refused: a single row is set aside, a larger part goes again in halves.
// Whether the split goes on (the batch stays in flight until it ends).
bool afterRefusedPiece(const EventList& piece, const std::string& reason, Pieces pieces,
                       std::uint64_t epoch, Uploading uploading) {
  if (piece.size() == 1) {
    DatabaseHelper::shared().setAside(*piece.front(), reason);
  } else {
    const auto middle = piece.begin() + static_cast<std::ptrdiff_t>((piece.size() + 1) / 2);
    pieces.emplace_back(middle, piece.end());
    pieces.emplace_back(piece.begin(), middle);
  }
  return sendNextPiece(std::move(pieces), epoch, std::move(uploading));
}

// Each part is a new request of its own, sent once, from the main loop. A service-wide failure
// ends the split: the next batch starts over, and the refusal counts on disk bring it back.
bool sendNextPiece(Pieces pieces, std::uint64_t epoch, Uploading uploading) {
  if (pieces.empty()) return false;
  platform::mainLoop().post([pieces = std::move(pieces), epoch, uploading]() mutable {
    EventList piece = std::move(pieces.back());
    pieces.pop_back();
    bool handedOver = false;
    OnExit unlessHandedOver{[&] {
      if (!handedOver) tracker::state().isSyncing.store(false);
    }};
    handedOver =
        postEvents(piece, epoch,
                   [piece, pieces, epoch, uploading](std::optional<std::vector<std::uint8_t>> reply,
                                                     std::optional<HttpError> error) {
                     bool goesOn = false;
                     OnExit finish{[&] {
                       if (!goesOn) tracker::state().isSyncing.store(false);
                     }};
                     const UploadOutcome outcome = handleUploadReply(reply, error, piece);
                     if (outcome.verdict == UploadVerdict::accepted) {
                       goesOn = sendNextPiece(pieces, epoch, uploading);
                     } else if (outcome.verdict == UploadVerdict::contentRefused) {
                       goesOn = afterRefusedPiece(piece, outcome.reason, pieces, epoch, uploading);
                     }
                   });
  });
  return true;
}

// Counts the refusal against every row of the batch (on disk before anything depends on it);
// whether the batch is now being split.
bool afterRefusedBatch(const EventList& batch, const std::string& reason, std::uint64_t epoch,
                       Uploading uploading) {
  const auto now = static_cast<std::int64_t>(platform::clock().now());
  const auto histories = DatabaseHelper::shared().noteRefusal(batch, now);
  if (!histories || !dueForSplit(*histories, now)) return false;
  Logger::log("The service keeps refusing a batch of " + std::to_string(batch.size()) +
              " events (" + reason + "): sending it in parts to find the refused ones");
  return afterRefusedPiece(batch, reason, {}, epoch, std::move(uploading));
}

}  // namespace

void TrackingEvent::sync() {
  auto& state = tracker::state();
  // Test and set in one step: of two callers arriving together only one reads a batch.
  bool expected = false;
  if (!TrackingConsent::isEnabled()) return;
  if (!state.isSyncing.compare_exchange_strong(expected, true)) return;
  Uploading uploading = takeUploadLock();
  if (!uploading) {
    // Another process is uploading from the same store: its rows are not this batch's to read.
    state.eventTotalCounter.store(0);
    state.isSyncing.store(false);
    Logger::log("Another process is uploading stored events; the batch waits for the next tick");
    return;
  }

  // Taken when the batch starts, before the read, so the next tick measures a whole period.
  state.lastSyncTime.store(tracker::monotonicNow());
  const std::uint64_t epoch = TrackingConsent::epoch();
  DatabaseHelper::shared().enforceCaps();
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
  handedOver = postEvents(batch, epoch,
                          [batch, epoch, uploading](std::optional<std::vector<std::uint8_t>> reply,
                                                    std::optional<HttpError> error) {
                            // The batch stays in flight until its accepted rows are gone (or the
                            // split of a refused batch ended), so no other batch can carry them a
                            // second time.
                            bool splitting = false;
                            OnExit finish{[&] {
                              if (!splitting) tracker::state().isSyncing.store(false);
                            }};
                            const UploadOutcome outcome = handleUploadReply(reply, error, batch);
                            if (outcome.verdict == UploadVerdict::contentRefused) {
                              splitting =
                                  afterRefusedBatch(batch, outcome.reason, epoch, uploading);
                            }
                            ensureSyncTimer();
                          });
}

void TrackingEvent::syncRealtime(const std::shared_ptr<EventData>& event, std::uint64_t epoch) {
  // Leaves the batch state alone: a batch in flight stays the only one in flight.
  bool handedOver = false;
  OnExit unlessHandedOver{[&] {
    if (!handedOver) tracker::state().realtimeInFlight.remove(event->id);
  }};
  Uploading uploading = takeUploadLock();
  if (!uploading) {
    Logger::log("Another process is uploading stored events; " + event->key +
                " waits in the store for a batch");
    return;
  }
  EventList single{event};
  handedOver = postEvents(
      single, epoch,
      [single, uploading](std::optional<std::vector<std::uint8_t>> reply,
                          std::optional<HttpError> error) {
        OnExit finish{[&] { tracker::state().realtimeInFlight.remove(single.front()->id); }};
        handleUploadReply(reply, error, single);
      });
}

}  // namespace tavrel_mmp
