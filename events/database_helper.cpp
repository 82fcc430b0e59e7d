#include "events/database_helper.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "core/logger.h"
#include "platform/sqlite/connection.h"
#include "tavrel_mmp/platform/clock.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp {

using platform::sqlite::CheckpointMode;
using platform::sqlite::Reuse;
using platform::sqlite::Statement;
using platform::sqlite::StepResult;

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

std::optional<std::string> documentsDatabasePath() {
  auto directory = platform::documentsDirectory().path();
  if (!directory) return std::nullopt;
  return *directory + kFileName;
}

std::string columnString(Statement& statement, int column) {
  return std::string(statement.columnText(column));
}

}  // namespace

// One connection and the statements prepared on it, used under its owner's mutex. The
// statements are declared after the connection, so they are finalized first.
struct DatabaseHelper::StoreConnection {
  std::unique_ptr<platform::sqlite::Connection> db;
  Statement insert;
  Statement select;
  std::map<std::size_t, Statement> deletes;  // by number of identifiers

  explicit StoreConnection(std::unique_ptr<platform::sqlite::Connection> connection)
      : db(std::move(connection)) {}

  Statement* deleteFor(std::size_t count) {
    if (auto found = deletes.find(count); found != deletes.end()) return &found->second;
    std::string sql = "DELETE FROM \"EventData\" WHERE \"id\" IN (";
    for (std::size_t i = 0; i < count; ++i) sql += i == 0 ? "?" : ",?";
    Statement statement = db->prepare(sql + ")", Reuse::persistent);
    if (!statement) return nullptr;
    return &deletes.emplace(count, std::move(statement)).first->second;
  }

  std::optional<EventList> read(int limit) {
    if (!select) select = db->prepare(kSelect, Reuse::persistent);
    if (!select) return std::nullopt;
    EventList events;
    select.bindInt64(1, limit > 0 ? limit : 10);
    StepResult step;
    while ((step = select.step()) == StepResult::row) {
      events.push_back(std::make_shared<EventData>(
          columnString(select, 0), columnString(select, 1), select.columnInt64(2),
          columnString(select, 3), select.columnInt64(4) != 0, columnString(select, 5),
          columnString(select, 6)));
    }
    select.reset();
    if (step != StepResult::done) return std::nullopt;
    return events;
  }
};

// Moves the write-ahead log into the database file from the main loop, on a connection of its
// own, so that no insert ever pays for it. Shared with the tasks it posts, so it outlives a
// store destroyed meanwhile.
class DatabaseHelper::Checkpointer : public std::enable_shared_from_this<Checkpointer> {
 public:
  explicit Checkpointer(std::string path) : path_(std::move(path)) {}

  // The writing connection's commit hook; only hands the work over.
  static void onCommit(void* self, int pages) {
    auto* checkpointer = static_cast<Checkpointer*>(self);
    if (pages >= kCheckpointPages && !checkpointer->requested_.exchange(true)) {
      const CheckpointMode mode =
          pages >= kTruncatingCheckpointPages ? CheckpointMode::truncate : CheckpointMode::passive;
      platform::mainLoop().post(
          [keep = checkpointer->shared_from_this(), mode] { keep->run(mode); });
    }
  }

 private:
  void run(CheckpointMode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    requested_.store(false);
    if (!db_)
      db_ = platform::sqlite::Connection::openExisting(path_, platform::sqlite::Access::readWrite);
    if (db_) db_->checkpoint(mode);
  }

  const std::string path_;
  std::mutex mutex_;
  std::unique_ptr<platform::sqlite::Connection> db_;
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
  auto db = platform::sqlite::Connection::openPrivate(path, failure);
  if (!db) {
    Logger::log("Cannot open the event store " + path + ": " + failure);
    return;
  }
  writer_ = std::make_unique<StoreConnection>(std::move(db));
  openedPath_ = path;
  checkpointer_ = std::make_shared<Checkpointer>(path);
  writer_->db->setCommitHook(&Checkpointer::onCommit, checkpointer_.get());
}

void DatabaseHelper::createTable() {
  // Fails on every start after the first, because the table exists; that is expected.
  writer_->db->exec(kCreateTable);
  writer_->db->exec(kCreateIndex);
  writer_->insert = writer_->db->prepare(kInsert, Reuse::persistent);
  if (!writer_->insert) {
    // A table of another shape under the same name: nothing can be stored or read.
    Logger::log(std::string("The event store cannot be used: ") + writer_->db->errorMessage());
    writer_->db->setCommitHook(nullptr, nullptr);
    writer_.reset();
  }
}

bool DatabaseHelper::insertLocked(const EventData& event, std::string& failure) {
  Statement& insert = writer_->insert;
  // A single INSERT in autocommit mode is its own write transaction.
  const bool done = insert.bindText(1, event.id) && insert.bindText(2, event.key) &&
                    insert.bindInt64(3, event.time) && insert.bindText(4, event.sessionId) &&
                    insert.bindInt64(5, event.realtime ? 1 : 0) && insert.bindText(6, event.data) &&
                    insert.bindText(7, event.preEvent) && insert.step() == StepResult::done;
  if (!done) failure = writer_->db->errorMessage();
  insert.reset();
  return done;
}

// Events recorded while the file could not be opened, written in their order in one transaction.
// They leave memory only once that transaction committed; otherwise the next use tries again.
void DatabaseHelper::writeQueuedLocked() {
  if (queued_.empty()) return;
  std::string failure;
  bool written = writer_->db->exec("BEGIN IMMEDIATE");
  for (auto it = queued_.begin(); written && it != queued_.end(); ++it) {
    written = insertLocked(*it, failure);
  }
  if (written) written = writer_->db->exec("COMMIT");
  if (!written) {
    if (failure.empty()) failure = writer_->db->errorMessage();
    writer_->db->rollback();
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
DatabaseHelper::StoreConnection* DatabaseHelper::readerLocked() {
  if (!reader_ && openedPath_) {
    if (auto db = platform::sqlite::Connection::openExisting(*openedPath_,
                                                             platform::sqlite::Access::readOnly)) {
      reader_ = std::make_unique<StoreConnection>(std::move(db));
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
    if (StoreConnection* reader = readerLocked()) return reader->read(limit);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return writer_ ? writer_->read(limit) : std::nullopt;
}

void DatabaseHelper::removeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.clear();
  if (!openIfDueLocked()) return;
  if (!writer_->db->exec("DELETE FROM \"EventData\"")) {
    Logger::log(std::string("Error removing records: ") + writer_->db->errorMessage());
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
    Statement* statement = writer_->deleteFor(count);
    bool done = statement != nullptr;
    for (std::size_t i = 0; done && i < count; ++i) {
      done = statement->bindText(static_cast<int>(i + 1), events[first + i]->id);
    }
    if (done) done = statement->step() == StepResult::done;
    if (!done) failure = writer_->db->errorMessage();
    if (statement != nullptr) statement->reset();
  }
  if (!failure.empty()) Logger::log("Error removing records: " + failure);
}

}  // namespace tavrel_mmp
