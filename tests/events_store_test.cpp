// Event records (identifier, predecessor chain, payload text, upload shape) and the SQLite store
// behind its journal.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "events/database_helper.h"
#include "events/event_data.h"
#include "support/test_support.h"

namespace tavrel_mmp {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::captureLog;

std::shared_ptr<EventData> row(const std::string& id, std::int64_t time) {
  return std::make_shared<EventData>(id, "key-" + id, time, "s-" + id, false, "{}", "pre-" + id);
}

std::vector<std::string> ids(const std::optional<EventList>& events) {
  std::vector<std::string> out;
  for (auto& event : events.value_or(EventList{})) out.push_back(event->id);
  return out;
}

class EventStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::installIsolatedPlatform(dir_.path()); }
  testing::TempDir dir_;
  std::string path_ = dir_.path() + "/events.sqlite3";
  // The test's thread is the library's: it runs the drains the store asks for.
  testing::ManualTime time_ = testing::installManualTime();
  std::shared_ptr<testing::ManualClock> clock_ = time_.clock;
};

TEST_F(EventStoreTest, PayloadTextRefusesWhatJsonCannotCarry) {
  EXPECT_EQ(EventData::toJsonString(PropertyDictionary()), "{}");
  EXPECT_EQ(EventData::toJsonString(json{{"a", {1, "x", nullptr}}}), R"({"a":[1,"x",null]})");
  // Built and handed over without copies: copying nests as deeply as the value does.
  json deep = json::object();
  json* cursor = &deep;
  for (int i = 0; i < 100'000; ++i) cursor = &((*cursor)["d"] = json::object());
  std::vector<json> refused = {json{{"v", std::numeric_limits<double>::quiet_NaN()}},
                               json{{"bad\xff key", 1}}, json{{"k", json::binary({1, 2})}},
                               json::array({1, 2})};
  refused.push_back(std::move(deep));
  for (const auto& value : refused) {
    std::string result;
    const std::string out = captureLog([&] { result = EventData::toJsonString(value); });
    EXPECT_EQ(result, "{}");
    EXPECT_EQ(out.rfind("MMP: Error converting dictionary to JSON string: ", 0), 0u) << out;
  }
}

TEST_F(EventStoreTest, OldestFirstExactRemovalAndDuplicates) {
  DatabaseHelper store(path_);
  EventList all;
  for (int i = 0; i < 120; ++i) all.push_back(row("e" + std::to_string(i), 1000 - i));
  for (auto& event : all) store.addEvent(*event);
  EXPECT_EQ(ids(store.getEvents(3)), (std::vector<std::string>{"e119", "e118", "e117"}));
  EXPECT_EQ(store.getEvents(0)->size(), 10u);
  EXPECT_EQ(store.getEvents(-5)->size(), 10u);
  const auto first = store.getEvents(1)->front();
  EXPECT_EQ(first->key + " " + first->preEvent, "key-e119 pre-e119");
  store.addEvent(*row("e0", 5));  // an identifier stored already is stored once
  store.removeEvents(EventList(all.begin(), all.begin() + 110));  // above one statement's worth
  store.removeEvents({row("never-stored", 1)});
  EXPECT_EQ(store.getEvents(500)->size(), 10u);
  // The file and its journal are the user's alone.
  struct stat info {};
  for (const char* suffix : {"", "-wal"}) {
    ASSERT_EQ(::stat((path_ + suffix).c_str(), &info), 0) << suffix;
    EXPECT_EQ(info.st_mode & 0777, 0600u) << suffix;
  }
}

TEST_F(EventStoreTest, AFileThatIsNotADatabaseIsSetAsideAndTheStoreRecovers) {
  { std::ofstream(path_) << std::string(8192, 'x'); }
  DatabaseHelper store(path_);
  store.addEvent(*row("a", 1));
  EXPECT_EQ(ids(store.getEvents(10)), std::vector<std::string>{"a"});
  bool keptAside = false;
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    keptAside |= entry.path().filename().string().starts_with("events.sqlite3.damaged-") &&
                 fs::file_size(entry.path()) == 8192u;
  }
  EXPECT_TRUE(keptAside);
}

TEST_F(EventStoreTest, EventsWaitInMemoryWhileNothingCanBeWritten) {
  const std::string blocked = dir_.path() + "/blocked";
  { std::ofstream(blocked) << "a file where the folder should be"; }
  DatabaseHelper store(blocked + "/events.sqlite3");
  std::string out = captureLog([&] {
    for (std::size_t i = 0; i <= DatabaseHelper::kMemoryQueueLimit; ++i)
      store.addEvent(*row("q" + std::to_string(i), static_cast<std::int64_t>(i)));
  });
  EXPECT_NE(out.find("The event journal cannot be written; events wait in memory"),
            std::string::npos);
  EXPECT_NE(out.find("the oldest was dropped"), std::string::npos);
  EXPECT_FALSE(store.getEvents(10));

  fs::remove(blocked);  // the obstacle goes away
  fs::create_directory(blocked);
  EXPECT_FALSE(store.isUsable()) << "retried within a second";
  clock_->advance(DatabaseHelper::kReopenIntervalSeconds);
  store.addEvent(*row("later", 1'000'000));  // the journal takes events again
  const auto kept = ids(store.getEvents(100'000));
  ASSERT_EQ(kept.size(), DatabaseHelper::kMemoryQueueLimit + 1);
  EXPECT_EQ(kept.front(), "q1");
  EXPECT_EQ(kept.back(), "later");
}

TEST_F(EventStoreTest, PastTheCapsTheOldestAreSetAsideThenDeletedAndNeverSilently) {
  DatabaseHelper store(path_, {.maxEvents = 10, .maxSetAside = 5, .capCheckEvery = 1});
  // Recorded out of order: "oldest" is by time.
  for (int i : {3, 1, 14, 2, 5, 4, 13, 6, 12, 7, 11, 8, 10, 9}) {
    store.addEvent(*row("e" + std::to_string(i), i));
  }
  std::string out = captureLog([&] { store.enforceCaps(); });
  EXPECT_EQ(out, "MMP: The event store held more than 10 events: the oldest 4 were set aside\n");
  const auto asideIds = [&] {
    std::vector<std::string> out;
    for (const auto& aside : store.setAsideEvents()) out.push_back(aside.event->id);
    return out;
  };
  EXPECT_EQ(asideIds(), (std::vector<std::string>{"e1", "e2", "e3", "e4"}));
  const auto first = store.setAsideEvents().front();
  EXPECT_EQ(first.event->key + " " + first.event->preEvent + " " + first.reason,
            "key-e1 pre-e1 over the cap of 10 events");
  EXPECT_EQ(store.getEvents(100)->size(), 10u);

  for (int i = 15; i <= 18; ++i) store.addEvent(*row("e" + std::to_string(i), i));
  out = captureLog([&] { store.enforceCaps(); });
  EXPECT_NE(out.find("the oldest 4 were set aside"), std::string::npos) << out;
  EXPECT_NE(out.find("More than 5 events were set aside: the 3 set aside longest ago were deleted"),
            std::string::npos)
      << out;
  EXPECT_EQ(asideIds(), (std::vector<std::string>{"e4", "e5", "e6", "e7", "e8"}));
  EXPECT_EQ(ids(store.getEvents(1)), std::vector<std::string>{"e9"});

  store.removeAll();  // forgetting the device forgets what was set aside too
  EXPECT_TRUE(store.setAsideEvents().empty());
}

// The refusal counts live in the file, added to one written before they existed.
TEST_F(EventStoreTest, RefusalCountsSurviveARestartOfAnOlderFile) {
  sqlite3* old = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &old), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(old,
                         "CREATE TABLE \"EventData\" (\"id\" TEXT NOT NULL, \"key\" TEXT NOT "
                         "NULL, \"time\" INTEGER NOT NULL, \"sessionId\" TEXT NOT NULL, "
                         "\"realtime\" BOOLEAN NOT NULL, \"data\" TEXT NOT NULL, \"preEvent\" "
                         "TEXT NOT NULL, PRIMARY KEY(\"id\"));"
                         "INSERT INTO \"EventData\" VALUES ('a', 'k', 1, 's', 0, '{}', '')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(old);
  const EventList batch{row("a", 1), row("b", 2)};
  {
    DatabaseHelper store(path_);
    store.addEvent(*batch[1]);
    store.drain();
    ASSERT_TRUE(store.noteRefusal(batch, 1000));
    ASSERT_TRUE(store.noteRefusal(batch, 990));  // the wall clock went back
  }
  DatabaseHelper store(path_);
  const auto histories = store.noteRefusal(batch, 1200);
  ASSERT_TRUE(histories);
  EXPECT_EQ(histories->at("a").count, 3);
  EXPECT_EQ(histories->at("a").firstAt, 990);
  EXPECT_EQ(histories->at("b").count, 3);
  EXPECT_TRUE(store.setAside(*batch[0], "400 Bad"));
  EXPECT_FALSE(store.setAside(*batch[0], "400 Bad")) << "moved once only";
  EXPECT_EQ(ids(store.getEvents(10)), std::vector<std::string>{"b"});
  ASSERT_EQ(store.setAsideEvents().size(), 1u);
  EXPECT_EQ(store.setAsideEvents()[0].event->key, "k");
}

// A full file keeps events in the journal; they are written once room returns, with no attempt
// more than once a second meanwhile. One delivered meanwhile (a real-time upload, accepted before
// its row could reach the file) is never written there.
TEST_F(EventStoreTest, AFullFileKeepsEventsInTheJournalUntilThereIsRoom) {
  DatabaseHelper store(path_, {.maxFileBytes = 64 * 1024});
  const auto heavy = [](int i) {
    return std::make_shared<EventData>("h" + std::to_string(1000 + i), "heavy", i, "s", false,
                                       "{\"pad\":\"" + std::string(1500, 'x') + "\"}", "");
  };
  std::size_t stored = 0;
  int next = 0;
  std::string out;
  while (true) {
    out = captureLog([&] {
      store.addEvent(*heavy(next++));
      store.drain();
    });
    const std::size_t now = store.getEvents(1000)->size();
    if (now == stored) break;
    stored = now;
    ASSERT_LT(next, 100) << "the file never filled";
  }
  EXPECT_NE(out.find("The recorded events wait for the next write to the event store: database "
                     "or disk is full"),
            std::string::npos)
      << out;
  out = captureLog([&] {
    for (int i = 0; i < 2; ++i) store.addEvent(*heavy(next++));
    store.drain();
  });
  EXPECT_EQ(out, "") << "no new attempt within the second";

  store.removeEvents({heavy(next - 1)});       // delivered on its own before it reached the file
  store.removeEvents(*store.getEvents(1000));  // an upload makes room
  clock_->advance(DatabaseHelper::kReopenIntervalSeconds);
  EXPECT_EQ(ids(store.getEvents(1000)),
            (std::vector<std::string>{"h" + std::to_string(1000 + next - 3),
                                      "h" + std::to_string(1000 + next - 2)}));
}

}  // namespace
}  // namespace tavrel_mmp
