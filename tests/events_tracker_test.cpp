// The tracker and heartbeat against an in-process transport answered by hand, with the main loop
// and clock in the test's hands.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "events/database_helper.h"
#include "events/event_data.h"
#include "events/tracking_event.h"
#include "settings/storage_helper.h"
#include "support/test_support.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;
using testing::captureLog;
using testing::kAccepted;
constexpr const char* kEventLog = "/partner/event/log";
constexpr const char* kHeartbeat = "/partner/online-user/log";

std::vector<std::string> idsOf(const json& body) {
  std::vector<std::string> out;
  for (auto& event : body["events"]) out.push_back(event["id"]);
  return out;
}

class TrackerTest : public testing::OfflineTest {
 protected:
  void SetUp() override {
    OfflineTest::SetUp();
    testing::storeGrantedSession();
  }
  void track(int count, const std::string& prefix = "e") {
    for (int i = 0; i < count; ++i) TrackingEvent::trackEvent(prefix + std::to_string(i), {});
  }
  std::vector<std::size_t> uploads() { return transport_->indexes(kEventLog); }
  json body(std::size_t index) { return transport_->at(index).json(); }
  std::vector<std::string> pending() {
    std::vector<std::string> out;
    for (auto& event : DatabaseHelper::shared().getEvents(10000).value_or(EventList{}))
      out.push_back(event->id);
    return out;
  }
};

TEST_F(TrackerTest, TheTenthEventStartsABatchOnTheMainLoopNotOnTheCallersThread) {
  track(9);
  std::string out = captureLog([&] { TrackingEvent::trackEvent("tenth", {}); });
  EXPECT_NE(out.find("MMP: eventTotalCounter >= syncEventCount\n"), std::string::npos);
  EXPECT_EQ(transport_->count(), 0u) << "the recording thread only stores and signals";
  out = captureLog([&] { loop_->runPending(); });
  EXPECT_NE(out.find("MMP: ----- syncing: 10 events -----\n"), std::string::npos);
  ASSERT_EQ(uploads().size(), 1u);
  const auto sent = transport_->at(uploads()[0]);
  EXPECT_EQ(idsOf(sent.json()), pending());
  EXPECT_EQ(sent.json()["events"][9]["key"], "tenth");
  EXPECT_EQ(sent.json()["events"][0]["sessionId"], "s1");
  EXPECT_EQ(sent.header("Authorization"), "tok");
}

TEST_F(TrackerTest, ABacklogDrainsOneBatchPerTickOldestFirst) {
  for (int age = 1; age <= 119; ++age)
    DatabaseHelper::shared().addEvent(
        EventData("old" + std::to_string(age), "k", 1'700'000'000 - age, "s0", false));
  TrackingEvent::trackEvent("now", {});
  const std::vector<std::string> expected = pending();
  loop_->runPending();
  std::vector<std::string> sent;
  for (std::size_t size : {50u, 50u, 20u}) {
    // Real ticks jitter: this one comes a little early against the previous batch start.
    clock_->advance(0.3);
    loop_->advance(4.7);
    ASSERT_EQ(idsOf(body(uploads().back())).size(), size);
    for (auto& id : idsOf(body(uploads().back()))) sent.push_back(id);
    transport_->respond(uploads().back(), kAccepted);
  }
  EXPECT_EQ(sent, expected);
  const std::string out = captureLog([&] { loop_->advance(5.0); });
  EXPECT_NE(out.find("MMP: time to sync\nMMP: ----- syncing: 0 events -----\n"), std::string::npos);
  EXPECT_EQ(uploads().size(), 3u);
}

TEST_F(TrackerTest, NoEventLeavesTwiceWhileItsUploadIsInFlight) {
  // A real-time event's own upload is in flight when a batch starts: the batch leaves it out.
  TrackingEvent::trackEvent("rt", json{{"nbRealtime", true}});
  loop_->runPending();
  track(10);
  loop_->runPending();
  ASSERT_EQ(uploads().size(), 2u);
  const auto realtimeId = idsOf(body(uploads()[0])).front();
  const auto batch = idsOf(body(uploads()[1]));
  EXPECT_EQ(batch.size(), 10u);
  EXPECT_EQ(std::count(batch.begin(), batch.end(), realtimeId), 0);

  // Events tracked while the batch is in flight wait for its answer, then go out at once.
  track(12, "late");
  loop_->runPending();
  EXPECT_EQ(uploads().size(), 2u);
  transport_->respond(uploads()[1], kAccepted);
  transport_->fail(uploads()[0]);  // the real-time upload failed: a later batch carries it
  TrackingEvent::trackEvent("after", {});
  loop_->runPending();
  ASSERT_EQ(uploads().size(), 3u);
  EXPECT_EQ(idsOf(body(uploads()[2])), pending());
  EXPECT_EQ(idsOf(body(uploads()[2])).size(), 14u);
}

// A session stored or replaced while a batch is built never splits it: the events' session
// identifiers and the token come from one reading of the record.
TEST_F(TrackerTest, BodyAndTokenComeFromOneReadingOfTheSession) {
  const auto granted = [](const std::string& name) {
    return testing::bytes(R"({"responseCode":200,"responseText":"OK","data":{"sessionId":")" +
                          name + R"(","token":")" + name +
                          R"(","sessionExpireTimeInSeconds":60}})");
  };
  StorageHelper::shared().removeAuthData();
  track(50);  // recorded before any session
  std::atomic<bool> running{true};
  std::thread sessions([&] {
    for (int i = 0; running; ++i) StorageHelper::shared().saveAuthData(granted(i % 2 ? "A" : "B"));
  });
  for (int batch = 0; batch < 200; ++batch) {
    loop_->advance(5.0);
    ASSERT_EQ(uploads().size(), std::size_t(batch + 1));
    const auto sent = transport_->at(uploads().back());
    const auto body = sent.json();
    for (const auto& event : body["events"])
      ASSERT_EQ(event["sessionId"], sent.header("Authorization").value_or("")) << "batch " << batch;
    transport_->fail(uploads().back());
  }
  running = false;
  sessions.join();
}

TEST_F(TrackerTest, RealtimeFlagSendsTheEventAloneFromTheMainLoop) {
  const std::vector<std::pair<json, bool>> flags = {
      {true, true},   {"TRUE", true}, {"tRuE", true},   {false, false},
      {"yes", false}, {1, false},     {"true ", false}, {nullptr, false}};
  for (auto& [flag, realtime] : flags) {
    const std::size_t before = uploads().size();
    TrackingEvent::trackEvent("rt", json{{"nbRealtime", flag}, {"x", 1}});
    EXPECT_EQ(uploads().size(), before);
    loop_->runPending();
    ASSERT_EQ(uploads().size(), before + (realtime ? 1 : 0)) << flag;
    if (!realtime) continue;
    const json sent = body(uploads().back())["events"];
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["realtime"], true);
    EXPECT_EQ(sent[0]["data"].size(), 2u);  // the flag itself stays in the data
  }
  EXPECT_EQ(pending().size(), flags.size());

  // Accepted while the drain that moves it into the file still waits: it is neither stored
  // afterwards nor carried by a later batch.
  TrackingEvent::trackEvent("rt_early", json{{"nbRealtime", true}});
  loop_->runPending();
  const std::string early = idsOf(body(uploads().back())).front();
  transport_->respond(uploads().back(), kAccepted);
  loop_->runPending();
  loop_->advance(TrackingEvent::timerPeriod);
  EXPECT_EQ(pending().size(), flags.size());
  int carried = 0;
  for (const std::size_t upload : uploads()) {
    const auto ids = idsOf(body(upload));
    carried += static_cast<int>(std::count(ids.begin(), ids.end(), early));
  }
  EXPECT_EQ(carried, 1);
}

TEST_F(TrackerTest, OneTimerAndTheMinimumGapOnAMonotonicClock) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back([&] { track(3); });
  for (auto& thread : threads) thread.join();
  loop_->runPending();
  EXPECT_EQ(loop_->timerCount(), 1u);
  ASSERT_EQ(uploads().size(), 1u);  // the count batch; the others found it in flight
  transport_->respond(uploads()[0], kAccepted);

  loop_->advance(3.0);
  track(10);  // a count batch 3 s after the timer start
  loop_->runPending();
  transport_->respond(uploads().back(), kAccepted);
  TrackingEvent::trackEvent("late", {});
  loop_->advance(2.0);  // tick 2 s after that batch: too early
  EXPECT_EQ(uploads().size(), 2u);
  // The wall clock is set back an hour: batches and heartbeats keep their rhythm.
  clock_->set(clock_->now() - 3600);
  loop_->advance(5.0);
  EXPECT_EQ(uploads().size(), 3u);
  loop_->advance(20.0);
  EXPECT_EQ(transport_->indexes(kHeartbeat).size(), 1u);
}

TEST_F(TrackerTest, HeartbeatFollowsTheIntervalTheServiceSets) {
  TrackingEvent::trackEvent("start", {});
  loop_->runPending();
  const double start = clock_->monotonic();
  auto offsets = [&] {
    std::vector<double> out;
    for (auto i : transport_->indexes(kHeartbeat)) out.push_back(transport_->at(i).sentAt - start);
    return out;
  };
  auto answerLast = [&](const std::string& data, const std::string& envelope = kAccepted) {
    const std::string answer = envelope.substr(0, envelope.size() - 1) + data + "}";
    return captureLog([&] { transport_->respond(transport_->indexes(kHeartbeat).back(), answer); });
  };
  loop_->advance(25.0);
  EXPECT_TRUE(offsets().empty());
  loop_->advance(5.0);
  EXPECT_EQ(offsets(), std::vector<double>{30.0});
  EXPECT_EQ(transport_->at(transport_->indexes(kHeartbeat)[0]).json(), json::object());

  EXPECT_EQ(answerLast(R"(,"data":{"second":60})"), "MMP: Nimbrel ping.......\n");
  loop_->advance(60.0);
  answerLast("");  // no "data": back to 30 s
  loop_->advance(30.0);
  answerLast(R"(,"data":{"second":12})");  // 12 s rounds up to the 5 s ticks
  loop_->advance(15.0);
  answerLast(R"(,"data":{"second":-5})");  // every tick
  loop_->advance(10.0);
  EXPECT_EQ(offsets(), (std::vector<double>{30.0, 90.0, 120.0, 135.0, 140.0, 145.0}));

  // Unaccepted answers keep the interval (every tick, from the last accepted one).
  EXPECT_EQ(answerLast(R"(,"data":{})"), "MMP: HeartBeatData: keyNotFound \"second\"\n");
  loop_->advance(5.0);
  EXPECT_EQ(answerLast(R"(,"data":{"second":90})", R"({"responseCode":401,"responseText":"nope"})"),
            "MMP: nope\n");
  loop_->advance(5.0);
  EXPECT_EQ(offsets().back(), 155.0);
}

}  // namespace
}  // namespace tavrel_mmp
