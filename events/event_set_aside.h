#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "events/event_data.h"

namespace tavrel_mmp::platform::sqlite {
class Connection;
}

namespace tavrel_mmp::set_aside {

// What the event store keeps beside the queue: how often the service refused each queued row
// (columns "refusals" and "firstRefusedAt" of "EventData"), and the rows taken out of the queue
// (table "EventSetAside": the whole row, why, and when). Nothing here is ever deleted silently.
// Functions on the store's connection, on the library's thread.

// Refusals of one queued row so far; `firstAt` in Unix seconds.
struct RefusalHistory {
  std::int64_t count = 0;
  std::int64_t firstAt = 0;
};
using RefusalHistories = std::map<std::string, RefusalHistory>;  // by event id

struct SetAsideEvent {
  std::shared_ptr<EventData> event;
  std::string reason;
  std::int64_t at = 0;  // Unix seconds
};

// Adds the table and the columns to a file written before they existed.
void ensureSchema(platform::sqlite::Connection& db);

// One more refusal for each of these rows (the first one dated `now`, or earlier ones moved to
// `now` when the wall clock went back); the histories afterwards, of the rows still queued. None
// when the write failed.
std::optional<RefusalHistories> noteRefusal(platform::sqlite::Connection& db,
                                            const EventList& events, std::int64_t now);

// Moves one queued row into the set-aside table in one transaction; false when nothing moved.
bool setAside(platform::sqlite::Connection& db, const std::string& id, const std::string& reason,
              std::int64_t now);
// Moves the `count` oldest queued rows; how many moved.
std::size_t setAsideOldest(platform::sqlite::Connection& db, std::size_t count,
                           const std::string& reason, std::int64_t now);
// Deletes the `count` rows set aside longest ago; how many went.
std::size_t dropOldestSetAside(platform::sqlite::Connection& db, std::size_t count);

// Rows in "EventData" or "EventSetAside"; none when the count fails.
std::optional<std::size_t> queuedCount(platform::sqlite::Connection& db);
std::optional<std::size_t> setAsideCount(platform::sqlite::Connection& db);

// The rows set aside, oldest first.
std::vector<SetAsideEvent> setAsideEvents(platform::sqlite::Connection& db, std::size_t limit);

// Empties the set-aside table (the installation starts over).
bool clear(platform::sqlite::Connection& db);

}  // namespace tavrel_mmp::set_aside
