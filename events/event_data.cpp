#include "events/event_data.h"

#include <charconv>
#include <limits>
#include <mutex>
#include <utility>

#include "core/unix_time.h"
#include "events/library_events.h"
#include "platform/buffered_random.h"
#include "platform/per_process.h"
#include "settings/storage_helper.h"
#include "tavrel_mmp/platform/clock.h"

namespace tavrel_mmp {
namespace {

// The chain is read and replaced as one step, so concurrent events each take a distinct
// predecessor. Never destroyed: events may still be built on other threads while the process
// exits. A forked child goes on from the parent's last event.
struct PredecessorChain {
  std::mutex mutex;
  std::string head;
};

PredecessorChain& chain() {
  static platform::PerProcess<PredecessorChain> instance(
      &PredecessorChain::mutex,
      [](auto& made, const auto& inherited) { made.head = inherited.head; });
  return instance.get();
}

// "<stamp in hex><random in hex>", built in place.
std::string eventId(std::int64_t stamp, std::uint64_t random) {
  char buffer[48];
  char* end = std::to_chars(buffer, buffer + 24, stamp, 16).ptr;
  end = std::to_chars(end, buffer + sizeof buffer, random, 16).ptr;
  return std::string(buffer, end);
}

// Milliseconds since the epoch, truncated toward zero (range-checked: see truncatedToInt64).
std::int64_t millisecondStamp(double seconds) {
  return truncatedToInt64(seconds * 1000.0);
}

}  // namespace

EventData::EventData(std::string id, std::string key, std::int64_t time, std::string sessionId,
                     bool realtime, std::optional<std::string> data,
                     std::optional<std::string> preEvent)
    : id(std::move(id)),
      key(std::move(key)),
      time(time),
      sessionId(std::move(sessionId)),
      realtime(realtime),
      data(data ? std::move(*data) : std::string("{}")),
      preEvent(preEvent ? std::move(*preEvent) : std::string()) {}

std::string EventData::getSessionId() const {
  if (!sessionId.empty()) return sessionId;
  return getSessionId(StorageHelper::shared().getAuthData());
}

std::string EventData::getSessionId(const std::optional<AuthData>& stored) const {
  if (!sessionId.empty()) return sessionId;
  return stored && stored->data ? stored->data->sessionId : std::string();
}

std::shared_ptr<EventData> EventData::makeEvent(const std::string& key,
                                                const std::string& sessionId, bool realtime,
                                                const PropertyDictionary& data) {
  const std::int64_t stamp = millisecondStamp(platform::clock().now());
  // Drawn from a buffer of the secure source's bytes: one system call per 32 events.
  const std::uint64_t random = platform::bufferedRandomBelow(
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
  std::string id = eventId(stamp, random);

  std::string preEvent;
  // Screen views and product lists stay outside the predecessor chain.
  if (key != library_events::kScreenView && key != library_events::kProducts) {
    std::lock_guard<std::mutex> lock(chain().mutex);
    preEvent = std::exchange(chain().head, id);
  }

  return std::make_shared<EventData>(std::move(id), key, stamp / 1000, sessionId, realtime,
                                     toJsonString(data), std::move(preEvent));
}

void EventData::forgetPredecessor() {
  std::lock_guard<std::mutex> lock(chain().mutex);
  chain().head.clear();
}

std::string EventData::savedPreEvent() {
  std::lock_guard<std::mutex> lock(chain().mutex);
  return chain().head;
}

}  // namespace tavrel_mmp
