#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

class EventData;

// The event tracker: stores every event and uploads batches (and real-time events).
class TrackingEvent {
 public:
  static void trackEvent(const std::string& name, const std::optional<PropertyDictionary>& data);

  static constexpr int syncEventCount = 10;
  static constexpr int batchSize = 50;
  static constexpr double timerPeriod = 5.0;
  static constexpr double minimumSyncGap = 5.0;
  static constexpr const char* realtimeKey = "nbRealtime";

  // Read-only views of the tracker's state, for tests and diagnostics.
  static std::int64_t eventTotalCounter();
  static bool isSyncing();
  static bool hasSyncTimer();
  static double beatInterval();
  // Tests only: back to the state of a new process (no timer, counters at zero).
  static void resetForTesting();

 private:
  static void checkAuth();
  static void sync();
  static void syncRealtime(const std::shared_ptr<EventData>& event);
  static void startSyncTimer();
  // Starts the timer unless it was already requested in this process; true when it did.
  static bool ensureSyncTimer();
  static void tick();
  static void heartBeat();
};

}  // namespace tavrel_mmp
