// Event records (identifier, predecessor chain, payload text, upload shape) and the SQLite store.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "core/logger.h"
#include "events/database_helper.h"
#include "events/event_data.h"
#include "session/storage_helper.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/manual_loop.h"
#include "tavrel_mmp/platform/secure_random.h"

namespace tavrel_mmp {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::captureStdout;

// Hands out 1, 2, 3, ... so identifiers can be predicted exactly.
class CountingRandom : public platform::SecureRandom {
 public:
  void fill(void* buffer, std::size_t size) override {
    std::uint64_t value = next_.fetch_add(1) + 1;
    std::memcpy(buffer, &value, std::min(size, sizeof value));
  }

 private:
  std::atomic<std::uint64_t> next_{0};
};

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
  void SetUp() override {
    testing::installIsolatedPlatform(dir_.path());
    platform::installClock(clock_);
    Logger::setDevMode(true);
  }
  void TearDown() override { Logger::setDevMode(false); }

  testing::TempDir dir_;
  std::string path_ = dir_.path() + "/events.sqlite3";
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
};

TEST_F(EventStoreTest, IdentifiersAndThePredecessorChain) {
  platform::installSecureRandom(std::make_shared<CountingRandom>());
  clock_->set(1700000000.9876);  // 1700000000987 ms = 0x18bcfe56bdb
  auto a = EventData::makeEvent("A", "s1", true, json{{"price", 9.5}});
  auto screen = EventData::makeEvent("tvr_mmp_screen_view", "s1", false, std::nullopt);
  auto products = EventData::makeEvent("tvr_mmp_products", "s1", false, std::nullopt);
  auto b = EventData::makeEvent("B", "s1", false, std::nullopt);
  EXPECT_EQ(a->id, "18bcfe56bdb1");
  EXPECT_EQ(screen->id, "18bcfe56bdb2");
  EXPECT_EQ(a->time, 1700000000);
  EXPECT_EQ(a->data, R"({"price":9.5})");
  EXPECT_EQ(a->preEvent, "");
  EXPECT_EQ(screen->preEvent, "");
  EXPECT_EQ(products->preEvent, "");
  EXPECT_EQ(b->preEvent, a->id);
  EXPECT_EQ(EventData::savedPreEvent(), b->id);
}

TEST_F(EventStoreTest, ConcurrentEventsFormOneUnbrokenChain) {
  constexpr int kThreads = 8, kEach = 250;
  std::vector<EventList> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) made[t].push_back(EventData::makeEvent("e", "", false, {}));
    });
  }
  for (auto& thread : threads) thread.join();
  std::map<std::string, std::string> predecessorOf;
  std::set<std::string> taken;
  for (auto& list : made) {
    for (auto& event : list) {
      predecessorOf[event->id] = event->preEvent;
      EXPECT_TRUE(taken.insert(event->preEvent).second) << "taken twice: " << event->preEvent;
    }
  }
  std::size_t walked = 0;
  for (std::string cursor = EventData::savedPreEvent();
       predecessorOf.count(cursor) != 0 && walked <= 2000; cursor = predecessorOf[cursor]) {
    ++walked;
  }
  EXPECT_EQ(walked, std::size_t{kThreads * kEach});
}

TEST_F(EventStoreTest, PayloadTextRefusesWhatJsonCannotCarry) {
  EXPECT_EQ(EventData::toJsonString(std::nullopt), "{}");
  EXPECT_EQ(EventData::toJsonString(json::object()), "{}");
  EXPECT_EQ(EventData::toJsonString(json{{"a", {1, "x", nullptr}}}), R"({"a":[1,"x",null]})");
  // Built and handed over without copies: copying nests as deeply as the value does.
  std::optional<json> deep = json::object();
  json* cursor = &*deep;
  for (int i = 0; i < 100'000; ++i) cursor = &((*cursor)["d"] = json::object());
  std::vector<std::optional<json>> refused = {
      json{{"v", std::numeric_limits<double>::quiet_NaN()}}, json{{"bad\xff key", 1}},
      json{{"k", json::binary({1, 2})}}, json::array({1, 2})};
  refused.push_back(std::move(deep));
  for (const auto& value : refused) {
    std::string result;
    const std::string out = captureStdout([&] { result = EventData::toJsonString(value); });
    EXPECT_EQ(result, "{}");
    EXPECT_EQ(out.rfind("MMP: Error converting dictionary to JSON string: ", 0), 0u) << out;
  }
}

TEST_F(EventStoreTest, UploadShapeAndTheSessionTakenAtConversion) {
  auto event = EventData::makeEvent("purchase", "", false,
                                    json{{"price", 9.5}, {"tags", json::array({"a"})}});
  json shape = EventData::convertToDictionary(*event);
  EXPECT_EQ(shape.size(), 7u);
  EXPECT_EQ(shape["sessionId"], "");
  std::set<std::string> entries;
  for (auto& entry : shape["data"]) entries.insert(entry.dump());
  EXPECT_EQ(entries, (std::set<std::string>{R"({"key":"price","value":9.5})",
                                            R"({"key":"tags","value":["a"]})"}));
  EXPECT_EQ(EventData::convertToDictionary(EventData("i", "k", 1, "s", false, "[1]"))["data"],
            json::array());
  StorageHelper::shared().saveAuthData(testing::bytes(
      R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s2","token":"t",)"
      R"("sessionExpireTimeInSeconds":3600}})"));
  EXPECT_EQ(EventData::convertToDictionary(*event)["sessionId"], "s2");
  EXPECT_EQ(EventData::convertToDictionary(*row("own", 1))["sessionId"], "s-own");
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
  EXPECT_EQ(first->key, "key-e119");
  EXPECT_EQ(first->preEvent, "pre-e119");
  EXPECT_EQ(captureStdout([&] { store.addEvent(*row("e0", 5)); }),
            "MMP: UNIQUE constraint failed: EventData.id\n");
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
    keptAside |= entry.path().filename().string().rfind("events.sqlite3.damaged-", 0) == 0 &&
                 fs::file_size(entry.path()) == 8192u;
  }
  EXPECT_TRUE(keptAside);
}

TEST_F(EventStoreTest, EventsWaitInMemoryWhileTheFileCannotBeOpened) {
  const std::string blocked = dir_.path() + "/blocked";
  { std::ofstream(blocked) << "a file where the folder should be"; }
  DatabaseHelper store(blocked + "/events.sqlite3");
  std::string out = captureStdout([&] {
    for (std::size_t i = 0; i <= DatabaseHelper::kMemoryQueueLimit; ++i) {
      store.addEvent(*row("q" + std::to_string(i), static_cast<std::int64_t>(i)));
    }
  });
  EXPECT_NE(out.find("the oldest was dropped"), std::string::npos);
  EXPECT_FALSE(store.getEvents(10));

  fs::remove(blocked);  // the obstacle goes away
  EXPECT_FALSE(store.isUsable()) << "retried within a second";
  clock_->advance(DatabaseHelper::kReopenIntervalSeconds);
  ASSERT_TRUE(store.isUsable());
  const auto kept = ids(store.getEvents(100'000));
  ASSERT_EQ(kept.size(), DatabaseHelper::kMemoryQueueLimit);
  EXPECT_EQ(kept.front(), "q1");
}

TEST_F(EventStoreTest, ReopeningKeepsPendingRowsAndOddRowsReadWithoutHarm) {
  DatabaseHelper(path_).addEvent(*row("a", 1));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "INSERT INTO EventData VALUES (X'62FF', 'k', 'soon', 42, 'yes', X'00', 7.5)",
               nullptr, nullptr, nullptr);
  sqlite3_close(db);
  auto events = DatabaseHelper(path_).getEvents(10);
  // Text sorts after every number in SQLite, so the odd row comes last.
  ASSERT_EQ(ids(events), (std::vector<std::string>{"a", "b\xff"}));
  EXPECT_EQ((*events)[1]->time, 0);
  EXPECT_EQ((*events)[1]->sessionId, "42");
}

}  // namespace
}  // namespace tavrel_mmp
