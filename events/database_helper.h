#pragma once

#include <memory>
#include <optional>
#include <string>

#include "events/event_data.h"

struct sqlite3;

namespace tavrel_mmp {

// The local event store: one SQLite file "<documents>/tavrel_mmp_1.sqlite3", table "EventData".
class DatabaseHelper {
 public:
  // Opens the store on first use (initDb, then createTable); never destroyed.
  static DatabaseHelper& shared();

  void addEvent(const EventData& event);
  // At most `limit` records (10 when limit <= 0), oldest "time" first; none when unusable or the
  // read fails.
  std::optional<EventList> getEvents(int limit);
  void removeEvents(const EventList& events);

  bool isUsable() const;

  // Tests only: a store on an explicit path, independent of the shared one.
  static std::unique_ptr<DatabaseHelper> openForTesting(const std::string& path);
  // Tests only: a store at the documents directory's path, opened as `shared()` opens it.
  static std::unique_ptr<DatabaseHelper> openAtDocumentsForTesting();
  ~DatabaseHelper();

 private:
  explicit DatabaseHelper(const std::optional<std::string>& path);
  void initDb(const std::optional<std::string>& path);
  void createTable();

  struct Statements;
  sqlite3* dbQueue_ = nullptr;
  std::unique_ptr<Statements> statements_;
};

}  // namespace tavrel_mmp
