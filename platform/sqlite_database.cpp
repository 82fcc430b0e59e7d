#include "platform/sqlite_database.h"

#include <sqlite3.h>

#include <cstdio>
#include <ctime>

#include "core/logger.h"
#include "platform/private_files.h"

namespace tavrel_mmp::platform {
namespace {

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

sqlite3* openOnce(const std::string& path, std::string& failure, Probe& outcome) {
  outcome = Probe::failed;
  const auto slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !makePrivateDirectories(path.substr(0, slash))) {
    failure = "cannot create the folder of " + path;
    return nullptr;
  }
  if (!ensurePrivateFile(path)) {
    failure = "cannot create " + path + " as a private regular file";
    return nullptr;
  }
  sqlite3* db = nullptr;
  const int flags =
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    failure = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  outcome = probe(db, failure);
  if (outcome != Probe::usable) {
    sqlite3_close(db);
    return nullptr;
  }
  // Switching a new file to WAL would sync it several times over; there is nothing in it to
  // protect yet, so the switch itself runs unsynced.
  sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  return db;
}

}  // namespace

sqlite3* openPrivateDatabase(const std::string& path, std::string& failure) {
  Probe outcome;
  sqlite3* db = openOnce(path, failure, outcome);
  if (db == nullptr && outcome == Probe::notADatabase) {
    setAside(path);
    db = openOnce(path, failure, outcome);
  }
  return db;
}

}  // namespace tavrel_mmp::platform
