#include "events/database_helper.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/logger.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/documents_directory.h"

namespace tavrel_mmp {
namespace {

using testing::captureStdout;

std::shared_ptr<EventData> row(const std::string& id, std::int64_t time, bool realtime = false) {
  return std::make_shared<EventData>(id, "key-" + id, time, "s-" + id, realtime,
                                     "{\"n\":" + std::to_string(time) + "}", "pre-" + id);
}

std::vector<std::string> ids(const std::optional<EventList>& events) {
  std::vector<std::string> out;
  if (events)
    for (auto& event : *events) out.push_back(event->id);
  return out;
}

void execute(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << error;
  sqlite3_free(error);
  sqlite3_close(db);
}

class DatabaseHelperTest : public ::testing::Test {
 protected:
  void SetUp() override { Logger::setDevMode(true); }
  void TearDown() override { Logger::setDevMode(false); }

  void expectUnusable(DatabaseHelper& store) {
    EXPECT_FALSE(store.isUsable());
    std::string out = captureStdout([&] {
      store.addEvent(*row("a", 1));
      EXPECT_EQ(store.getEvents(10), std::nullopt);
      store.removeEvents({row("a", 1)});
    });
    EXPECT_EQ(out, "");
  }

  testing::TempDir dir_;
  std::string path_ = dir_.path() + "/events.sqlite3";
};

TEST_F(DatabaseHelperTest, ReturnsOldestFirstWithEveryFieldIntact) {
  auto store = DatabaseHelper::openForTesting(path_);
  ASSERT_TRUE(store->isUsable());
  store->addEvent(*row("b", 5, true));
  store->addEvent(*row("a", 3));
  store->addEvent(*row("c", 9));
  auto events = store->getEvents(50);
  EXPECT_EQ(ids(events), (std::vector<std::string>{"a", "b", "c"}));
  const EventData& b = *(*events)[1];
  EXPECT_EQ(b.key, "key-b");
  EXPECT_EQ(b.time, 5);
  EXPECT_EQ(b.sessionId, "s-b");
  EXPECT_TRUE(b.realtime);
  EXPECT_FALSE((*events)[0]->realtime);
  EXPECT_EQ(b.data, "{\"n\":5}");
  EXPECT_EQ(b.preEvent, "pre-b");
}

TEST_F(DatabaseHelperTest, LimitDefaultsToTenAndEqualTimesKeepRecordingOrder) {
  auto store = DatabaseHelper::openForTesting(path_);
  std::vector<std::string> recorded;
  for (int i = 0; i < 15; ++i) {
    recorded.push_back("z" + std::to_string(100 - i));  // ids sort opposite to recording order
    store->addEvent(*row(recorded.back(), 7));
  }
  EXPECT_EQ(store->getEvents(0)->size(), 10u);
  EXPECT_EQ(store->getEvents(-5)->size(), 10u);
  EXPECT_EQ(ids(store->getEvents(50)), recorded);
}

TEST_F(DatabaseHelperTest, RemovesExactlyTheGivenRecordsAndIgnoresUnknownOnes) {
  auto store = DatabaseHelper::openForTesting(path_);
  EventList all;
  for (int i = 0; i < 130; ++i) {
    all.push_back(row("e" + std::to_string(i), i));
    store->addEvent(*all.back());
  }
  std::string out = captureStdout([&] {
    store->removeEvents({all[0], all[2], row("unknown", 1)});
    store->removeEvents({row("gone", 1)});
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(ids(store->getEvents(3)), (std::vector<std::string>{"e1", "e3", "e4"}));
  store->removeEvents(all);  // more than one statement's worth of identifiers
  EXPECT_EQ(store->getEvents(500)->size(), 0u);
}

TEST_F(DatabaseHelperTest, DuplicateIdentifierIsReportedAndFirstRowKept) {
  auto store = DatabaseHelper::openForTesting(path_);
  store->addEvent(*row("a", 1));
  std::string out = captureStdout([&] { store->addEvent(*row("a", 2)); });
  EXPECT_EQ(out, "MMP: UNIQUE constraint failed: EventData.id\n");
  auto events = store->getEvents(10);
  ASSERT_EQ(events->size(), 1u);
  EXPECT_EQ((*events)[0]->time, 1);
}

TEST_F(DatabaseHelperTest, ReopeningKeepsPendingRowsAndTheDeclaredSchema) {
  DatabaseHelper::openForTesting(path_)->addEvent(*row("a", 1));
  std::unique_ptr<DatabaseHelper> reopened;
  EXPECT_EQ(captureStdout([&] { reopened = DatabaseHelper::openForTesting(path_); }), "");
  EXPECT_EQ(ids(reopened->getEvents(10)), std::vector<std::string>{"a"});

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* info = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA table_info(\"EventData\")", -1, &info, nullptr);
  std::string columns;
  while (sqlite3_step(info) == SQLITE_ROW) {
    columns += std::string(reinterpret_cast<const char*>(sqlite3_column_text(info, 1))) + " " +
               reinterpret_cast<const char*>(sqlite3_column_text(info, 2)) +
               (sqlite3_column_int(info, 3) ? " NN" : "") +
               (sqlite3_column_int(info, 5) ? " PK" : "") + ";";
  }
  sqlite3_finalize(info);
  sqlite3_close(db);
  EXPECT_EQ(columns,
            "id TEXT NN PK;key TEXT NN;time INTEGER NN;sessionId TEXT NN;realtime BOOLEAN NN;"
            "data TEXT NN;preEvent TEXT NN;");
}

TEST_F(DatabaseHelperTest, FileThatIsNotADatabaseLeavesStoreUnusable) {
  std::ofstream(path_) << std::string(8192, 'x');
  auto store = DatabaseHelper::openForTesting(path_);
  expectUnusable(*store);
  EXPECT_EQ(std::filesystem::file_size(path_), 8192u);
}

TEST_F(DatabaseHelperTest, UnplaceableFileLeavesStoreUnusable) {
  std::ofstream(dir_.path() + "/plain") << "not a directory";
  expectUnusable(*DatabaseHelper::openForTesting(dir_.path() + "/plain/events.sqlite3"));

  platform::installDocumentsDirectory(platform::makeFixedDocumentsDirectory(std::nullopt));
  expectUnusable(*DatabaseHelper::openAtDocumentsForTesting());

  if (::geteuid() == 0) return;  // permissions do not stop root
  const std::string locked = dir_.path() + "/locked";
  std::filesystem::create_directory(locked);
  ::chmod(locked.c_str(), 0500);
  expectUnusable(*DatabaseHelper::openForTesting(locked + "/events.sqlite3"));
  ::chmod(locked.c_str(), 0700);
}

TEST_F(DatabaseHelperTest, DocumentsStoreLivesInItsNamedFile) {
  platform::installDocumentsDirectory(platform::makeFixedDocumentsDirectory(dir_.path()));
  DatabaseHelper::openAtDocumentsForTesting()->addEvent(*row("a", 1));
  EXPECT_EQ(
      ids(DatabaseHelper::openForTesting(dir_.path() + "/tavrel_mmp_1.sqlite3")->getEvents(5)),
      std::vector<std::string>{"a"});
}

TEST_F(DatabaseHelperTest, OddlyTypedRowsReadBackWithoutHarm) {
  DatabaseHelper::openForTesting(path_);
  execute(path_,
          "INSERT INTO EventData VALUES (X'61FF00', CAST(X'FFFE' AS TEXT), 'soon', 42, 'yes', "
          "X'00', 7.5)");
  auto events = DatabaseHelper::openForTesting(path_)->getEvents(10);
  ASSERT_TRUE(events.has_value());
  ASSERT_EQ(events->size(), 1u);
  const EventData& odd = *(*events)[0];
  EXPECT_EQ(odd.id, std::string("a\xff\0", 3));
  EXPECT_EQ(odd.key, "\xff\xfe");
  EXPECT_EQ(odd.time, 0);
  EXPECT_FALSE(odd.realtime);
  EXPECT_EQ(odd.sessionId, "42");
  EXPECT_EQ(odd.data, std::string(1, '\0'));
  EXPECT_EQ(odd.preEvent, "7.5");
}

}  // namespace
}  // namespace tavrel_mmp
