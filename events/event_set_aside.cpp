#include "events/event_set_aside.h"

#include <algorithm>

#include "platform/sqlite/connection.h"

namespace tavrel_mmp::set_aside {

using platform::sqlite::Connection;
using platform::sqlite::Statement;
using platform::sqlite::StepResult;

namespace {

constexpr const char* kCreateSetAside =
    "CREATE TABLE IF NOT EXISTS \"EventSetAside\" (\"id\" TEXT NOT NULL, \"key\" TEXT NOT NULL, "
    "\"time\" INTEGER NOT NULL, \"sessionId\" TEXT NOT NULL, \"realtime\" BOOLEAN NOT NULL, "
    "\"data\" TEXT NOT NULL, \"preEvent\" TEXT NOT NULL, \"reason\" TEXT NOT NULL, \"setAsideAt\" "
    "INTEGER NOT NULL)";
// Each fails once the column exists, as expected.
constexpr const char* kAddRefusals =
    "ALTER TABLE \"EventData\" ADD COLUMN \"refusals\" INTEGER NOT NULL DEFAULT 0";
constexpr const char* kAddFirstRefusedAt =
    "ALTER TABLE \"EventData\" ADD COLUMN \"firstRefusedAt\" INTEGER";

constexpr const char* kCopyColumns =
    "\"id\", \"key\", \"time\", \"sessionId\", \"realtime\", \"data\", \"preEvent\"";
constexpr const char* kOldestQueued =
    "SELECT rowid FROM \"EventData\" ORDER BY \"time\" ASC, rowid ASC LIMIT ?";

std::optional<std::size_t> countRows(Connection& db, const char* sql) {
  Statement count = db.prepare(sql);
  if (!count || count.step() != StepResult::row) return std::nullopt;
  return static_cast<std::size_t>(count.columnInt64(0));
}

std::string text(Statement& statement, int column) {
  return std::string(statement.columnText(column));
}

}  // namespace

void ensureSchema(Connection& db) {
  db.exec(kCreateSetAside);
  db.exec(kAddRefusals);
  db.exec(kAddFirstRefusedAt);
}

std::optional<RefusalHistories> noteRefusal(Connection& db, const EventList& events,
                                            std::int64_t now) {
  if (events.empty()) return RefusalHistories{};
  Statement update = db.prepare(
      "UPDATE \"EventData\" SET \"refusals\" = \"refusals\" + 1, \"firstRefusedAt\" = "
      "MIN(COALESCE(\"firstRefusedAt\", ?1), ?1) WHERE \"id\" IN (" +
      platform::sqlite::placeholders(events.size()) +
      ") RETURNING \"id\", \"refusals\", \"firstRefusedAt\"");
  if (!update) return std::nullopt;
  bool bound = update.bindInt64(1, now);
  for (std::size_t i = 0; bound && i < events.size(); ++i) {
    bound = update.bindText(static_cast<int>(i + 2), events[i]->id);
  }
  if (!bound) return std::nullopt;
  RefusalHistories histories;
  const bool written = db.inTransaction([&] {
    StepResult step;
    while ((step = update.step()) == StepResult::row) {
      histories[text(update, 0)] = {update.columnInt64(1), update.columnInt64(2)};
    }
    return step == StepResult::done;
  });
  if (!written) return std::nullopt;
  return histories;
}

bool setAside(Connection& db, const std::string& id, const std::string& reason, std::int64_t now) {
  const std::string copy = std::string("INSERT INTO \"EventSetAside\" (") + kCopyColumns +
                           ", \"reason\", \"setAsideAt\") SELECT " + kCopyColumns +
                           ", ?, ? FROM \"EventData\" WHERE \"id\" = ?";
  bool moved = false;
  const bool written = db.inTransaction([&] {
    Statement insert = db.prepare(copy);
    if (!insert || !insert.bindText(1, reason) || !insert.bindInt64(2, now) ||
        !insert.bindText(3, id) || insert.step() != StepResult::done) {
      return false;
    }
    Statement remove = db.prepare("DELETE FROM \"EventData\" WHERE \"id\" = ? RETURNING rowid");
    if (!remove || !remove.bindText(1, id)) return false;
    StepResult step;
    while ((step = remove.step()) == StepResult::row) moved = true;
    return step == StepResult::done;
  });
  return written && moved;
}

std::size_t setAsideOldest(Connection& db, std::size_t count, const std::string& reason,
                           std::int64_t now) {
  if (count == 0) return 0;
  const std::string oldest = std::string("rowid IN (") + kOldestQueued + ")";
  std::optional<std::size_t> before;
  const bool written = db.inTransaction([&] {
    before = queuedCount(db);
    Statement insert = db.prepare(std::string("INSERT INTO \"EventSetAside\" (") + kCopyColumns +
                                  ", \"reason\", \"setAsideAt\") SELECT " + kCopyColumns +
                                  ", ?, ? FROM \"EventData\" WHERE " + oldest +
                                  " ORDER BY \"time\" ASC, rowid ASC");
    Statement remove = db.prepare("DELETE FROM \"EventData\" WHERE " + oldest);
    const auto limit = static_cast<std::int64_t>(count);
    return before && insert && insert.bindText(1, reason) && insert.bindInt64(2, now) &&
           insert.bindInt64(3, limit) && insert.step() == StepResult::done && remove &&
           remove.bindInt64(1, limit) && remove.step() == StepResult::done;
  });
  return written ? std::min(count, *before) : 0;
}

std::size_t dropOldestSetAside(Connection& db, std::size_t count) {
  if (count == 0) return 0;
  std::size_t dropped = 0;
  Statement remove = db.prepare(
      "DELETE FROM \"EventSetAside\" WHERE rowid IN (SELECT rowid FROM \"EventSetAside\" ORDER BY "
      "rowid ASC LIMIT ?) RETURNING rowid");
  if (!remove || !remove.bindInt64(1, static_cast<std::int64_t>(count))) return 0;
  const bool written = db.inTransaction([&] {
    StepResult step;
    while ((step = remove.step()) == StepResult::row) ++dropped;
    return step == StepResult::done;
  });
  return written ? dropped : 0;
}

std::optional<std::size_t> queuedCount(Connection& db) {
  return countRows(db, "SELECT count(*) FROM \"EventData\"");
}

std::optional<std::size_t> setAsideCount(Connection& db) {
  return countRows(db, "SELECT count(*) FROM \"EventSetAside\"");
}

std::vector<SetAsideEvent> setAsideEvents(Connection& db, std::size_t limit) {
  std::vector<SetAsideEvent> out;
  Statement select = db.prepare(std::string("SELECT ") + kCopyColumns +
                                ", \"reason\", \"setAsideAt\" FROM \"EventSetAside\" ORDER BY "
                                "rowid ASC LIMIT ?");
  if (!select || !select.bindInt64(1, static_cast<std::int64_t>(limit))) return out;
  while (select.step() == StepResult::row) {
    out.push_back({std::make_shared<EventData>(
                       text(select, 0), text(select, 1), select.columnInt64(2), text(select, 3),
                       select.columnInt64(4) != 0, text(select, 5), text(select, 6)),
                   text(select, 7), select.columnInt64(8)});
  }
  return out;
}

bool clear(Connection& db) {
  return db.exec("DELETE FROM \"EventSetAside\"");
}

}  // namespace tavrel_mmp::set_aside
