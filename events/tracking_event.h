#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

class EventData;
struct AuthData;

// The event tracker: records every event and uploads batches (and real-time events). The
// recording thread only builds, records and counts the event; storing it in the file, reading
// batches, building request bodies and handing them to the HTTP client happen on the main loop
// (events/database_helper.h, events/batch_processor.h).
class TrackingEvent {
 public:
  // `data` is the event's dictionary; JSON null stands for none. Taken by reference all the way
  // to its serialisation, so that host data is never copied (a copy of data nested too deeply
  // would recurse out of stack before the nesting check).
  // Records nothing while tracking is off. While the choice cannot be read the event is built as
  // usual and held in memory (HeldEvents) until a later read finds the choice.
  static void trackEvent(const std::string& name, const PropertyDictionary& data);
  // The choice is known: the events held until it was go to the store in their order, or are
  // dropped.
  static void settleHeldEvents(bool enabled);
  // Tracking is on again: what waited in the store leaves from the next batch on.
  static void resume();
  // The installation starts over: every stored event goes, and the next has no predecessor.
  static void forgetQueue();
  // Uploads what is stored now, batch after batch, and waits at most `timeout`: true when the
  // service accepted every event stored at the call. False at once while tracking is not on,
  // when no session can be had, when a batch of those events was not accepted, and on a
  // library thread (the upload is started there, not awaited).
  static bool flush(std::chrono::milliseconds timeout);

  static constexpr int syncEventCount = 10;
  static constexpr double timerPeriod = 5.0;
  static constexpr double minimumSyncGap = 5.0;
  static constexpr const char* realtimeKey = "nbRealtime";

 private:
  // The stored authentication record; none starts a new attempt to authenticate.
  static std::shared_ptr<const AuthData> checkAuth();
  // Stores and counts a built event, and starts its uploads.
  static void store(const std::shared_ptr<EventData>& event);
  static void requestSync();
  static void sync();
  static void startSyncTimer();
  // Starts the timer unless it was already requested in this process.
  static void ensureSyncTimer();
  static void tick();
};

}  // namespace tavrel_mmp
