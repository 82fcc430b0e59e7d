// The Linux preferences store: a table "Preferences" in a SQLite file of its own.
#include <sqlite3.h>

#include <map>
#include <mutex>

#include "core/logger.h"
#include "platform/sqlite_database.h"
#include "tavrel_mmp/platform/preferences_store.h"

namespace tavrel_mmp::platform {
namespace {

constexpr const char* kCreate =
    "CREATE TABLE IF NOT EXISTS \"Preferences\" (\"key\" TEXT PRIMARY KEY NOT NULL, "
    "\"kind\" INTEGER NOT NULL, \"value\" BLOB NOT NULL)";
constexpr const char* kSelectAll = "SELECT \"key\", \"kind\", \"value\" FROM \"Preferences\"";
constexpr const char* kUpsert =
    "INSERT OR REPLACE INTO \"Preferences\" (\"key\", \"kind\", \"value\") VALUES (?, ?, ?)";
constexpr const char* kDelete = "DELETE FROM \"Preferences\" WHERE \"key\" = ?";
constexpr int kText = 0;
constexpr int kBytes = 1;

using Change = std::optional<PreferenceValue>;  // none: removed

struct Statement {
  sqlite3_stmt* handle = nullptr;
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &handle, nullptr); }
  ~Statement() { sqlite3_finalize(handle); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
};

class SqlitePreferencesStore : public PreferencesStore {
 public:
  explicit SqlitePreferencesStore(std::string path) : path_(std::move(path)) {}
  ~SqlitePreferencesStore() override { sqlite3_close(db_); }

  std::optional<PreferenceValue> value(const std::string& key) override {
    std::lock_guard<std::mutex> lock(mutex_);
    openLocked();
    const auto found = entries_.find(key);
    if (found == entries_.end()) return std::nullopt;
    return found->second;
  }

  void setText(const std::string& key, const std::string& value) override { change(key, value); }
  void setBytes(const std::string& key, const std::vector<std::uint8_t>& value) override {
    change(key, value);
  }
  void remove(const std::string& key) override { change(key, std::nullopt); }

  bool flush() override {
    std::lock_guard<std::mutex> lock(mutex_);
    openLocked();
    if (db_ == nullptr) return false;
    if (!writeUnsavedLocked()) return false;
    // Moves the write-ahead log into the database file with both synced.
    const int rc =
        sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_FULL, nullptr, nullptr);
    return rc == SQLITE_OK;
  }

 private:
  void change(const std::string& key, Change value) {
    std::lock_guard<std::mutex> lock(mutex_);
    openLocked();
    if (value) {
      entries_[key] = *value;
    } else {
      entries_.erase(key);
    }
    unsaved_[key] = std::move(value);
    if (db_ != nullptr) writeUnsavedLocked();
  }

  // Opens and reads the file unless that is done; on failure nothing is latched.
  void openLocked() {
    if (db_ != nullptr || path_.empty()) return;
    std::string failure;
    sqlite3* db = openPrivateDatabase(path_, failure);
    std::map<std::string, PreferenceValue> stored;
    if (db != nullptr && !readAll(db, stored, failure)) {
      sqlite3_close(db);
      db = nullptr;
    }
    if (db == nullptr) {
      if (!reportedFailure_) Logger::log("Cannot read the preferences " + path_ + ": " + failure);
      reportedFailure_ = true;
      return;
    }
    reportedFailure_ = false;
    db_ = db;
    // Changes made while the file could not be read are newer than what it holds.
    for (auto& [key, value] : unsaved_) {
      if (value) {
        stored[key] = *value;
      } else {
        stored.erase(key);
      }
    }
    entries_ = std::move(stored);
    writeUnsavedLocked();
  }

  static bool readAll(sqlite3* db, std::map<std::string, PreferenceValue>& out,
                      std::string& failure) {
    if (sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr) != SQLITE_OK) {
      failure = sqlite3_errmsg(db);
      return false;
    }
    Statement select(db, kSelectAll);
    int rc;
    while ((rc = sqlite3_step(select.handle)) == SQLITE_ROW) {
      const auto* key = reinterpret_cast<const char*>(sqlite3_column_text(select.handle, 0));
      const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(select.handle, 2));
      const auto size = static_cast<std::size_t>(sqlite3_column_bytes(select.handle, 2));
      if (key == nullptr) continue;
      if (sqlite3_column_int(select.handle, 1) == kBytes) {
        out[key] = std::vector<std::uint8_t>(data, data + (data ? size : 0));
      } else {
        out[key] = std::string(reinterpret_cast<const char*>(data), data ? size : 0);
      }
    }
    if (rc != SQLITE_DONE) {
      failure = sqlite3_errmsg(db);
      return false;
    }
    return true;
  }

  // One transaction for everything not yet written; kept for a later attempt when it fails.
  bool writeUnsavedLocked() {
    if (unsaved_.empty()) return true;
    bool ok = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    {
      Statement upsert(db_, kUpsert);
      Statement erase(db_, kDelete);
      for (auto it = unsaved_.begin(); ok && it != unsaved_.end(); ++it) {
        const auto& [key, value] = *it;
        sqlite3_stmt* statement = value ? upsert.handle : erase.handle;
        sqlite3_reset(statement);
        sqlite3_bind_text64(statement, 1, key.data(), key.size(), SQLITE_STATIC, SQLITE_UTF8);
        if (value) {
          if (const auto* text = std::get_if<std::string>(&*value)) {
            sqlite3_bind_int(statement, 2, kText);
            sqlite3_bind_blob64(statement, 3, text->data(), text->size(), SQLITE_STATIC);
          } else {
            const auto& bytes = std::get<std::vector<std::uint8_t>>(*value);
            sqlite3_bind_int(statement, 2, kBytes);
            sqlite3_bind_blob64(statement, 3, bytes.data(), bytes.size(), SQLITE_STATIC);
          }
        }
        ok = sqlite3_step(statement) == SQLITE_DONE;
      }
    }
    if (ok) ok = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok) {
      Logger::log("Cannot write the preferences " + path_ + ": " + sqlite3_errmsg(db_));
      if (sqlite3_get_autocommit(db_) == 0)
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return false;
    }
    unsaved_.clear();
    return true;
  }

  const std::string path_;
  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  bool reportedFailure_ = false;
  std::map<std::string, PreferenceValue> entries_;
  std::map<std::string, Change> unsaved_;
};

}  // namespace

std::shared_ptr<PreferencesStore> makeSqlitePreferencesStore(std::string path) {
  return std::make_shared<SqlitePreferencesStore>(std::move(path));
}

}  // namespace tavrel_mmp::platform
