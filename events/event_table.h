#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "events/event_data.h"
#include "platform/sqlite/connection.h"

namespace tavrel_mmp {

// The table "EventData" of the event store's file, with what is kept beside it
// (events/event_set_aside.h), on one connection that the library's thread alone uses.
class EventTable {
 public:
  // Opens (creating when missing) the file at `path` and its table; none, with `failure`, when
  // the file cannot be opened or holds a table of another shape. The file never grows past
  // `maxFileBytes`; reaching it fails writes as a full disk does.
  static std::unique_ptr<EventTable> open(const std::string& path, std::int64_t maxFileBytes,
                                          std::string& failure);

  // In one transaction: every row (queued and set aside) goes first when `clearFirst`, then each
  // event is inserted unless a row with its id is there already (so writing the same events
  // twice stores them once).
  bool write(bool clearFirst, const std::vector<const EventList*>& parts, std::string& failure);
  // At most `limit` rows (10 when limit <= 0), oldest "time" first, in the order written within
  // one second; none when the read fails.
  std::optional<EventList> read(int limit);
  // Deletes the rows of these events in one transaction; false when it failed.
  bool remove(const EventList& events, std::string& failure);

  platform::sqlite::Connection& connection() { return *db_; }

 private:
  explicit EventTable(std::unique_ptr<platform::sqlite::Connection> db) : db_(std::move(db)) {}
  platform::sqlite::Statement* deleteFor(std::size_t count);

  // Declared first, so that the statements prepared on it are finalized before it closes.
  std::unique_ptr<platform::sqlite::Connection> db_;
  platform::sqlite::Statement insert_;
  platform::sqlite::Statement select_;
  std::map<std::size_t, platform::sqlite::Statement> deletes_;  // by number of identifiers
};

}  // namespace tavrel_mmp
