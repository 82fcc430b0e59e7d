#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

#include "core/logger.h"
#include "events/tracking_event.h"
#include "session/session_manager.h"
#include "support/pipeline_fixture.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/http_transport.h"
#include "tavrel_mmp/platform/manual_loop.h"

namespace tavrel_mmp {
namespace {

using testing::bytes;

// Records heartbeat requests with the clock reading at which each was sent; answers by hand.
class HeartbeatTransport : public platform::HttpTransport {
 public:
  explicit HeartbeatTransport(std::shared_ptr<platform::ManualClock> clock) : clock_(clock) {}
  void send(platform::HttpRequest request, HttpCompletion completion) override {
    if (request.url != "http://service.test/partner/online-user/log") return;
    std::lock_guard<std::mutex> lock(mutex_);
    lastBody_ = request.body.value_or("");
    sentAt_.push_back(clock_->now());
    pending_ = std::move(completion);
  }
  std::vector<double> sentAt() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sentAt_;
  }
  std::string lastBody() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastBody_;
  }
  void answer(std::optional<std::string> body, std::optional<HttpError> error = std::nullopt) {
    HttpCompletion completion = std::exchange(pending_, nullptr);
    ASSERT_TRUE(completion);
    completion(body ? std::optional(bytes(*body)) : std::nullopt, error);
  }

 private:
  std::shared_ptr<platform::ManualClock> clock_;
  std::mutex mutex_;
  std::string lastBody_;
  std::vector<double> sentAt_;
  HttpCompletion pending_;
};

std::string accepted(const std::string& data) {
  return R"({"responseCode":200,"responseText":"OK")" + data + "}";
}

class HeartbeatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installTrackerUnderTest(clock_, loop_, transport_);
    TrackingEvent::trackEvent("start", {});  // starts the timer at start_
    loop_->runPending();
  }
  void TearDown() override { Logger::setDevMode(false); }

  // Offsets from the timer start at which heartbeats went out.
  std::vector<double> sentOffsets() {
    std::vector<double> out;
    for (double at : transport_->sentAt()) out.push_back(at - start_);
    return out;
  }
  std::string answerLogged(std::optional<std::string> body,
                           std::optional<HttpError> error = std::nullopt) {
    Logger::setDevMode(true);
    std::string out = testing::captureStdout([&] { transport_->answer(body, error); });
    Logger::setDevMode(false);
    return out;
  }

  std::shared_ptr<platform::ManualClock> clock_ = std::make_shared<platform::ManualClock>();
  const double start_ = clock_->now();
  std::shared_ptr<platform::ManualMainLoop> loop_ =
      std::make_shared<platform::ManualMainLoop>(clock_);
  std::shared_ptr<HeartbeatTransport> transport_ = std::make_shared<HeartbeatTransport>(clock_);
};

using Offsets = std::vector<double>;

TEST_F(HeartbeatTest, FirstHeartbeatGoesOutAtTheSixthTickWithAnEmptyBody) {
  loop_->advance(25.0);
  EXPECT_TRUE(transport_->sentAt().empty());
  loop_->advance(5.0);
  EXPECT_EQ(sentOffsets(), Offsets{30.0});
  EXPECT_EQ(nlohmann::json::parse(transport_->lastBody()), nlohmann::json::object());
}

TEST_F(HeartbeatTest, AcceptedReplySteersTheInterval) {
  loop_->advance(30.0);
  EXPECT_EQ(answerLogged(accepted(R"(,"data":{"second":60})")), "MMP: Nimbrel ping.......\n");
  EXPECT_EQ(TrackingEvent::beatInterval(), 60.0);
  loop_->advance(60.0);
  EXPECT_EQ(sentOffsets(), (Offsets{30.0, 90.0}));

  transport_->answer(accepted(""));  // no "data": back to 30 s
  EXPECT_EQ(TrackingEvent::beatInterval(), 30.0);
  loop_->advance(30.0);
  transport_->answer(accepted(R"(,"data":{"second":12})"));
  loop_->advance(30.0);  // 12 s rounds up to the 5 s ticks
  EXPECT_EQ(sentOffsets(), (Offsets{30.0, 90.0, 120.0, 135.0, 150.0}));
  transport_->answer(accepted(R"(,"data":null)"));
  EXPECT_EQ(TrackingEvent::beatInterval(), 30.0);
}

TEST_F(HeartbeatTest, ZeroOrNegativeIntervalBeatsAtEveryTick) {
  loop_->advance(30.0);
  transport_->answer(accepted(R"(,"data":{"second":0})"));
  loop_->advance(10.0);
  transport_->answer(accepted(R"(,"data":{"second":-5})"));
  loop_->advance(5.0);
  EXPECT_EQ(sentOffsets(), (Offsets{30.0, 35.0, 40.0, 45.0}));
}

TEST_F(HeartbeatTest, UnacceptedRepliesKeepTheIntervalAndTheSchedule) {
  loop_->advance(30.0);
  transport_->answer(accepted(R"(,"data":{"second":20})"));
  const std::vector<std::pair<std::optional<std::string>, std::string>> failures = {
      {accepted(R"(,"data":{})"), "MMP: HeartBeatData: keyNotFound \"second\"\n"},
      {accepted(R"(,"data":{"second":"20"})"), "MMP: HeartBeatData: typeMismatch"},
      {R"({"responseCode":401,"responseText":"nope","data":{"second":5}})", "MMP: nope\n"},
      {std::nullopt, "MMP: Error from request\n"},
  };
  for (auto& [body, line] : failures) {
    loop_->advance(20.0);
    std::string out = answerLogged(body);
    EXPECT_EQ(out.rfind(line, 0), 0u) << out;
    EXPECT_EQ(out.find("Nimbrel ping"), std::string::npos);
    EXPECT_EQ(TrackingEvent::beatInterval(), 20.0);
  }
  loop_->advance(20.0);
  EXPECT_EQ(answerLogged(std::nullopt, HttpError{"curl", 6, "Could not resolve host"}),
            "MMP: Could not resolve host\n");
  EXPECT_EQ(sentOffsets(), (Offsets{30.0, 50.0, 70.0, 90.0, 110.0, 130.0}));
}

}  // namespace
}  // namespace tavrel_mmp
