#include "events/tracking_event.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <mutex>
#include <thread>

#include "core/logger.h"
#include "events/database_helper.h"
#include "events/event_data.h"
#include "session/session_manager.h"
#include "session/storage_helper.h"
#include "support/pipeline_fixture.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/http_transport.h"
#include "tavrel_mmp/platform/manual_loop.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;
using testing::captureStdout;

// Keeps every request; the test answers them by hand, later, on its own thread.
class FakeTransport : public platform::HttpTransport {
 public:
  struct Sent {
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    json body;
    HttpCompletion completion;
  };
  void send(platform::HttpRequest request, HttpCompletion completion) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back({request.url, request.headers,
                     json::parse(request.body.value_or("null"), nullptr, false),
                     std::move(completion)});
  }
  std::vector<Sent> to(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Sent> out;
    for (auto& s : sent_) {
      if (s.url == "http://service.test" + path) out.push_back(s);
    }
    return out;
  }
  void answer(const Sent& request, std::optional<std::string> body,
              std::optional<HttpError> error = std::nullopt) {
    std::optional<std::vector<std::uint8_t>> bytes;
    if (body) bytes = testing::bytes(*body);
    request.completion(bytes, error);
  }

 private:
  std::mutex mutex_;
  std::vector<Sent> sent_;
};

constexpr const char* kEventLog = "/partner/event/log";
constexpr const char* kAccepted = R"({"responseCode":200,"responseText":"OK"})";

std::vector<std::string> idsIn(const FakeTransport::Sent& upload) {
  std::vector<std::string> out;
  for (auto& event : upload.body["events"]) out.push_back(event["id"]);
  return out;
}

std::vector<std::string> idsOf(const std::optional<EventList>& events) {
  std::vector<std::string> out;
  for (auto& event : events.value_or(EventList{})) out.push_back(event->id);
  return out;
}

void saveSession(const std::string& sessionId) {
  StorageHelper::shared().saveAuthData(
      testing::bytes(R"({"responseCode":200,"responseText":"OK","data":{"sessionId":")" +
                     sessionId + R"(","token":"tok","sessionExpireTimeInSeconds":3600}})"));
}

class TrackingEventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installTrackerUnderTest(clock_, loop_, transport_);
    auto& store = DatabaseHelper::shared();
    ASSERT_TRUE(store.isUsable());
    for (auto rows = store.getEvents(1000); rows && !rows->empty(); rows = store.getEvents(1000))
      store.removeEvents(*rows);
    saveSession("s1");
  }
  void TearDown() override { Logger::setDevMode(false); }

  void track(int count, const std::string& prefix = "e") {
    for (int i = 0; i < count; ++i) TrackingEvent::trackEvent(prefix + std::to_string(i), {});
  }
  std::string logged(const std::function<void()>& body) {
    Logger::setDevMode(true);
    std::string out = captureStdout(body);
    Logger::setDevMode(false);
    return out;
  }
  std::vector<std::string> pending() { return idsOf(DatabaseHelper::shared().getEvents(10000)); }

  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  std::shared_ptr<platform::ManualMainLoop> loop_ =
      std::make_shared<platform::ManualMainLoop>(clock_);
  std::shared_ptr<FakeTransport> transport_ = std::make_shared<FakeTransport>();
};

TEST_F(TrackingEventTest, TenthEventUploadsAllTen) {
  track(9);
  EXPECT_TRUE(transport_->to(kEventLog).empty());
  EXPECT_EQ(TrackingEvent::eventTotalCounter(), 9);
  std::string out = logged([&] { TrackingEvent::trackEvent("tenth", {}); });
  EXPECT_NE(out.find("MMP: eventTotalCounter >= syncEventCount\n"), std::string::npos);
  EXPECT_NE(out.find("MMP: ----- syncing: 10 events -----\n"), std::string::npos);
  auto uploads = transport_->to(kEventLog);
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(idsIn(uploads[0]), pending());
  EXPECT_EQ(uploads[0].body["events"][9]["key"], "tenth");
  EXPECT_EQ(uploads[0].body["events"][0]["sessionId"], "s1");
  EXPECT_EQ(uploads[0].headers[0], (std::pair<std::string, std::string>{"Authorization", "tok"}));
  EXPECT_EQ(TrackingEvent::eventTotalCounter(), 0);
  EXPECT_TRUE(TrackingEvent::isSyncing());
}

TEST_F(TrackingEventTest, BacklogLeavesInBatchesOfFiftyOldestFirst) {
  // 119 older events from an earlier run, recorded out of time order, plus one tracked now.
  for (int i = 0; i < 119; ++i) {
    const int age = (i * 37) % 119 + 1;
    DatabaseHelper::shared().addEvent(
        EventData("old" + std::to_string(age), "k", 1'700'000'000 - age, "s0", false));
  }
  TrackingEvent::trackEvent("now", {});
  std::vector<std::string> expected = pending();
  ASSERT_EQ(expected.size(), 120u);
  EXPECT_EQ(expected.front(), "old119");
  EXPECT_EQ(expected[118], "old1");

  loop_->runPending();
  std::vector<std::string> sent;
  for (std::size_t size : {50u, 50u, 20u}) {
    loop_->advance(5.0);
    auto uploads = transport_->to(kEventLog);
    ASSERT_EQ(idsIn(uploads.back()).size(), size);
    for (auto& id : idsIn(uploads.back())) sent.push_back(id);
    transport_->answer(uploads.back(), kAccepted);
  }
  EXPECT_EQ(sent, expected);
  EXPECT_TRUE(pending().empty());
  std::string out = logged([&] { loop_->advance(5.0); });
  EXPECT_NE(out.find("MMP: time to sync\nMMP: ----- syncing: 0 events -----\n"), std::string::npos);
  EXPECT_EQ(transport_->to(kEventLog).size(), 3u);
  EXPECT_FALSE(TrackingEvent::isSyncing());
}

TEST_F(TrackingEventTest, EventsDuringABatchAccumulateAndGoOutRightAfterIt) {
  track(10);
  track(12, "late");
  EXPECT_EQ(TrackingEvent::eventTotalCounter(), 12);
  auto uploads = transport_->to(kEventLog);
  ASSERT_EQ(uploads.size(), 1u);
  transport_->answer(uploads[0], kAccepted);
  EXPECT_EQ(pending().size(), 12u);
  TrackingEvent::trackEvent("after", {});
  uploads = transport_->to(kEventLog);
  ASSERT_EQ(uploads.size(), 2u);
  EXPECT_EQ(idsIn(uploads[1]), pending());
  EXPECT_EQ(idsIn(uploads[1]).size(), 13u);
}

TEST_F(TrackingEventTest, RealtimeFlagSendsTheEventAloneAtOnce) {
  const std::vector<std::pair<json, bool>> flags = {
      {true, true},   {"TRUE", true}, {"tRuE", true},   {false, false},
      {"yes", false}, {1, false},     {"true ", false}, {nullptr, false}};
  for (auto& [flag, realtime] : flags) {
    const std::size_t before = transport_->to(kEventLog).size();
    TrackingEvent::trackEvent("rt", json{{"nbRealtime", flag}, {"x", 1}});
    auto uploads = transport_->to(kEventLog);
    ASSERT_EQ(uploads.size(), before + (realtime ? 1 : 0)) << flag;
    if (!realtime) continue;
    const json& sent = uploads.back().body["events"];
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["realtime"], true);
    EXPECT_EQ(sent[0]["data"].size(), 2u);  // the flag itself stays in the data
  }
  EXPECT_EQ(pending().size(), flags.size());
  EXPECT_EQ(TrackingEvent::eventTotalCounter(), static_cast<std::int64_t>(flags.size()));
  EXPECT_FALSE(TrackingEvent::isSyncing());
}

TEST_F(TrackingEventTest, RealtimeReplyDuringABatchDoesNotOpenASecondOne) {
  TrackingEvent::trackEvent("rt", json{{"nbRealtime", true}});
  auto realtime = transport_->to(kEventLog).at(0);
  track(9);
  auto batch = transport_->to(kEventLog).at(1);
  EXPECT_EQ(idsIn(batch).front(), idsIn(realtime).front());  // still stored, so sent again

  transport_->answer(realtime, kAccepted);
  EXPECT_EQ(pending().size(), 9u);
  EXPECT_TRUE(TrackingEvent::isSyncing());
  track(10, "more");
  EXPECT_EQ(transport_->to(kEventLog).size(), 2u);
  transport_->answer(batch, kAccepted);
  EXPECT_EQ(pending().size(), 10u);
}

TEST_F(TrackingEventTest, UnacceptedUploadsKeepRecordsForTheNextBatch) {
  track(10);
  loop_->runPending();
  const std::vector<std::string> ids = pending();
  const std::vector<std::tuple<std::optional<std::string>, std::optional<HttpError>, std::string>>
      failures = {
          {R"({"responseCode":500,"responseText":"boom"})", std::nullopt, "MMP: boom\n"},
          {"<html>", std::nullopt, "MMP: "},
          {std::nullopt, HttpError{"curl", 7, "Couldn't connect to server"},
           "MMP: Couldn't connect to server\n"},
          {std::nullopt, std::nullopt, "MMP: Error from request\n"},
      };
  for (auto& [body, error, line] : failures) {
    auto uploads = transport_->to(kEventLog);
    EXPECT_EQ(idsIn(uploads.back()), ids);
    std::string out = logged([&] { transport_->answer(uploads.back(), body, error); });
    EXPECT_EQ(out.rfind("MMP: ----- sync error -----\n" + line, 0), 0u) << out;
    EXPECT_EQ(pending(), ids);
    loop_->advance(5.0);  // the next tick retries the same, still oldest, records
  }
  EXPECT_EQ(transport_->to(kEventLog).size(), failures.size() + 1);
}

TEST_F(TrackingEventTest, MissingSessionRequestsAuthAndUploadsWithTheLaterSession) {
  StorageHelper::shared().removeAuthData();
  StorageHelper::shared().savePartnerCode("partner");
  StorageHelper::shared().saveAppSecret("secret");
  track(2);
  EXPECT_EQ(transport_->to("/public/partner/auth").size(), 2u);
  auto stored = DatabaseHelper::shared().getEvents(10);
  ASSERT_EQ(stored->size(), 2u);
  for (auto& event : *stored) EXPECT_EQ(event->sessionId, "");

  saveSession("s2");
  loop_->runPending();
  loop_->advance(5.0);
  auto uploads = transport_->to(kEventLog);
  ASSERT_EQ(uploads.size(), 1u);
  for (auto& event : uploads[0].body["events"]) EXPECT_EQ(event["sessionId"], "s2");
}

TEST_F(TrackingEventTest, TimerStartsWithFirstEventAndRespectsTheMinimumGap) {
  TrackingEvent::trackEvent("first", {});
  EXPECT_FALSE(TrackingEvent::hasSyncTimer());
  loop_->runPending();
  EXPECT_TRUE(TrackingEvent::hasSyncTimer());
  loop_->advance(4.0);
  EXPECT_TRUE(transport_->to(kEventLog).empty());
  loop_->advance(1.0);
  ASSERT_EQ(transport_->to(kEventLog).size(), 1u);  // a tick batch, below ten events
  transport_->answer(transport_->to(kEventLog)[0], kAccepted);

  loop_->advance(3.0);
  track(10);  // count batch at +8
  ASSERT_EQ(transport_->to(kEventLog).size(), 2u);
  transport_->answer(transport_->to(kEventLog)[1], kAccepted);
  TrackingEvent::trackEvent("late", {});
  loop_->advance(2.0);  // tick at +10: only 2 s after the last batch start
  EXPECT_EQ(transport_->to(kEventLog).size(), 2u);
  loop_->advance(5.0);  // tick at +15
  EXPECT_EQ(transport_->to(kEventLog).size(), 3u);
  EXPECT_EQ(loop_->timerCount(), 1u);
}

TEST_F(TrackingEventTest, ConcurrentTrackingMakesOneTimerAndOneBatchInFlight) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back([&] { track(25); });
  for (auto& thread : threads) thread.join();
  loop_->runPending();
  EXPECT_EQ(loop_->timerCount(), 1u);
  EXPECT_EQ(transport_->to(kEventLog).size(), 1u);
  EXPECT_EQ(pending().size(), 200u);
}

TEST_F(TrackingEventTest, NoStoredRowStallsTheQueue) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  TrackingEvent::trackEvent("bad\xff\xfename", json{{"v", nan}});
  auto& store = DatabaseHelper::shared();
  store.addEvent(EventData("array", "k", 1, "", false, "[1,2]"));
  store.addEvent(EventData("garbage", "k\xc3", 2, "", false, "not json"));
  EXPECT_EQ(store.getEvents(10)->back()->key, "bad\xff\xfename");
  EXPECT_EQ(store.getEvents(10)->back()->data, "{}");

  loop_->runPending();
  loop_->advance(5.0);
  auto uploads = transport_->to(kEventLog);
  ASSERT_EQ(uploads.size(), 1u);
  const json& events = uploads[0].body["events"];  // parsed: the body is valid JSON
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2]["key"], "bad\xEF\xBF\xBD\xEF\xBF\xBDname");
  for (auto& event : events) EXPECT_EQ(event["data"], json::array());
  transport_->answer(uploads[0], kAccepted);
  EXPECT_TRUE(pending().empty());
}

}  // namespace
}  // namespace tavrel_mmp
