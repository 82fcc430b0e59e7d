#include "events/event_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <thread>

#include "core/logger.h"
#include "session/storage_helper.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/manual_loop.h"
#include "tavrel_mmp/platform/secure_random.h"

namespace tavrel_mmp {
namespace {

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

class EventDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installIsolatedPlatform(dir_.path());
    platform::installClock(clock_);
    EventData::resetPredecessorChainForTesting();
    Logger::setDevMode(true);
  }
  void TearDown() override { Logger::setDevMode(false); }

  testing::TempDir dir_;
  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
};

TEST_F(EventDataTest, IdentifierAndTimeComeFromOneMillisecondStamp) {
  platform::installSecureRandom(std::make_shared<CountingRandom>());
  clock_->set(1700000000.9876);  // 1700000000987 ms = 0x18bcfe56bdb
  auto first = EventData::makeEvent("e", "s1", true, json{{"price", 9.5}});
  auto second = EventData::makeEvent("e", "s1", false, std::nullopt);
  EXPECT_EQ(first->id, "18bcfe56bdb1");
  EXPECT_EQ(second->id, "18bcfe56bdb2");
  EXPECT_EQ(first->time, 1700000000);
  EXPECT_EQ(first->data, "{\"price\":9.5}");
  EXPECT_EQ(second->data, "{}");
  EXPECT_TRUE(first->realtime);
  EXPECT_EQ(first->sessionId, "s1");
}

TEST_F(EventDataTest, EventsOfOneMillisecondGetDistinctIdentifiers) {
  std::set<std::string> ids;
  for (int i = 0; i < 200; ++i) {
    auto event = EventData::makeEvent("e", "", false, std::nullopt);
    EXPECT_EQ(event->time, 1700000000);
    EXPECT_EQ(event->id.find_first_not_of("0123456789abcdef"), std::string::npos) << event->id;
    ids.insert(event->id);
  }
  EXPECT_EQ(ids.size(), 200u);
}

TEST_F(EventDataTest, ScreenViewsAndProductListsStayOutOfThePredecessorChain) {
  auto a = EventData::makeEvent("A", "", false, std::nullopt);
  auto s = EventData::makeEvent("tvr_mmp_screen_view", "", false, std::nullopt);
  auto p = EventData::makeEvent("tvr_mmp_products", "", false, std::nullopt);
  auto b = EventData::makeEvent("B", "", false, std::nullopt);
  auto lookalike = EventData::makeEvent("TVR_MMP_SCREEN_VIEW", "", false, std::nullopt);
  EXPECT_EQ(a->preEvent, "");
  EXPECT_EQ(s->preEvent, "");
  EXPECT_EQ(p->preEvent, "");
  EXPECT_EQ(b->preEvent, a->id);
  EXPECT_EQ(lookalike->preEvent, b->id);
  EXPECT_EQ(EventData::savedPreEvent(), lookalike->id);

  EventData::resetPredecessorChainForTesting();  // as a new process
  EXPECT_EQ(EventData::makeEvent("C", "", false, std::nullopt)->preEvent, "");
}

TEST_F(EventDataTest, ConcurrentEventsFormOneUnbrokenChain) {
  constexpr int kThreads = 8, kEach = 250;
  std::vector<std::vector<std::shared_ptr<EventData>>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) made[t].push_back(EventData::makeEvent("e", "", false, {}));
    });
  }
  for (auto& thread : threads) thread.join();

  std::map<std::string, std::string> predecessorOf;
  std::map<std::string, int> takenAsPredecessor;
  for (auto& list : made) {
    for (auto& event : list) {
      predecessorOf[event->id] = event->preEvent;
      ++takenAsPredecessor[event->preEvent];
    }
  }
  // Walking back from the head must visit every event exactly once.
  std::string cursor = EventData::savedPreEvent();
  std::size_t walked = 0;
  while (!cursor.empty() && walked <= predecessorOf.size()) {
    cursor = predecessorOf.at(cursor);
    ++walked;
  }
  EXPECT_EQ(walked, std::size_t{kThreads * kEach});
  for (auto& [id, count] : takenAsPredecessor) EXPECT_EQ(count, 1) << id;
}

TEST_F(EventDataTest, ToJsonStringWritesCompactObjectsAndEmptyForNothing) {
  std::string out = captureStdout([] {
    EXPECT_EQ(EventData::toJsonString(std::nullopt), "{}");
    EXPECT_EQ(EventData::toJsonString(json::object()), "{}");
    EXPECT_EQ(EventData::toJsonString(json()), "{}");
    EXPECT_EQ(EventData::toJsonString(json{{"a", {1, "x", nullptr, json{{"b", true}}}}}),
              R"({"a":[1,"x",null,{"b":true}]})");
  });
  EXPECT_EQ(out, "");
}

TEST_F(EventDataTest, ToJsonStringRefusesWhatJsonCannotRepresent) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<json> bad = {
      json{{"v", nan}},
      json{{"v", {1, json{{"deep", -inf}}}}},
      json{{"bad\xff key", 1}},
      json{{"k", "bad\xc3 value"}},
      json{{"k", json::binary({1, 2, 3})}},
      json::array({1, 2}),
      json("text"),
  };
  for (const auto& value : bad) {
    std::string result;
    std::string out = captureStdout([&] { result = EventData::toJsonString(value); });
    EXPECT_EQ(result, "{}");
    EXPECT_EQ(out.rfind("MMP: Error converting dictionary to JSON string: ", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  }
}

TEST_F(EventDataTest, JsonStringToDictAcceptsObjectsOnly) {
  std::string out = captureStdout([] {
    EXPECT_EQ(EventData::jsonStringToDict(R"({"a":1})"), json({{"a", 1}}));
    EXPECT_EQ(EventData::jsonStringToDict("[1,2]"), std::nullopt);
  });
  EXPECT_EQ(out, "");
  out = captureStdout([] { EXPECT_EQ(EventData::jsonStringToDict("{oops"), std::nullopt); });
  EXPECT_EQ(out.rfind("MMP: Error converting JSON string to dictionary: ", 0), 0u) << out;
}

TEST_F(EventDataTest, UploadShapeListsEachPropertyAsKeyValuePair) {
  auto event = EventData::makeEvent("purchase", "s1", false,
                                    json{{"price", 9.5}, {"tags", json::array({"a"})}});
  json shape = EventData::convertToDictionary(*event);
  EXPECT_EQ(shape.size(), 7u);
  EXPECT_EQ(shape["id"], event->id);
  EXPECT_EQ(shape["key"], "purchase");
  EXPECT_TRUE(shape["time"].is_number_integer());
  EXPECT_EQ(shape["time"], event->time);
  EXPECT_EQ(shape["sessionId"], "s1");
  EXPECT_EQ(shape["realtime"], false);
  EXPECT_EQ(shape["preEvent"], "");
  std::multiset<std::string> entries;
  for (auto& entry : shape["data"]) {
    EXPECT_EQ(entry.size(), 2u);
    entries.insert(entry.dump());
  }
  EXPECT_EQ(entries, (std::multiset<std::string>{R"({"key":"price","value":9.5})",
                                                 R"({"key":"tags","value":["a"]})"}));

  EXPECT_EQ(EventData::convertToDictionary(EventData("i", "k", 1, "s", false))["data"],
            json::array());
  EXPECT_EQ(EventData::convertToDictionary(EventData("i", "k", 1, "s", false, "[1,2]"))["data"],
            json::array());
}

TEST_F(EventDataTest, EmptySessionIdTakesTheSessionStoredAtConversion) {
  EventData anonymous("i", "k", 1, "", false);
  EventData own("j", "k", 1, "s1", false);
  EXPECT_EQ(EventData::convertToDictionary(anonymous)["sessionId"], "");
  StorageHelper::shared().saveAuthData(testing::bytes(
      R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s2","token":"t",)"
      R"("sessionExpireTimeInSeconds":3600}})"));
  EXPECT_EQ(EventData::convertToDictionary(anonymous)["sessionId"], "s2");
  EXPECT_EQ(EventData::convertToDictionary(own)["sessionId"], "s1");
}

}  // namespace
}  // namespace tavrel_mmp
