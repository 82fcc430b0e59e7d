#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/fork_pass.h"
#include "platform/sqlite/statement.h"

struct sqlite3;

namespace tavrel_mmp::platform::sqlite {

enum class Access { readOnly, readWrite };
enum class Reuse { once, persistent };
enum class CheckpointMode { passive, full, truncate };

// One SQLite connection, closed with its owner. Unless told otherwise (`LockWait`), every
// connection waits up to five seconds for another one's lock before an operation fails as busy.
// Operations that fail answer false, an empty statement or `StepResult::failed`; `errorMessage()`
// then says why. Every call, and every transaction or read from its first call until it ends,
// holds a fork pass (platform/fork_pass.h), so that a forked child never copies SQLite's locks in
// the middle of one.
class Connection {
 public:
  // Asked on the waiting thread each time an operation finds another connection's lock taken, with
  // how long this operation has waited for it so far; true waits a little longer (a few
  // milliseconds at first, at most 100 at a time), false fails the operation as busy.
  using LockWait = std::function<bool(int waitedMs)>;

  // The library's own database at `path`: its folder created 0700, the file created 0600 when
  // missing and never opened through a symbolic link, WAL journal, NORMAL sync. A file that is
  // not a database (or is damaged beyond reading) is moved aside to "<path>.damaged-<unix time>"
  // with its journal files, and a fresh one started. On any other failure (permissions, too many
  // open files, I/O) nothing is touched: none, and `failure` says why, so the caller can try
  // again later. `lockWait`, when given, decides every wait for a lock from the first one on.
  static std::unique_ptr<Connection> openPrivate(const std::string& path, std::string& failure,
                                                 LockWait lockWait = nullptr);
  // A further connection on an existing database, never created and never opened through a
  // symbolic link; none when it cannot be opened.
  static std::unique_ptr<Connection> openExisting(const std::string& path, Access access);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool exec(const char* sql);
  Statement prepare(std::string_view sql, Reuse reuse = Reuse::once);
  // Undoes the open transaction, if there is one.
  void rollback();
  // Runs `body` (returning whether it succeeded) in one write transaction, committed only when
  // it succeeded and rolled back otherwise; whether it committed. On failure `failure`, when
  // given and still empty, receives the failing statement's message (before the rollback).
  template <class Body>
  bool inTransaction(Body&& body, std::string* failure = nullptr) {
    if (exec("BEGIN IMMEDIATE") && body() && exec("COMMIT")) return true;
    if (failure != nullptr && failure->empty()) *failure = errorMessage();
    rollback();
    return false;
  }
  // Moves the write-ahead log into the database file.
  bool checkpoint(CheckpointMode mode);

  // Replaces the five-second wait (null: back to it).
  void setLockWait(LockWait lockWait);

  // Why the last operation that failed did: kept as it was then, whatever ran since.
  const char* errorMessage() const;
  // Whether the last failure broke a constraint (a row that is already there), which trying
  // again cannot mend, unlike a full disk or a lock.
  bool failedOnConstraint() const;

 private:
  friend class Statement;
  // One call into SQLite: takes the connection's fork pass unless it holds one, and lets it go
  // afterwards unless a transaction or a read is still open.
  class Call;

  explicit Connection(sqlite3* db) : db_(db) {}
  static std::unique_ptr<Connection> open(const std::string& path, int flags, std::string& failure);
  static int onBusy(void* self, int attempts);
  // Keeps the message and code of the call that just failed.
  void noteFailure();

  sqlite3* const db_;
  LockWait lockWait_;
  std::string lastFailure_ = "not an error";
  int lastFailureCode_ = 0;
  mutable std::optional<ForkPass> pass_;
  int steppingStatements_ = 0;  // stepped to a row and not yet reset or finished
};

class Connection::Call {
 public:
  explicit Call(const Connection* connection);  // null: an empty statement, nothing to hold
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

 private:
  const Connection* connection_;
};

}  // namespace tavrel_mmp::platform::sqlite
