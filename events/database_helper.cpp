#include "events/database_helper.h"

#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "core/logger.h"
#include "platform/sqlite_database.h"
#include "tavrel_mmp/platform/clock.h"
#include "tavrel_mmp/platform/documents_directory.h"

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

// Most identifiers bound into one DELETE; larger lists are split inside one transaction.
constexpr std::size_t kMaxDeleteChunk = 50;

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

}  // namespace

// Prepared once for the connection's life; the helper's mutex covers one statement's
// bind/step/reset.
struct DatabaseHelper::Statements {
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* select = nullptr;
  sqlite3_stmt* begin = nullptr;
  sqlite3_stmt* commit = nullptr;
  sqlite3_stmt* rollback = nullptr;
  std::map<std::size_t, sqlite3_stmt*> deletes;  // by number of identifiers

  sqlite3_stmt* deleteFor(sqlite3* db, std::size_t count) {
    auto found = deletes.find(count);
    if (found != deletes.end()) return found->second;
    std::string sql = "DELETE FROM \"EventData\" WHERE \"id\" IN (";
    for (std::size_t i = 0; i < count; ++i) sql += i == 0 ? "?" : ",?";
    sql += ")";
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
      sqlite3_finalize(statement);
      return nullptr;
    }
    deletes.emplace(count, statement);
    return statement;
  }

  ~Statements() {
    for (sqlite3_stmt* statement : {insert, select, begin, commit, rollback}) {
      sqlite3_finalize(statement);
    }
    for (auto& [count, statement] : deletes) sqlite3_finalize(statement);
  }
};

DatabaseHelper& DatabaseHelper::shared() {
  // Never destroyed: other threads may still use the store while the process exits.
  static DatabaseHelper* const instance = new DatabaseHelper();
  return *instance;
}

DatabaseHelper::DatabaseHelper() : atDocuments_(true), statements_(std::make_unique<Statements>()) {
  std::lock_guard<std::mutex> lock(mutex_);
  openIfDueLocked();
}

DatabaseHelper::DatabaseHelper(std::optional<std::string> path)
    : atDocuments_(false), path_(std::move(path)), statements_(std::make_unique<Statements>()) {
  std::lock_guard<std::mutex> lock(mutex_);
  openIfDueLocked();
}

DatabaseHelper::~DatabaseHelper() {
  statements_.reset();
  if (dbQueue_ != nullptr) sqlite3_close(dbQueue_);
}

bool DatabaseHelper::isUsable() {
  std::lock_guard<std::mutex> lock(mutex_);
  return openIfDueLocked();
}

bool DatabaseHelper::openIfDueLocked() {
  if (dbQueue_ != nullptr) return true;
  const double now = platform::clock().monotonic();
  if (lastAttempt_ && now - *lastAttempt_ < kReopenIntervalSeconds && now >= *lastAttempt_) {
    return false;
  }
  lastAttempt_ = now;
  const std::optional<std::string> path = atDocuments_ ? documentsDatabasePath() : path_;
  if (!path) return false;  // nowhere to put the file yet
  initDb(*path);
  if (dbQueue_ != nullptr) createTable();
  if (dbQueue_ != nullptr) writeQueuedLocked();
  return dbQueue_ != nullptr;
}

void DatabaseHelper::initDb(const std::string& path) {
  std::string failure;
  dbQueue_ = platform::openPrivateDatabase(path, failure);
  if (dbQueue_ == nullptr) Logger::log("Cannot open the event store " + path + ": " + failure);
}

void DatabaseHelper::createTable() {
  // Fails on every start after the first, because the table exists; that is expected.
  sqlite3_exec(dbQueue_, kCreateTable, nullptr, nullptr, nullptr);
  sqlite3_exec(dbQueue_, kCreateIndex, nullptr, nullptr, nullptr);

  Statements& s = *statements_;
  const auto prepare = [this](const char* sql, sqlite3_stmt** out) {
    return sqlite3_prepare_v3(dbQueue_, sql, -1, SQLITE_PREPARE_PERSISTENT, out, nullptr) ==
           SQLITE_OK;
  };
  const bool prepared = prepare(kInsert, &s.insert) && prepare(kSelect, &s.select) &&
                        prepare("BEGIN IMMEDIATE", &s.begin) && prepare("COMMIT", &s.commit) &&
                        prepare("ROLLBACK", &s.rollback);
  if (!prepared) {
    // A table of another shape under the same name: nothing can be stored or read.
    Logger::log(std::string("The event store cannot be used: ") + sqlite3_errmsg(dbQueue_));
    statements_ = std::make_unique<Statements>();
    sqlite3_close(dbQueue_);
    dbQueue_ = nullptr;
  }
}

bool DatabaseHelper::insertLocked(const EventData& event, std::string& failure) {
  sqlite3_stmt* insert = statements_->insert;
  int rc = bindText(insert, 1, event.id);
  if (rc == SQLITE_OK) rc = bindText(insert, 2, event.key);
  if (rc == SQLITE_OK) rc = sqlite3_bind_int64(insert, 3, event.time);
  if (rc == SQLITE_OK) rc = bindText(insert, 4, event.sessionId);
  if (rc == SQLITE_OK) rc = sqlite3_bind_int(insert, 5, event.realtime ? 1 : 0);
  if (rc == SQLITE_OK) rc = bindText(insert, 6, event.data);
  if (rc == SQLITE_OK) rc = bindText(insert, 7, event.preEvent);
  // A single INSERT in autocommit mode is its own write transaction.
  if (rc == SQLITE_OK) rc = sqlite3_step(insert);
  if (rc != SQLITE_DONE) failure = sqlite3_errmsg(dbQueue_);
  sqlite3_reset(insert);
  sqlite3_clear_bindings(insert);
  return rc == SQLITE_DONE;
}

// Events recorded while the file could not be opened, written in their order in one transaction.
void DatabaseHelper::writeQueuedLocked() {
  if (queued_.empty()) return;
  sqlite3_exec(dbQueue_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  std::size_t written = 0;
  for (const EventData& event : queued_) {
    std::string failure;
    if (!insertLocked(event, failure)) Logger::log(failure);
    ++written;
  }
  sqlite3_exec(dbQueue_, "COMMIT", nullptr, nullptr, nullptr);
  queued_.clear();
  Logger::log("Wrote " + std::to_string(written) + " events kept in memory to the event store");
}

void DatabaseHelper::addEvent(const EventData& event) {
  std::string failure;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!openIfDueLocked()) {
      if (queued_.size() >= kMemoryQueueLimit) {
        queued_.pop_front();
        failure = "The event store is unavailable and " + std::to_string(kMemoryQueueLimit) +
                  " events wait in memory; the oldest was dropped";
      }
      queued_.push_back(event);
    } else {
      insertLocked(event, failure);
    }
  }
  if (!failure.empty()) Logger::log(failure);
}

std::optional<EventList> DatabaseHelper::getEvents(int limit) {
  EventList events;
  bool failed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!openIfDueLocked()) return std::nullopt;
    sqlite3_stmt* select = statements_->select;
    sqlite3_bind_int(select, 1, limit > 0 ? limit : 10);
    for (;;) {
      const int rc = sqlite3_step(select);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) {
        failed = true;
        break;
      }
      events.push_back(std::make_shared<EventData>(
          columnText(select, 0), columnText(select, 1), sqlite3_column_int64(select, 2),
          columnText(select, 3), sqlite3_column_int64(select, 4) != 0, columnText(select, 5),
          columnText(select, 6)));
    }
    sqlite3_reset(select);
  }
  if (failed) return std::nullopt;
  return events;
}

void DatabaseHelper::removeEvents(const EventList& events) {
  if (events.empty()) return;
  std::string failure;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!openIfDueLocked()) return;
    Statements& s = *statements_;
    const bool chunked = events.size() > kMaxDeleteChunk;
    const auto run = [](sqlite3_stmt* statement) {
      const int rc = sqlite3_step(statement);
      sqlite3_reset(statement);
      return rc;
    };
    int rc = chunked ? run(s.begin) : SQLITE_DONE;
    for (std::size_t first = 0; rc == SQLITE_DONE && first < events.size();
         first += kMaxDeleteChunk) {
      const std::size_t count = std::min(kMaxDeleteChunk, events.size() - first);
      sqlite3_stmt* statement = s.deleteFor(dbQueue_, count);
      if (statement == nullptr) {
        rc = SQLITE_ERROR;
        break;
      }
      for (std::size_t i = 0; rc == SQLITE_DONE && i < count; ++i) {
        if (bindText(statement, static_cast<int>(i + 1), events[first + i]->id) != SQLITE_OK) {
          rc = SQLITE_ERROR;
        }
      }
      if (rc == SQLITE_DONE) rc = sqlite3_step(statement);
      if (rc != SQLITE_DONE) failure = sqlite3_errmsg(dbQueue_);
      sqlite3_reset(statement);
      sqlite3_clear_bindings(statement);
    }
    if (chunked && rc == SQLITE_DONE) {
      rc = run(s.commit);
      if (rc != SQLITE_DONE) failure = sqlite3_errmsg(dbQueue_);
    }
    if (chunked && rc != SQLITE_DONE && sqlite3_get_autocommit(dbQueue_) == 0) run(s.rollback);
    if (rc != SQLITE_DONE && failure.empty()) failure = sqlite3_errmsg(dbQueue_);
  }
  if (!failure.empty()) Logger::log("Error removing records: " + failure);
}

}  // namespace tavrel_mmp
