#include "events/tracking_event.h"

#include <optional>
#include <string>

#include "core/logger.h"
#include "events/batch_processor.h"
#include "events/database_helper.h"
#include "events/event_data.h"
#include "events/heartbeat.h"
#include "events/held_events.h"
#include "events/tracker_state.h"
#include "session/session_manager.h"
#include "settings/auth_data.h"
#include "settings/storage_helper.h"
#include "settings/tracking_consent.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp {
namespace {

bool isRealtimeFlag(const PropertyDictionary& data) {
  if (!data.is_object()) return false;
  auto entry = data.find(TrackingEvent::realtimeKey);
  if (entry == data.end()) return false;
  if (entry->is_boolean()) return entry->get<bool>();
  if (!entry->is_string()) return false;
  const auto& text = entry->get_ref<const std::string&>();
  static constexpr char kTrue[] = "true";
  if (text.size() != 4) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kTrue[i]) return false;
  }
  return true;
}

}  // namespace

void TrackingEvent::trackEvent(const std::string& name, const PropertyDictionary& data) {
  const std::optional<bool> choice = TrackingConsent::choice();
  if (choice && !HeldEvents::shared().empty()) settleHeldEvents(*choice);
  if (choice == false) {
    if (Logger::devMode()) Logger::log("Tracking is off: " + name + " is not recorded");
    return;
  }
  if (Logger::devMode()) Logger::log("tracking event: " + name);
  // Each recording thread builds its record from the authentication record it loaded itself.
  const std::shared_ptr<const AuthData> auth = checkAuth();
  const bool realtime = isRealtimeFlag(data);
  static const std::string kNoSession;
  const std::string& sessionId = auth && auth->data ? auth->data->sessionId : kNoSession;

  auto event = EventData::makeEvent(name, sessionId, realtime, data);
  if (!choice) {
    // Held in memory until the choice is read; the timer's ticks look again.
    HeldEvents::shared().hold(std::move(event));
    ensureSyncTimer();
    return;
  }
  store(event);
}

void TrackingEvent::settleHeldEvents(bool enabled) {
  const EventList held = HeldEvents::shared().takeAll();
  if (held.empty()) return;
  if (!enabled) {
    Logger::log("Tracking is off: " + std::to_string(held.size()) +
                " events recorded while the choice could not be read are dropped");
    return;
  }
  for (const auto& event : held) store(event);
  checkAuth();  // the authentication they could not ask for
}

void TrackingEvent::store(const std::shared_ptr<EventData>& event) {
  const bool realtime = event->realtime;
  auto& state = tracker::state();
  // Marked before the row exists, so no batch can pick the event up ahead of its own upload.
  RealtimeInFlight::Mark mark;
  if (realtime) mark = BatchProcessor::shared().markRealtime(event->id);
  DatabaseHelper::shared().addEvent(*event);
  if (realtime) {
    // At once, from the main loop; if it is accepted before the store's drain reached it, the
    // removal drains first, so the row never outlives its delivery.
    platform::mainLoop().post([event, epoch = TrackingConsent::epoch(), mark] {
      BatchProcessor::shared().exportAlone(event, epoch, mark);
    });
  }

  const std::int64_t counted = state.eventTotalCounter.fetch_add(1) + 1;
  ensureSyncTimer();
  if (counted >= syncEventCount) {
    Logger::debug("eventTotalCounter >= syncEventCount");
    requestSync();
  }
}

void TrackingEvent::resume() {
  ensureSyncTimer();
  requestSync();
}

void TrackingEvent::forgetQueue() {
  HeldEvents::shared().takeAll();
  DatabaseHelper::shared().removeAll();
  tracker::state().eventTotalCounter.store(0);
  EventData::forgetPredecessor();
}

std::shared_ptr<const AuthData> TrackingEvent::checkAuth() {
  auto auth = StorageHelper::shared().authSnapshot();
  if (!auth) SessionManager::retry();
  return auth;
}

// Hands the batch start to the main loop; requests made before it runs share that one start.
void TrackingEvent::requestSync() {
  if (tracker::state().syncRequested.exchange(true)) return;
  platform::mainLoop().post([] {
    tracker::state().syncRequested.store(false);
    sync();
  });
}

void TrackingEvent::ensureSyncTimer() {
  auto& requested = tracker::state().timerRequested;
  if (requested.load(std::memory_order_relaxed) || requested.exchange(true)) return;
  startSyncTimer();
}

void TrackingEvent::startSyncTimer() {
  auto& state = tracker::state();
  const double started = tracker::monotonicNow();
  state.lastSyncTime.store(started);
  Heartbeat::start(started);
  Logger::debug("startSyncTimer");
  platform::mainLoop().post([] { platform::mainLoop().scheduleRepeating(timerPeriod, &tick); });
}

void TrackingEvent::sync() {
  if (!TrackingConsent::isEnabled()) {
    // Recording goes on while nothing may leave; the store keeps to its caps meanwhile, once a
    // sync gap.
    if (TrackingConsent::records()) {
      BatchProcessor::shared().keepWithinCaps();
      tracker::state().lastSyncTime.store(tracker::monotonicNow());
    }
    return;
  }
  const auto read = BatchProcessor::shared().startBatch(TrackingConsent::epoch());
  if (!read) return;  // a batch is in flight
  auto& state = tracker::state();
  state.lastSyncTime.store(tracker::monotonicNow());
  Logger::debug("----- syncing: " + std::to_string(*read) + " events -----");
  state.eventTotalCounter.store(0);
}

void TrackingEvent::tick() {
  if (!HeldEvents::shared().empty()) {
    if (const auto choice = TrackingConsent::choice()) settleHeldEvents(*choice);
  }
  const double last = tracker::state().lastSyncTime.load();
  if (tracker::isPresent(last) &&
      tracker::monotonicNow() - last >= minimumSyncGap - tracker::kTickTolerance) {
    Logger::debug("time to sync");
    sync();
  }
  Heartbeat::beatIfDue();
}

}  // namespace tavrel_mmp
