#include "events/database_helper.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "core/logger.h"
#include "platform/sqlite_database.h"
#include "tavrel_mmp/platform/clock.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp {
namespace {

constexpr const char* kFileName = "/tavrel_mmp_1.sqlite3";

constexpr const char* kCreateTable =
    "CREATE TABLE \"EventData\" (\"id\" TEXT NOT NULL, \"key\" TEXT NOT NULL, \"time\" INTEGER "
    "NOT NULL, \"sessionId\" TEXT NOT NULL, \"realtime\" BOOLEAN NOT NULL, \"data\" TEXT NOT NULL, "
    "\"preEvent\" TEXT NOT NULL, PRIMARY KEY(\"id\"))";
// Keeps reading the oldest batch cheap however large the backlog grows.
constexpr const char* kCreateIndex =
    "CREATE INDEX IF NOT EXISTS \"EventData_time\" ON \"EventData\"(\"time\")";
constexpr const char* kInsert =
    "INSERT INTO \"EventData\" (\"id\", \"key\", \"time\", \"sessionId\", \"realtime\", \"data\", "
    "\"preEvent\") VALUES (?, ?, ?, ?, ?, ?, ?)";
// rowid keeps events of the same second in the order they were recorded.
constexpr const char* kSelect =
    "SELECT \"id\", \"key\", \"time\", \"sessionId\", \"realtime\", \"data\", \"preEvent\" FROM "
    "\"EventData\" ORDER BY \"time\" ASC, rowid ASC LIMIT ?";

// Identifiers per DELETE, each its own short transaction: an insert waits for one piece at most.
constexpr std::size_t kDeleteChunk = 5;
// Pages of write-ahead log after which the main loop checkpoints. Under a steady stream of
// inserts a checkpoint that runs beside them never quite catches up, so the log is not started
// over and keeps growing; past the second mark the checkpoint waits for a gap between inserts,
// finishes and truncates the log.
constexpr int kCheckpointPages = 1000;
constexpr int kTruncatingCheckpointPages = 20'000;

std::string columnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  const int size = sqlite3_column_bytes(statement, column);
  if (text == nullptr || size <= 0) return std::string();
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

int bindText(sqlite3_stmt* statement, int index, const std::string& text) {
  return sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_STATIC,
                             SQLITE_UTF8);
}

std::optional<std::string> documentsDatabasePath() {
  auto directory = platform::documentsDirectory().path();
  if (!directory) return std::nullopt;
  return *directory + kFileName;
}

sqlite3_stmt* prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

}  // namespace

// One connection and the statements prepared on it, used under its owner's mutex.
struct DatabaseHelper::Connection {
  sqlite3* db = nullptr;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* select = nullptr;
  std::map<std::size_t, sqlite3_stmt*> deletes;  // by number of identifiers

  explicit Connection(sqlite3* connection) : db(connection) {}
  ~Connection() {
    sqlite3_finalize(insert);
    sqlite3_finalize(select);
    for (auto& [count, statement] : deletes) sqlite3_finalize(statement);
    sqlite3_close(db);
  }

  sqlite3_stmt* deleteFor(std::size_t count) {
    if (auto found = deletes.find(count); found != deletes.end()) return found->second;
    std::string sql = "DELETE FROM \"EventData\" WHERE \"id\" IN (";
    for (std::size_t i = 0; i < count; ++i) sql += i == 0 ? "?" : ",?";
    sqlite3_stmt* statement = prepare(db, sql + ")");
    if (statement != nullptr) deletes.emplace(count, statement);
    return statement;
  }

  std::optional<EventList> read(int limit) {
    if (select == nullptr) select = prepare(db, kSelect);
    if (select == nullptr) return std::nullopt;
    EventList events;
    sqlite3_bind_int(select, 1, limit > 0 ? limit : 10);
    int rc;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
      events.push_back(std::make_shared<EventData>(
          columnText(select, 0), columnText(select, 1), sqlite3_column_int64(select, 2),
          columnText(select, 3), sqlite3_column_int64(select, 4) != 0, columnText(select, 5),
          columnText(select, 6)));
    }
    sqlite3_reset(select);
    if (rc != SQLITE_DONE) return std::nullopt;
    return events;
  }
};

// Moves the write-ahead log into the database file from the main loop, on a connection of its
// own, so that no insert ever pays for it. Shared with the tasks it posts, so it outlives a
// store destroyed meanwhile.
class DatabaseHelper::Checkpointer : public std::enable_shared_from_this<Checkpointer> {
 public:
  explicit Checkpointer(std::string path) : path_(std::move(path)) {}
  ~Checkpointer() { sqlite3_close(db_); }

  // Called from the writing connection's commit hook; only hands the work over.
  static int onCommit(void* self, sqlite3*, const char*, int pages) {
    auto* checkpointer = static_cast<Checkpointer*>(self);
    if (pages >= kCheckpointPages && !checkpointer->requested_.exchange(true)) {
      const int mode = pages >= kTruncatingCheckpointPages ? SQLITE_CHECKPOINT_TRUNCATE
                                                           : SQLITE_CHECKPOINT_PASSIVE;
      platform::mainLoop().post(
          [keep = checkpointer->shared_from_this(), mode] { keep->run(mode); });
    }
    return SQLITE_OK;
  }

 private:
  void run(int mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    requested_.store(false);
    if (db_ == nullptr) {
      if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW,
                          nullptr) != SQLITE_OK) {
        sqlite3_close(db_);
        db_ = nullptr;
        return;
      }
      sqlite3_busy_timeout(db_, 5000);
    }
    sqlite3_wal_checkpoint_v2(db_, nullptr, mode, nullptr, nullptr);
  }

  const std::string path_;
  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::atomic<bool> requested_{false};
};

DatabaseHelper& DatabaseHelper::shared() {
  // Never destroyed: other threads may still use the store while the process exits.
  static DatabaseHelper* const instance = new DatabaseHelper();
  return *instance;
}

DatabaseHelper::DatabaseHelper() : atDocuments_(true) {
  std::lock_guard<std::mutex> lock(mutex_);
  openIfDueLocked();
}

DatabaseHelper::DatabaseHelper(std::optional<std::string> path)
    : atDocuments_(false), path_(std::move(path)) {
  std::lock_guard<std::mutex> lock(mutex_);
  openIfDueLocked();
}

DatabaseHelper::~DatabaseHelper() = default;

bool DatabaseHelper::isUsable() {
  std::lock_guard<std::mutex> lock(mutex_);
  return openIfDueLocked();
}

bool DatabaseHelper::openIfDueLocked() {
  if (writer_) {
    if (!queued_.empty()) writeQueuedLocked();
    return true;
  }
  const double now = platform::clock().monotonic();
  if (lastAttempt_ && now - *lastAttempt_ < kReopenIntervalSeconds && now >= *lastAttempt_) {
    return false;
  }
  lastAttempt_ = now;
  const std::optional<std::string> path = atDocuments_ ? documentsDatabasePath() : path_;
  if (!path) return false;  // nowhere to put the file yet
  initDb(*path);
  if (writer_) createTable();
  if (writer_) writeQueuedLocked();
  return writer_ != nullptr;
}

void DatabaseHelper::initDb(const std::string& path) {
  std::string failure;
  sqlite3* db = platform::openPrivateDatabase(path, failure);
  if (db == nullptr) {
    Logger::log("Cannot open the event store " + path + ": " + failure);
    return;
  }
  writer_ = std::make_unique<Connection>(db);
  openedPath_ = path;
  checkpointer_ = std::make_shared<Checkpointer>(path);
  sqlite3_wal_hook(db, &Checkpointer::onCommit, checkpointer_.get());
}

void DatabaseHelper::createTable() {
  // Fails on every start after the first, because the table exists; that is expected.
  sqlite3_exec(writer_->db, kCreateTable, nullptr, nullptr, nullptr);
  sqlite3_exec(writer_->db, kCreateIndex, nullptr, nullptr, nullptr);
  writer_->insert = prepare(writer_->db, kInsert);
  if (writer_->insert == nullptr) {
    // A table of another shape under the same name: nothing can be stored or read.
    Logger::log(std::string("The event store cannot be used: ") + sqlite3_errmsg(writer_->db));
    sqlite3_wal_hook(writer_->db, nullptr, nullptr);
    writer_.reset();
  }
}

bool DatabaseHelper::insertLocked(const EventData& event, std::string& failure) {
  sqlite3_stmt* insert = writer_->insert;
  int rc = bindText(insert, 1, event.id);
  if (rc == SQLITE_OK) rc = bindText(insert, 2, event.key);
  if (rc == SQLITE_OK) rc = sqlite3_bind_int64(insert, 3, event.time);
  if (rc == SQLITE_OK) rc = bindText(insert, 4, event.sessionId);
  if (rc == SQLITE_OK) rc = sqlite3_bind_int(insert, 5, event.realtime ? 1 : 0);
  if (rc == SQLITE_OK) rc = bindText(insert, 6, event.data);
  if (rc == SQLITE_OK) rc = bindText(insert, 7, event.preEvent);
  // A single INSERT in autocommit mode is its own write transaction.
  if (rc == SQLITE_OK) rc = sqlite3_step(insert);
  if (rc != SQLITE_DONE) failure = sqlite3_errmsg(writer_->db);
  sqlite3_reset(insert);
  sqlite3_clear_bindings(insert);
  return rc == SQLITE_DONE;
}

// Events recorded while the file could not be opened, written in their order in one transaction.
// They leave memory only once that transaction committed; otherwise the next use tries again.
void DatabaseHelper::writeQueuedLocked() {
  if (queued_.empty()) return;
  std::string failure;
  bool written =
      sqlite3_exec(writer_->db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  for (auto it = queued_.begin(); written && it != queued_.end(); ++it) {
    written = insertLocked(*it, failure);
  }
  if (written)
    written = sqlite3_exec(writer_->db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!written) {
    if (failure.empty()) failure = sqlite3_errmsg(writer_->db);
    if (sqlite3_get_autocommit(writer_->db) == 0) {
      sqlite3_exec(writer_->db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Logger::log("The events kept in memory wait for the next write: " + failure);
    return;
  }
  Logger::log("Wrote " + std::to_string(queued_.size()) +
              " events kept in memory to the event store");
  queued_.clear();
}

void DatabaseHelper::addEvent(const EventData& event) {
  std::string failure;
  {
    insertsWaiting_.fetch_add(1);
    std::lock_guard<std::mutex> lock(mutex_);
    insertsWaiting_.fetch_sub(1);
    if (openIfDueLocked()) {
      insertLocked(event, failure);
    } else {
      if (queued_.size() >= kMemoryQueueLimit) {
        queued_.pop_front();
        failure = "The event store is unavailable and " + std::to_string(kMemoryQueueLimit) +
                  " events wait in memory; the oldest was dropped";
      }
      queued_.push_back(event);
    }
  }
  if (!failure.empty()) Logger::log(failure);
}

// The reading connection, opened on the writer's file once that is open; null while it cannot
// be (reads then go through the writer).
DatabaseHelper::Connection* DatabaseHelper::readerLocked() {
  if (!reader_ && openedPath_) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(openedPath_->c_str(), &db,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX,
                        nullptr) == SQLITE_OK) {
      sqlite3_busy_timeout(db, 5000);
      reader_ = std::make_unique<Connection>(db);
    } else {
      sqlite3_close(db);
    }
  }
  return reader_.get();
}

std::optional<EventList> DatabaseHelper::getEvents(int limit) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!openIfDueLocked()) return std::nullopt;
  }
  {
    std::lock_guard<std::mutex> lock(readerMutex_);
    if (Connection* reader = readerLocked()) return reader->read(limit);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return writer_ ? writer_->read(limit) : std::nullopt;
}

void DatabaseHelper::removeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.clear();
  if (!openIfDueLocked()) return;
  if (sqlite3_exec(writer_->db, "DELETE FROM \"EventData\"", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    Logger::log(std::string("Error removing records: ") + sqlite3_errmsg(writer_->db));
  }
}

void DatabaseHelper::removeEvents(const EventList& events) {
  std::string failure;
  for (std::size_t first = 0; first < events.size() && failure.empty(); first += kDeleteChunk) {
    const std::size_t count = std::min(kDeleteChunk, events.size() - first);
    // A recording thread waiting for the connection goes first: the mutex is not fair, and a
    // deletion taking it back piece after piece would keep the host waiting for all of them.
    while (insertsWaiting_.load() > 0) std::this_thread::yield();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!openIfDueLocked()) return;
    sqlite3_stmt* statement = writer_->deleteFor(count);
    int rc = statement != nullptr ? SQLITE_OK : SQLITE_ERROR;
    for (std::size_t i = 0; rc == SQLITE_OK && i < count; ++i) {
      rc = bindText(statement, static_cast<int>(i + 1), events[first + i]->id);
    }
    if (rc == SQLITE_OK) rc = sqlite3_step(statement);
    if (rc != SQLITE_DONE) failure = sqlite3_errmsg(writer_->db);
    if (statement != nullptr) {
      sqlite3_reset(statement);
      sqlite3_clear_bindings(statement);
    }
  }
  if (!failure.empty()) Logger::log("Error removing records: " + failure);
}

}  // namespace tavrel_mmp
