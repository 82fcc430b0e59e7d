// The Linux preferences store: a table "Preferences" in a SQLite file of its own. Values live in
// memory; opening, reading and writing the file happen on a library thread, so a change costs
// the caller a map update and a wake-up, never a disk write.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "core/logger.h"
#include "platform/library_thread.h"
#include "platform/per_process.h"
#include "platform/sqlite/connection.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/platform/sqlite_preferences_store.h"

namespace tavrel_mmp::platform {
namespace {

using sqlite::Connection;
using sqlite::Statement;
using sqlite::StepResult;

constexpr const char* kCreate =
    "CREATE TABLE IF NOT EXISTS \"Preferences\" (\"key\" TEXT PRIMARY KEY NOT NULL, "
    "\"kind\" INTEGER NOT NULL, \"value\" BLOB NOT NULL)";
constexpr const char* kSelectAll = "SELECT \"key\", \"kind\", \"value\" FROM \"Preferences\"";
constexpr const char* kUpsert =
    "INSERT OR REPLACE INTO \"Preferences\" (\"key\", \"kind\", \"value\") VALUES (?, ?, ?)";
constexpr const char* kDelete = "DELETE FROM \"Preferences\" WHERE \"key\" = ?";
constexpr const char* kSelectOne =
    "SELECT \"kind\", \"value\" FROM \"Preferences\" WHERE \"key\" = ?";
constexpr int kText = 0;
constexpr int kBytes = 1;

// How long a caller waits while the library thread waits for another process's lock: a reader
// then answers unknown and a flush false, and the library thread goes on trying.
constexpr int kCallerLockWaitMs = 40;
// How long a pass waits for another process's lock before it fails; what it could not write is
// tried again after a pause.
constexpr int kPassLockWaitMs = 250;
constexpr auto kRetryPause = std::chrono::milliseconds(250);
// A claim runs on a library thread and decides a value once: it waits as long as SQLite would.
constexpr int kClaimLockWaitMs = 5000;

using Entries = std::map<std::string, PreferenceValue>;
using Changes = PreferenceChanges;  // none: removed

bool readAll(Connection& db, Entries& out, std::string& failure) {
  if (!db.exec(kCreate)) {
    failure = db.errorMessage();
    return false;
  }
  Statement select = db.prepare(kSelectAll);
  StepResult step;
  while ((step = select.step()) == StepResult::row) {
    if (select.isNull(0)) continue;
    const std::string key(select.columnText(0));
    const std::string_view data = select.columnBlob(2);
    if (select.columnInt64(1) == kBytes) {
      out[key] = std::vector<std::uint8_t>(data.begin(), data.end());
    } else {
      out[key] = std::string(data);
    }
  }
  if (step == StepResult::done) return true;
  failure = db.errorMessage();
  return false;
}

// Writes the changes within the transaction open on `db`.
bool writeChanges(Connection& db, const Changes& changes) {
  bool ok = true;
  {
    Statement upsert = db.prepare(kUpsert);
    Statement erase = db.prepare(kDelete);
    for (auto it = changes.begin(); ok && it != changes.end(); ++it) {
      const auto& [key, value] = *it;
      Statement& statement = value ? upsert : erase;
      statement.reset();
      statement.bindText(1, key);
      if (const auto* text = value ? std::get_if<std::string>(&*value) : nullptr) {
        statement.bindInt64(2, kText);
        statement.bindBlob(3, text->data(), text->size());
      } else if (value) {
        const auto& bytes = std::get<std::vector<std::uint8_t>>(*value);
        statement.bindInt64(2, kBytes);
        statement.bindBlob(3, bytes.data(), bytes.size());
      }
      ok = statement.step() == StepResult::done;
    }
  }
  return ok;
}

// Writes the changes in one transaction.
bool writeAll(Connection& db, const Changes& changes, std::string& failure) {
  return db.inTransaction([&] { return writeChanges(db, changes); }, &failure);
}

// Writes `before` (the changes this process made earlier), then reads the key and stores `value`
// unless it holds a text other than `unset`, in one write transaction, so that of two processes
// claiming at once only one stores. The result is moved into the database file (synced) before
// it is answered.
std::optional<PreferenceClaim> claimInFile(Connection& db, const Changes& before,
                                           const std::string& key, const std::string& value,
                                           const std::string& unset, std::string& failure) {
  std::optional<PreferenceClaim> result;
  const bool written = db.inTransaction(
      [&] {
        if (!writeChanges(db, before)) return false;
        {
          Statement select = db.prepare(kSelectOne);
          select.bindText(1, key);
          const StepResult step = select.step();
          if (step == StepResult::failed) return false;
          if (step == StepResult::row && select.columnInt64(0) == kText) {
            std::string stored(select.columnBlob(1));
            if (stored != unset) result = PreferenceClaim{std::move(stored), false};
          }
        }
        if (result) return true;
        Statement upsert = db.prepare(kUpsert);
        upsert.bindText(1, key);
        upsert.bindInt64(2, kText);
        upsert.bindBlob(3, value.data(), value.size());
        if (upsert.step() != StepResult::done) return false;
        result = PreferenceClaim{value, true};
        return true;
      },
      &failure);
  if (!written) return std::nullopt;
  if (result->claimed && !db.checkpoint(sqlite::CheckpointMode::full)) {
    // Committed to the log, which outlives the process; only a power loss could still take it.
    Logger::log("The claim of " + key + " is not yet synced to the preferences file");
  }
  return result;
}

// Shared by the store and its worker thread, so the worker never outlives what it works on.
// Callers see only memory; the worker runs passes: open and read the file unless that is done
// (nothing is latched when it fails), then write every change not yet written. A pass that could
// not write is followed by another after a pause, until the changes are written. One per process.
class Core : public std::enable_shared_from_this<Core> {
 public:
  explicit Core(std::string path) : path_(std::move(path)) {}

  // A forked child's: the values the parent held in memory, when no vanished thread holds their
  // lock (else none until the file is read). Nothing else: the parent's connection, its worker
  // and the writes it has yet to make stay the parent's.
  static std::shared_ptr<Core> make(const std::string& path, Core* inherited) {
    auto core = std::make_shared<Core>(path);
    if (inherited != nullptr && inherited->mutex_.try_lock()) {
      core->entries_ = inherited->entries_;
      core->loaded_ = inherited->loaded_;
      inherited->mutex_.unlock();
    }
    return core;
  }

  PreferenceRead read(const std::string& key) {
    std::unique_lock<std::mutex> lock(mutex_);
    // A file not read yet (or that could not be read last time) is tried now.
    if (!loaded_ && !path_.empty()) awaitPassLocked(lock, false);
    if (unsettled_.count(key) != 0) return PreferenceRead{false, std::nullopt};
    if (loaded_ || path_.empty()) {
      const auto found = entries_.find(key);
      if (found == entries_.end()) return PreferenceRead{true, std::nullopt};
      return PreferenceRead{true, found->second};
    }
    // The file cannot be read: only what this process changed meanwhile is known.
    const auto changed = unsaved_.find(key);
    if (changed == unsaved_.end()) return PreferenceRead{false, std::nullopt};
    return PreferenceRead{true, changed->second};
  }

  void change(Changes changes, bool unknownUntilWritten) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (auto& [key, value] : changes) {
      if (value) {
        entries_[key] = *value;
      } else {
        entries_.erase(key);
      }
      if (unknownUntilWritten && !path_.empty()) unsettled_.insert(key);
      unsaved_[key] = std::move(value);
    }
    if (path_.empty()) return;
    changed_ = true;
    if (!wakeWorkerLocked()) runPassUnlocked(lock);
  }

  bool flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (path_.empty()) return false;
    const bool finished = awaitPassLocked(lock, true);
    return finished && loaded_ && unsaved_.empty() && lastCheckpointOk_;
  }

  std::optional<PreferenceClaim> claim(const std::string& key, const std::string& value,
                                       const std::string& unset) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (path_.empty()) return claimInMemoryLocked(key, value, unset);
    // The connection is the pass's: the claim takes the place of one.
    done_.wait(lock, [this] { return !passRunning_; });
    passRunning_ = true;
    lockWaitLimitMs_.store(kClaimLockWaitMs);
    if (!db_) load(lock);
    std::optional<PreferenceClaim> result;
    if (db_) {
      // The changes made before the claim go first, in its transaction: a removal still in
      // memory is never overtaken by the file's older value.
      Changes before = std::exchange(unsaved_, {});
      std::string failure;
      lock.unlock();
      result = claimInFile(*db_, before, key, value, unset, failure);
      lock.lock();
      if (result) {
        // The file holds the truth now, whatever this process remembered or meant to write.
        entries_[key] = result->value;
        unsaved_.erase(key);
        settleLocked(before);
      } else {
        unsaved_.merge(before);
        Logger::log("Cannot claim " + key + " in the preferences " + path_ + ": " + failure);
      }
    }
    endPassLocked();
    return result;
  }

  void stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
  }

 private:
  std::optional<PreferenceClaim> claimInMemoryLocked(const std::string& key,
                                                     const std::string& value,
                                                     const std::string& unset) {
    const auto found = entries_.find(key);
    const auto* text = found != entries_.end() ? std::get_if<std::string>(&found->second) : nullptr;
    if (text != nullptr && *text != unset) return PreferenceClaim{*text, false};
    entries_[key] = value;
    return PreferenceClaim{value, true};
  }

  // Asks for a pass and waits until one that started after the request has finished, or until
  // the pass or claim under way has waited for another process's lock too long; true when such
  // a pass finished.
  bool awaitPassLocked(std::unique_lock<std::mutex>& lock, bool checkpoint) {
    requested_ = true;
    checkpointRequested_ = checkpointRequested_ || checkpoint;
    const std::uint64_t start = passesStarted_;
    if (!wakeWorkerLocked()) {
      runPassUnlocked(lock);
      return true;
    }
    done_.wait(lock, [&] { return passesFinished_ > start || blockedByLock_; });
    return passesFinished_ > start;
  }

  // Runs on the thread of a pass or claim, without the lock, each time the file is locked by
  // another connection: lets the callers waiting for it go once it has waited a while.
  bool onLockWait(int waitedMs) {
    if (waitedMs >= kCallerLockWaitMs) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!blockedByLock_) {
        blockedByLock_ = true;
        done_.notify_all();
      }
    }
    return waitedMs < lockWaitLimitMs_.load();
  }

  // False when there is no worker and none can be started.
  bool wakeWorkerLocked() {
    if (!workerRunning_) {
      workerRunning_ = startLibraryThread([self = shared_from_this()] { self->work(); });
    }
    if (workerRunning_) wake_.notify_all();
    return workerRunning_;
  }

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      const auto due = [this] { return requested_ || changed_ || stopping_; };
      if (!unsaved_.empty() && !stopping_) {
        // What the last pass could not write (the file unreadable, locked, full) is tried again.
        if (!wake_.wait_for(lock, kRetryPause, due)) changed_ = true;
      } else {
        wake_.wait(lock, due);
      }
      if (!requested_ && !changed_) return;  // stopping, and everything is written
      runPassUnlocked(lock);
      // A store being destroyed stops once its changes are written or cannot be.
      if (stopping_ && (unsaved_.empty() || !db_)) return;
    }
  }

  // One pass; called with the lock held, releases it around the file work. Passes never
  // overlap (a caller runs one itself only when no worker thread could be started).
  void runPassUnlocked(std::unique_lock<std::mutex>& lock) {
    done_.wait(lock, [this] { return !passRunning_; });
    passRunning_ = true;
    lockWaitLimitMs_.store(kPassLockWaitMs);
    ++passesStarted_;
    requested_ = changed_ = false;
    const bool checkpoint = std::exchange(checkpointRequested_, false);
    if (!db_) load(lock);
    if (db_ && !unsaved_.empty()) save(lock);
    if (db_ && checkpoint) {
      lock.unlock();
      // Moves the write-ahead log into the database file with both synced.
      const bool ok = db_->checkpoint(sqlite::CheckpointMode::full);
      lock.lock();
      lastCheckpointOk_ = ok;
    }
    ++passesFinished_;
    endPassLocked();
  }

  void endPassLocked() {
    passRunning_ = false;
    blockedByLock_ = false;
    done_.notify_all();
  }

  void load(std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    std::string failure;
    Entries stored;
    std::unique_ptr<Connection> db = Connection::openPrivate(
        path_, failure, [this](int waitedMs) { return onLockWait(waitedMs); });
    if (db && !readAll(*db, stored, failure)) db.reset();
    lock.lock();
    if (!db) {
      if (!reportedFailure_) Logger::log("Cannot read the preferences " + path_ + ": " + failure);
      reportedFailure_ = true;
      return;
    }
    reportedFailure_ = false;
    db_ = std::move(db);
    // Changes made while the file could not be read are newer than what it holds.
    for (auto& [key, value] : unsaved_) {
      if (value) {
        stored[key] = *value;
      } else {
        stored.erase(key);
      }
    }
    entries_ = std::move(stored);
    loaded_ = true;
  }

  void save(std::unique_lock<std::mutex>& lock) {
    Changes writing = std::exchange(unsaved_, {});
    lock.unlock();
    std::string failure;
    const bool ok = writeAll(*db_, writing, failure);
    lock.lock();
    if (ok) {
      reportedWriteFailure_ = false;
      return settleLocked(writing);
    }
    // Said once until a write succeeds again; the worker keeps trying.
    if (!reportedWriteFailure_) {
      Logger::log("Cannot write the preferences " + path_ + ": " + failure);
    }
    reportedWriteFailure_ = true;
    // Kept for the next pass; a key changed again meanwhile keeps its newer value.
    unsaved_.merge(writing);
  }

  // The written keys read as what they hold now, unless changed together again meanwhile.
  void settleLocked(const Changes& written) {
    for (const auto& [key, value] : written) {
      if (unsaved_.count(key) == 0) unsettled_.erase(key);
    }
  }

  const std::string path_;
  std::mutex mutex_;
  std::condition_variable wake_;  // to the worker
  std::condition_variable done_;  // from the worker
  Entries entries_;
  Changes unsaved_;
  // Keys of changes made together that are not written yet: read as unknown.
  std::set<std::string> unsettled_;
  bool loaded_ = false;
  bool changed_ = false;
  bool requested_ = false;
  bool checkpointRequested_ = false;
  bool lastCheckpointOk_ = false;
  bool stopping_ = false;
  bool workerRunning_ = false;
  bool passRunning_ = false;
  // The pass or claim under way has waited for another process's lock past the callers' wait.
  bool blockedByLock_ = false;
  bool reportedFailure_ = false;
  bool reportedWriteFailure_ = false;
  std::atomic<int> lockWaitLimitMs_{kPassLockWaitMs};
  std::uint64_t passesStarted_ = 0;
  std::uint64_t passesFinished_ = 0;
  std::unique_ptr<Connection> db_;  // touched only by the pass in progress
};

class SqlitePreferencesStore : public PreferencesStore {
 public:
  explicit SqlitePreferencesStore(std::string path)
      : cores_([path = std::move(path)](Core* inherited) { return Core::make(path, inherited); }) {}
  ~SqlitePreferencesStore() override {
    cores_.get().stop();
    cores_.letGo();
  }

  std::optional<PreferenceValue> value(const std::string& key) override {
    return cores_.get().read(key).value;
  }
  PreferenceRead read(const std::string& key) override { return cores_.get().read(key); }
  void setText(const std::string& key, const std::string& value) override {
    cores_.get().change({{key, value}}, false);
  }
  void setBytes(const std::string& key, const std::vector<std::uint8_t>& value) override {
    cores_.get().change({{key, value}}, false);
  }
  void remove(const std::string& key) override {
    cores_.get().change({{key, std::nullopt}}, false);
  }
  void applyTogether(const PreferenceChanges& changes) override {
    cores_.get().change(changes, true);
  }
  bool flush() override { return cores_.get().flush(); }
  std::optional<PreferenceClaim> claimText(const std::string& key, const std::string& value,
                                           const std::string& unset) override {
    return cores_.get().claim(key, value, unset);
  }

 private:
  PerProcess<Core> cores_;
};

}  // namespace

std::shared_ptr<PreferencesStore> makeSqlitePreferencesStore(std::string path) {
  return std::make_shared<SqlitePreferencesStore>(std::move(path));
}

}  // namespace tavrel_mmp::platform
