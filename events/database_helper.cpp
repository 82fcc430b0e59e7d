#include "events/database_helper.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <string_view>
#include <thread>

#include "core/logger.h"
#include "platform/per_process.h"
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
// Pages of write-ahead log after which the main loop checkpoints. A checkpoint that runs beside
// a steady stream of inserts never quite catches up, and SQLite starts the log over only once all
// of it is in the file: the log would grow without end, and every insert would pay for writing
// to newly allocated file blocks. So the checkpoint ends with a short pass that holds inserts
// back: it copies what they added meanwhile, the log is then all in the file, and the next
// insert starts it over. Past the second mark (a log that grew while another process read) the
// checkpoint then also truncates it.
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
// own: the bulk beside the inserts, the rest while they wait (see kCheckpointPages). Shared with
// the tasks it posts, so it outlives a store destroyed meanwhile; the store detaches itself first.
class DatabaseHelper::Checkpointer : public std::enable_shared_from_this<Checkpointer> {
 public:
  Checkpointer(std::string path, std::mutex& writerMutex)
      : path_(std::move(path)), writerMutex_(&writerMutex) {}

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

  // The store is going away: no later pass waits for its writer.
  void detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    writerMutex_ = nullptr;
  }

 private:
  void run(CheckpointMode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    requested_.store(false);
    if (!db_) {
      db_ = platform::sqlite::Connection::openExisting(path_, platform::sqlite::Access::readWrite);
      // A connection learns that the file is in WAL mode at its first read; until then a
      // checkpoint on it finds no log and does nothing, and the log grows without end.
      if (db_ && !db_->exec("SELECT count(*) FROM sqlite_master")) db_.reset();
    }
    if (!db_ || !db_->checkpoint(CheckpointMode::passive) || writerMutex_ == nullptr) return;
    {
      // Passive again: it never waits, so inserts are held back only while it copies.
      std::lock_guard<std::mutex> writer(*writerMutex_);
      db_->checkpoint(CheckpointMode::passive);
    }
    if (mode == CheckpointMode::truncate) db_->checkpoint(mode);
  }

  const std::string path_;
  std::mutex mutex_;  // the connection and the writer's mutex
  std::mutex* writerMutex_;
  std::unique_ptr<platform::sqlite::Connection> db_;
  std::atomic<bool> requested_{false};
};

DatabaseHelper& DatabaseHelper::shared() {
  // Never destroyed: other threads may still use the store while the process exits. A forked
  // child opens connections of its own; the events the parent kept in memory are the parent's.
  static platform::PerProcess<DatabaseHelper> instance(
      [](DatabaseHelper*) { return std::shared_ptr<DatabaseHelper>(new DatabaseHelper()); });
  return instance.get();
}

DatabaseHelper::DatabaseHelper() : atDocuments_(true) {
  std::lock_guard<std::mutex> lock(mutex_);
  openIfDueLocked();
}

DatabaseHelper::DatabaseHelper(std::optional<std::string> path, EventStoreLimits limits)
    : atDocuments_(false), path_(std::move(path)), limits_(limits) {
  std::lock_guard<std::mutex> lock(mutex_);
  openIfDueLocked();
}

DatabaseHelper::~DatabaseHelper() {
  // Not under mutex_: a pass of the checkpointer may hold its own lock while waiting for mutex_.
  if (checkpointer_) checkpointer_->detach();
}

bool DatabaseHelper::isUsable() {
  std::lock_guard<std::mutex> lock(mutex_);
  return openIfDueLocked();
}

std::optional<std::string> DatabaseHelper::filePath() {
  std::lock_guard<std::mutex> lock(mutex_);
  return openedPath_;
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
  capsChecked_ = false;
  limitFileSizeLocked();
  // A checkpointer of an earlier opening stays attached: it waits for this same mutex.
  checkpointer_ = std::make_shared<Checkpointer>(path, mutex_);
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
    return;
  }
  set_aside::ensureSchema(*writer_->db);
}

void DatabaseHelper::limitFileSizeLocked() {
  Statement pageSize = writer_->db->prepare("PRAGMA page_size");
  if (!pageSize || pageSize.step() != StepResult::row || pageSize.columnInt64(0) <= 0) return;
  const std::int64_t pages =
      std::max<std::int64_t>(1, limits_.maxFileBytes / pageSize.columnInt64(0));
  writer_->db->exec(("PRAGMA max_page_count = " + std::to_string(pages)).c_str());
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

// Events recorded while the file could not be opened or written, written in their order in one
// transaction. They leave memory only once that transaction committed; otherwise a use a second
// later or more tries again (a full disk is not asked again at every event). A row already stored
// is left out rather than holding back the others for ever.
void DatabaseHelper::writeQueuedLocked() {
  if (queued_.empty()) return;
  const double now = platform::clock().monotonic();
  if (queueRetryAfter_ && now < *queueRetryAfter_ &&
      now >= *queueRetryAfter_ - kReopenIntervalSeconds) {
    return;
  }
  std::string failure;
  bool written = writer_->db->exec("BEGIN IMMEDIATE");
  for (auto it = queued_.begin(); written && it != queued_.end(); ++it) {
    written = insertLocked(*it, failure) || writer_->db->failedOnConstraint();
  }
  if (written) written = writer_->db->exec("COMMIT");
  if (!written) {
    if (failure.empty()) failure = writer_->db->errorMessage();
    writer_->db->rollback();
    queueRetryAfter_ = now + kReopenIntervalSeconds;
    Logger::log("The events kept in memory wait for the next write: " + failure);
    return;
  }
  queueRetryAfter_.reset();
  insertsSinceCapCheck_.fetch_add(queued_.size());
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
    // Behind the events already waiting in memory, if any, so that none overtakes them.
    if (openIfDueLocked() && queued_.empty()) {
      if (insertLocked(event, failure)) {
        insertsSinceCapCheck_.fetch_add(1);
      } else if (!writer_->db->failedOnConstraint()) {
        queueRetryAfter_ = platform::clock().monotonic() + kReopenIntervalSeconds;
        failure = "The event store cannot be written (" + failure + "); the event waits in memory";
        keepInMemoryLocked(event, failure);
      }
    } else {
      keepInMemoryLocked(event, failure);
    }
  }
  if (!failure.empty()) Logger::log(failure);
}

void DatabaseHelper::keepInMemoryLocked(const EventData& event, std::string& failure) {
  if (queued_.size() >= kMemoryQueueLimit) {
    queued_.pop_front();
    failure = "The event store is unavailable and " + std::to_string(kMemoryQueueLimit) +
              " events wait in memory; the oldest was dropped";
  }
  queued_.push_back(event);
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
  if (!writer_->db->exec("DELETE FROM \"EventData\"") || !set_aside::clear(*writer_->db)) {
    Logger::log(std::string("Error removing records: ") + writer_->db->errorMessage());
  }
}

void DatabaseHelper::removeEvents(const EventList& events) {
  std::string failure;
  {
    // A real-time event kept in memory may be delivered before it reaches the file; written
    // later, it would leave a second time with a batch.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!queued_.empty()) {
      std::set<std::string_view> gone;
      for (const auto& event : events) gone.insert(event->id);
      std::deque<EventData> kept;
      for (const auto& event : queued_) {
        if (gone.count(event.id) == 0) kept.push_back(event);
      }
      queued_.swap(kept);
    }
  }
  for (std::size_t first = 0; first < events.size() && failure.empty(); first += kDeleteChunk) {
    const std::size_t count = std::min(kDeleteChunk, events.size() - first);
    letInsertsGoFirst();
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

// A recording thread waiting for the connection goes first: the mutex is not fair, and work
// taking it back piece after piece would keep the host waiting for all of the pieces.
void DatabaseHelper::letInsertsGoFirst() const {
  while (insertsWaiting_.load() > 0) std::this_thread::yield();
}

std::optional<set_aside::RefusalHistories> DatabaseHelper::noteRefusal(const EventList& events,
                                                                       std::int64_t now) {
  std::optional<set_aside::RefusalHistories> histories;
  std::string failure;
  {
    letInsertsGoFirst();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!openIfDueLocked()) return std::nullopt;
    histories = set_aside::noteRefusal(*writer_->db, events, now);
    if (!histories) failure = writer_->db->errorMessage();
  }
  if (!failure.empty()) Logger::log("The refusal could not be recorded: " + failure);
  return histories;
}

bool DatabaseHelper::setAside(const EventData& event, const std::string& reason) {
  const auto now = static_cast<std::int64_t>(platform::clock().now());
  bool moved = false;
  std::string failure;
  {
    letInsertsGoFirst();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!openIfDueLocked()) return false;
    moved = set_aside::setAside(*writer_->db, event.id, reason, now);
    if (!moved) failure = writer_->db->errorMessage();
  }
  const std::string named = "The event " + event.key + " (" + event.id + ")";
  Logger::log(moved ? named + " is set aside: " + reason
                    : named + " could not be set aside: " + failure);
  return moved;
}

void DatabaseHelper::enforceCaps() {
  std::optional<std::size_t> queued;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!openIfDueLocked()) return;
    if (capsChecked_ && insertsSinceCapCheck_.load() < limits_.capCheckEvery) return;
    capsChecked_ = true;
    insertsSinceCapCheck_.store(0);
    queued = set_aside::queuedCount(*writer_->db);
  }
  const auto now = static_cast<std::int64_t>(platform::clock().now());
  const std::string reason = "over the cap of " + std::to_string(limits_.maxEvents) + " events";
  std::size_t excess = queued && *queued > limits_.maxEvents ? *queued - limits_.maxEvents : 0;
  std::size_t movedTotal = 0, droppedTotal = 0;
  // Even with nothing over the queue's cap: rows set aside one at a time count too.
  do {
    letInsertsGoFirst();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!openIfDueLocked()) break;
    const std::size_t moved =
        set_aside::setAsideOldest(*writer_->db, std::min(excess, kCapChunk), reason, now);
    movedTotal += moved;
    excess = moved == 0 ? 0 : excess - moved;
    const auto asideNow = set_aside::setAsideCount(*writer_->db);
    if (asideNow && *asideNow > limits_.maxSetAside) {
      droppedTotal += set_aside::dropOldestSetAside(*writer_->db, *asideNow - limits_.maxSetAside);
    }
  } while (excess > 0);
  if (movedTotal > 0) {
    Logger::log("The event store held more than " + std::to_string(limits_.maxEvents) +
                " events: the oldest " + std::to_string(movedTotal) + " were set aside");
  }
  if (droppedTotal > 0) {
    Logger::log("More than " + std::to_string(limits_.maxSetAside) +
                " events were set aside: the " + std::to_string(droppedTotal) +
                " set aside longest ago were deleted");
  }
}

std::vector<set_aside::SetAsideEvent> DatabaseHelper::setAsideEvents(std::size_t limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!openIfDueLocked()) return {};
  return set_aside::setAsideEvents(*writer_->db, limit);
}

}  // namespace tavrel_mmp
