#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "events/event_data.h"
#include "events/event_set_aside.h"

namespace tavrel_mmp {

// The caps of the event store (see DatabaseHelper).
struct EventStoreLimits {
  // Rows in "EventData": weeks of a busy app's events offline; at a few hundred bytes a row,
  // some tens of megabytes.
  std::size_t maxEvents = 100'000;
  // Rows in "EventSetAside".
  std::size_t maxSetAside = 10'000;
  // Inserts between two counts of the rows (the count runs at batch time, on the main loop).
  std::size_t capCheckEvery = 1'000;
  // The file never grows past this (SQLite's page limit on the writing connection), whatever
  // the events weigh; reaching it is handled like a full disk.
  std::int64_t maxFileBytes = std::int64_t{512} << 20;
};

// The local event store: one SQLite file "<documents>/tavrel_mmp_1.sqlite3", table "EventData".
//
// Recording threads insert through one connection; batches are read through a second one, so
// a read never holds up an insert; deletions go in small pieces so an insert waits for at most
// one of them. The write-ahead log is moved into the file on the main loop, never by an insert;
// an insert waits at most for the short last pass that lets the log start over.
// When the file cannot be opened (a transient failure, a missing documents directory), opening
// is tried again at later uses, at most once a second; events recorded meanwhile wait in a
// bounded memory queue and are written when the file opens. A write that fails (a full disk,
// the file's size limit) keeps the event in the same queue, written again at most once a second.
//
// The queue is capped (`EventStoreLimits`): past `maxEvents` rows the oldest are set aside into the
// table "EventSetAside", which keeps the whole row, why and when; past `maxSetAside` the rows set
// aside longest ago go, with a development line saying how many. The uploader sets aside single
// rows the service keeps refusing (events/tracking_event_upload.cpp) the same way.
class DatabaseHelper {
 public:
  // The store at the documents directory, opened on first use; never destroyed.
  static DatabaseHelper& shared();

  // A store at `path` (none: nowhere to put it). The shared store reads the documents directory
  // again at each attempt.
  explicit DatabaseHelper(std::optional<std::string> path, EventStoreLimits limits = {});
  ~DatabaseHelper();
  DatabaseHelper(const DatabaseHelper&) = delete;
  DatabaseHelper& operator=(const DatabaseHelper&) = delete;

  void addEvent(const EventData& event);
  // At most `limit` records (10 when limit <= 0), oldest "time" first; none when the store is
  // unusable or the read fails.
  std::optional<EventList> getEvents(int limit);
  void removeEvents(const EventList& events);
  // Every stored event, every one waiting in memory and every one set aside goes (the
  // installation starts over).
  void removeAll();

  // One more refusal by the service for each of these rows, at `now` (Unix seconds), written
  // before it returns; the rows' refusal histories afterwards, none when the write failed.
  std::optional<set_aside::RefusalHistories> noteRefusal(const EventList& events, std::int64_t now);
  // Takes the row out of the queue into the set-aside table, with a development line naming it
  // and `reason`; false when it was not there or the write failed.
  bool setAside(const EventData& event, const std::string& reason);
  // Applies the caps when `capCheckEvery` inserts happened since the last check (or none was made
  // since the file opened). Runs on the main loop, in pieces that let inserts go first.
  void enforceCaps();
  // The rows set aside, longest ago first.
  std::vector<set_aside::SetAsideEvent> setAsideEvents(std::size_t limit = 100);

  // Whether the file is open (trying to open it when an attempt is due).
  bool isUsable();
  // The file the store opened; none before it could be.
  std::optional<std::string> filePath();

  static constexpr std::size_t kMemoryQueueLimit = 10'000;
  static constexpr double kReopenIntervalSeconds = 1.0;
  // Rows moved per transaction when the caps are applied.
  static constexpr std::size_t kCapChunk = 500;

 private:
  DatabaseHelper();  // the shared store
  struct StoreConnection;
  class Checkpointer;

  bool openIfDueLocked();
  void initDb(const std::string& path);
  void createTable();
  void writeQueuedLocked();
  bool insertLocked(const EventData& event, std::string& failure);
  StoreConnection* readerLocked();

  void limitFileSizeLocked();
  void keepInMemoryLocked(const EventData& event, std::string& failure);
  void letInsertsGoFirst() const;

  const bool atDocuments_;
  const std::optional<std::string> path_;
  const EventStoreLimits limits_;
  std::atomic<std::size_t> insertsSinceCapCheck_{0};
  bool capsChecked_ = false;               // since the file opened
  std::optional<double> queueRetryAfter_;  // monotonic seconds; after a failed write
  std::mutex mutex_;                       // the writing connection and the memory queue
  std::atomic<int> insertsWaiting_{0};
  std::unique_ptr<StoreConnection> writer_;
  std::optional<std::string> openedPath_;
  std::optional<double> lastAttempt_;  // monotonic seconds
  std::deque<EventData> queued_;
  std::mutex readerMutex_;
  std::unique_ptr<StoreConnection> reader_;
  std::shared_ptr<Checkpointer> checkpointer_;
};

}  // namespace tavrel_mmp
