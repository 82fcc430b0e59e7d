#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "events/event_data.h"

namespace tavrel_mmp {

// The local event store: one SQLite file "<documents>/tavrel_mmp_1.sqlite3", table "EventData".
//
// Recording threads insert through one connection; batches are read through a second one, so
// a read never holds up an insert; deletions go in small pieces so an insert waits for at most
// one of them. The write-ahead log is moved into the file on the main loop, never by an insert.
// When the file cannot be opened (a transient failure, a missing documents directory), opening
// is tried again at later uses, at most once a second; events recorded meanwhile wait in a
// bounded memory queue and are written when the file opens.
class DatabaseHelper {
 public:
  // The store at the documents directory, opened on first use; never destroyed.
  static DatabaseHelper& shared();

  // A store at `path` (none: nowhere to put it). The shared store reads the documents directory
  // again at each attempt.
  explicit DatabaseHelper(std::optional<std::string> path);
  ~DatabaseHelper();
  DatabaseHelper(const DatabaseHelper&) = delete;
  DatabaseHelper& operator=(const DatabaseHelper&) = delete;

  void addEvent(const EventData& event);
  // At most `limit` records (10 when limit <= 0), oldest "time" first; none when the store is
  // unusable or the read fails.
  std::optional<EventList> getEvents(int limit);
  void removeEvents(const EventList& events);
  // Every stored event and every one waiting in memory goes (the installation starts over).
  void removeAll();

  // Whether the file is open (trying to open it when an attempt is due).
  bool isUsable();

  static constexpr std::size_t kMemoryQueueLimit = 10'000;
  static constexpr double kReopenIntervalSeconds = 1.0;

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

  const bool atDocuments_;
  const std::optional<std::string> path_;
  std::mutex mutex_;  // the writing connection and the memory queue
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
