#include "platform/sqlite/connection.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>

#include "core/logger.h"
#include "platform/private_files.h"

namespace tavrel_mmp::platform::sqlite {
namespace {

constexpr int kBusyTimeoutMs = 5000;

// SQLite's own schedule of waits for a lock: short at first, then 100 ms at a time.
constexpr int kBusyDelaysMs[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
constexpr int kBusyDelayCount = sizeof kBusyDelaysMs / sizeof kBusyDelaysMs[0];

enum class Probe { usable, notADatabase, failed };

// Opening is lazy in SQLite: a file that is not a database only shows itself at the first read.
Probe probe(sqlite3* db, std::string& failure) {
  const int rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) return Probe::usable;
  failure = sqlite3_errmsg(db);
  const int primary = rc & 0xFF;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT ? Probe::notADatabase
                                                               : Probe::failed;
}

void setAside(const std::string& path) {
  const std::string aside = path + ".damaged-" + std::to_string(std::time(nullptr));
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::rename((path + suffix).c_str(), (aside + suffix).c_str());
  }
  Logger::log("The file " + path + " is not a database; kept aside as " + aside);
}

bool preparePrivateFile(const std::string& path, std::string& failure) {
  const auto slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !makePrivateDirectories(path.substr(0, slash))) {
    failure = "cannot create the folder of " + path;
    return false;
  }
  if (!ensurePrivateFile(path)) {
    failure = "cannot create " + path + " as a private regular file";
    return false;
  }
  return true;
}

}  // namespace

Connection::Call::Call(const Connection* connection) : connection_(connection) {
  if (connection_ != nullptr && !connection_->pass_) connection_->pass_.emplace();
}

Connection::Call::~Call() {
  if (connection_ != nullptr && connection_->steppingStatements_ == 0 &&
      sqlite3_get_autocommit(connection_->db_) != 0) {
    connection_->pass_.reset();
  }
}

std::unique_ptr<Connection> Connection::open(const std::string& path, int flags,
                                             std::string& failure) {
  sqlite3* db = nullptr;
  const ForkPass pass;
  // Never through a symbolic link: the file is the user's own only where it stands.
  flags |= SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    failure = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return std::unique_ptr<Connection>(new Connection(db));
}

std::unique_ptr<Connection> Connection::openPrivate(const std::string& path, std::string& failure,
                                                    LockWait lockWait) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!preparePrivateFile(path, failure)) return nullptr;
    std::unique_ptr<Connection> connection =
        open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, failure);
    if (!connection) return nullptr;
    if (lockWait) connection->setLockWait(lockWait);
    const Probe outcome = [&] {
      const Call call(connection.get());
      return probe(connection->db_, failure);
    }();
    if (outcome == Probe::failed) return nullptr;
    if (outcome == Probe::notADatabase) {
      connection.reset();
      // Once only: a fresh file that still fails is a failure like any other.
      if (attempt == 0) setAside(path);
      continue;
    }
    // Switching a new file to WAL would sync it several times over; there is nothing in it to
    // protect yet, so the switch itself runs unsynced.
    connection->exec("PRAGMA synchronous=OFF");
    connection->exec("PRAGMA journal_mode=WAL");
    connection->exec("PRAGMA synchronous=NORMAL");
    return connection;
  }
  return nullptr;
}

std::unique_ptr<Connection> Connection::openExisting(const std::string& path, Access access) {
  std::string failure;
  return open(path, access == Access::readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE,
              failure);
}

Connection::~Connection() {
  if (!pass_) pass_.emplace();  // let go with the members
  // Statements still open keep the connection until the last one is finalized.
  sqlite3_close_v2(db_);
}

bool Connection::exec(const char* sql) {
  const Call call(this);
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  noteFailure();
  return false;
}

Statement Connection::prepare(std::string_view sql, Reuse reuse) {
  const Call call(this);
  sqlite3_stmt* handle = nullptr;
  const unsigned flags = reuse == Reuse::persistent ? SQLITE_PREPARE_PERSISTENT : 0;
  if (sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), flags, &handle, nullptr) !=
      SQLITE_OK) {
    noteFailure();
    sqlite3_finalize(handle);
    return Statement();
  }
  return Statement(handle, this);
}

void Connection::rollback() {
  if (sqlite3_get_autocommit(db_) == 0) exec("ROLLBACK");
}

bool Connection::checkpoint(CheckpointMode mode) {
  const int sqliteMode = mode == CheckpointMode::truncate ? SQLITE_CHECKPOINT_TRUNCATE
                         : mode == CheckpointMode::full   ? SQLITE_CHECKPOINT_FULL
                                                          : SQLITE_CHECKPOINT_PASSIVE;
  const Call call(this);
  if (sqlite3_wal_checkpoint_v2(db_, nullptr, sqliteMode, nullptr, nullptr) == SQLITE_OK)
    return true;
  noteFailure();
  return false;
}

void Connection::setLockWait(LockWait lockWait) {
  lockWait_ = std::move(lockWait);
  if (lockWait_) {
    sqlite3_busy_handler(db_, &Connection::onBusy, this);
  } else {
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  }
}

int Connection::onBusy(void* self, int attempts) {
  int waited = 0;
  for (int i = 0; i < attempts; ++i) waited += kBusyDelaysMs[std::min(i, kBusyDelayCount - 1)];
  if (!static_cast<Connection*>(self)->lockWait_(waited)) return 0;
  sqlite3_sleep(kBusyDelaysMs[std::min(attempts, kBusyDelayCount - 1)]);
  return 1;
}

void Connection::noteFailure() {
  lastFailure_ = sqlite3_errmsg(db_);
  lastFailureCode_ = sqlite3_extended_errcode(db_);
}

const char* Connection::errorMessage() const {
  return lastFailure_.c_str();
}

bool Connection::failedOnConstraint() const {
  return (lastFailureCode_ & 0xFF) == SQLITE_CONSTRAINT;
}

}  // namespace tavrel_mmp::platform::sqlite
