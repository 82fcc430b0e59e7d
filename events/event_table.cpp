#include "events/event_table.h"

#include <algorithm>

#include "events/event_set_aside.h"

namespace tavrel_mmp {

using platform::sqlite::Connection;
using platform::sqlite::Reuse;
using platform::sqlite::Statement;
using platform::sqlite::StepResult;

namespace {

constexpr const char* kCreateTable =
    "CREATE TABLE \"EventData\" (\"id\" TEXT NOT NULL, \"key\" TEXT NOT NULL, \"time\" INTEGER "
    "NOT NULL, \"sessionId\" TEXT NOT NULL, \"realtime\" BOOLEAN NOT NULL, \"data\" TEXT NOT NULL, "
    "\"preEvent\" TEXT NOT NULL, PRIMARY KEY(\"id\"))";
// Keeps reading the oldest batch cheap however large the backlog grows.
constexpr const char* kCreateIndex =
    "CREATE INDEX IF NOT EXISTS \"EventData_time\" ON \"EventData\"(\"time\")";
constexpr const char* kInsert =
    "INSERT OR IGNORE INTO \"EventData\" (\"id\", \"key\", \"time\", \"sessionId\", \"realtime\", "
    "\"data\", \"preEvent\") VALUES (?, ?, ?, ?, ?, ?, ?)";
// rowid keeps events of the same second in the order they were written.
constexpr const char* kSelect =
    "SELECT \"id\", \"key\", \"time\", \"sessionId\", \"realtime\", \"data\", \"preEvent\" FROM "
    "\"EventData\" ORDER BY \"time\" ASC, rowid ASC LIMIT ?";
// The connection's page cache: batches touch few pages, and every page cached is the host's
// memory.
constexpr const char* kCacheSize = "PRAGMA cache_size = -512";
// A log that grew (while another process read the file) is cut back after the next checkpoint;
// SQLite's own checkpoints every 1,000 pages keep it small otherwise.
constexpr const char* kLogSizeLimit = "PRAGMA journal_size_limit = 4194304";
// Identifiers per DELETE statement.
constexpr std::size_t kDeleteChunk = 100;

std::string text(Statement& statement, int column) {
  return std::string(statement.columnText(column));
}

void limitFileSize(Connection& db, std::int64_t maxFileBytes) {
  Statement pageSize = db.prepare("PRAGMA page_size");
  if (!pageSize || pageSize.step() != StepResult::row || pageSize.columnInt64(0) <= 0) return;
  const std::int64_t pages = std::max<std::int64_t>(1, maxFileBytes / pageSize.columnInt64(0));
  db.exec(("PRAGMA max_page_count = " + std::to_string(pages)).c_str());
}

}  // namespace

std::unique_ptr<EventTable> EventTable::open(const std::string& path, std::int64_t maxFileBytes,
                                             std::string& failure) {
  auto db = Connection::openPrivate(path, failure);
  if (!db) return nullptr;
  db->exec(kCacheSize);
  db->exec(kLogSizeLimit);
  limitFileSize(*db, maxFileBytes);
  // Fails on every start after the first, because the table exists; that is expected.
  db->exec(kCreateTable);
  db->exec(kCreateIndex);
  std::unique_ptr<EventTable> table(new EventTable(std::move(db)));
  table->insert_ = table->db_->prepare(kInsert, Reuse::persistent);
  table->select_ = table->db_->prepare(kSelect, Reuse::persistent);
  if (!table->insert_ || !table->select_) {
    // A table of another shape under the same name: nothing can be stored or read.
    failure = table->db_->errorMessage();
    return nullptr;
  }
  set_aside::ensureSchema(*table->db_);
  return table;
}

bool EventTable::write(bool clearFirst, const std::vector<const EventList*>& parts,
                       std::string& failure) {
  return db_->inTransaction(
      [&] {
        if (clearFirst && !(db_->exec("DELETE FROM \"EventData\"") && set_aside::clear(*db_))) {
          return false;
        }
        for (const EventList* part : parts) {
          for (const auto& event : *part) {
            const bool done =
                insert_.bindText(1, event->id) && insert_.bindText(2, event->key) &&
                insert_.bindInt64(3, event->time) && insert_.bindText(4, event->sessionId) &&
                insert_.bindInt64(5, event->realtime ? 1 : 0) && insert_.bindText(6, event->data) &&
                insert_.bindText(7, event->preEvent) && insert_.step() == StepResult::done;
            if (!done) failure = db_->errorMessage();
            insert_.reset();
            if (!done) return false;
          }
        }
        return true;
      },
      &failure);
}

std::optional<EventList> EventTable::read(int limit) {
  EventList events;
  select_.bindInt64(1, limit > 0 ? limit : 10);
  StepResult step;
  while ((step = select_.step()) == StepResult::row) {
    events.push_back(std::make_shared<EventData>(
        text(select_, 0), text(select_, 1), select_.columnInt64(2), text(select_, 3),
        select_.columnInt64(4) != 0, text(select_, 5), text(select_, 6)));
  }
  select_.reset();
  if (step != StepResult::done) return std::nullopt;
  return events;
}

Statement* EventTable::deleteFor(std::size_t count) {
  if (auto found = deletes_.find(count); found != deletes_.end()) return &found->second;
  Statement statement = db_->prepare(
      "DELETE FROM \"EventData\" WHERE \"id\" IN (" + platform::sqlite::placeholders(count) + ")",
      Reuse::persistent);
  if (!statement) return nullptr;
  return &deletes_.emplace(count, std::move(statement)).first->second;
}

bool EventTable::remove(const EventList& events, std::string& failure) {
  if (events.empty()) return true;
  return db_->inTransaction(
      [&] {
        for (std::size_t first = 0; first < events.size(); first += kDeleteChunk) {
          const std::size_t count = std::min(kDeleteChunk, events.size() - first);
          Statement* statement = deleteFor(count);
          bool done = statement != nullptr;
          for (std::size_t i = 0; done && i < count; ++i) {
            done = statement->bindText(static_cast<int>(i + 1), events[first + i]->id);
          }
          if (done) done = statement->step() == StepResult::done;
          if (!done) failure = db_->errorMessage();
          if (statement != nullptr) statement->reset();
          if (!done) return false;
        }
        return true;
      },
      &failure);
}

}  // namespace tavrel_mmp
