#include "events/tracking_event.h"

#include <optional>
#include <string>

#include "core/logger.h"
#include "events/database_helper.h"
#include "events/event_data.h"
#include "events/tracker_state.h"
#include "session/auth_data.h"
#include "session/session_manager.h"
#include "session/storage_helper.h"
#include "tavrel_mmp/platform/clock.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp {
namespace tracker {

State& state() {
  static State* const instance = new State();
  return *instance;
}

double now() {
  return platform::clock().now();
}

}  // namespace tracker

namespace {

// checkAuth's result, per recording thread: several threads track events at once and each
// must build its record from the authentication record it loaded itself.
thread_local std::optional<AuthData> authData;

bool isRealtimeFlag(const std::optional<PropertyDictionary>& data) {
  if (!data || !data->is_object()) return false;
  auto entry = data->find(TrackingEvent::realtimeKey);
  if (entry == data->end()) return false;
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

void TrackingEvent::trackEvent(const std::string& name,
                               const std::optional<PropertyDictionary>& data) {
  Logger::log("tracking event: " + name);
  checkAuth();
  const bool realtime = isRealtimeFlag(data);
  const std::string sessionId =
      authData && authData->data ? authData->data->sessionId : std::string();

  auto event = EventData::makeEvent(name, sessionId, realtime, data);
  DatabaseHelper::shared().addEvent(*event);
  if (realtime) syncRealtime(event);

  auto& state = tracker::state();
  state.eventTotalCounter.fetch_add(1);
  ensureSyncTimer();
  if (state.eventTotalCounter.load() >= syncEventCount) {
    Logger::log("eventTotalCounter >= syncEventCount");
    sync();
  }
}

void TrackingEvent::checkAuth() {
  authData = StorageHelper::shared().getAuthData();
  if (!authData) SessionManager::retry();
}

bool TrackingEvent::ensureSyncTimer() {
  bool expected = false;
  if (!tracker::state().timerRequested.compare_exchange_strong(expected, true)) return false;
  startSyncTimer();
  return true;
}

void TrackingEvent::startSyncTimer() {
  auto& state = tracker::state();
  const double started = tracker::now();
  state.lastSyncTime.store(started);
  state.lastCheckHeartBeatTime.store(started);
  Logger::log("startSyncTimer");

  const std::uint64_t generation = state.generation.load();
  platform::mainLoop().post([generation] {
    auto& state = tracker::state();
    if (state.generation.load() != generation) return;
    platform::mainLoop().scheduleRepeating(timerPeriod, [generation] {
      if (tracker::state().generation.load() == generation) tick();
    });
    state.timerInstalled.store(true);
  });
}

void TrackingEvent::tick() {
  const double last = tracker::state().lastSyncTime.load();
  if (tracker::isPresent(last) && tracker::now() - last >= minimumSyncGap) {
    Logger::log("time to sync");
    sync();
  }
  heartBeat();
}

std::int64_t TrackingEvent::eventTotalCounter() {
  return tracker::state().eventTotalCounter.load();
}

bool TrackingEvent::isSyncing() {
  return tracker::state().isSyncing.load();
}

bool TrackingEvent::hasSyncTimer() {
  return tracker::state().timerInstalled.load();
}

double TrackingEvent::beatInterval() {
  return tracker::state().beatInterval.load();
}

void TrackingEvent::resetForTesting() {
  auto& state = tracker::state();
  state.generation.fetch_add(1);
  state.eventTotalCounter.store(0);
  state.isSyncing.store(false);
  state.lastSyncTime.store(tracker::kAbsent);
  state.lastCheckHeartBeatTime.store(tracker::kAbsent);
  state.beatInterval.store(tracker::kDefaultBeatInterval);
  state.timerInstalled.store(false);
  state.timerRequested.store(false);
  EventData::resetPredecessorChainForTesting();
}

}  // namespace tavrel_mmp
