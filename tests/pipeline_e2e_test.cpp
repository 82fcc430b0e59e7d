#include <gtest/gtest.h>

#include <set>

#include "events/event_data.h"
#include "events/tracking_event.h"
#include "local_service/local_service.h"
#include "secret/secret_generator.h"
#include "session/session_manager.h"
#include "session/storage_helper.h"
#include "support/pipeline_fixture.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"

namespace tavrel_mmp {
namespace {

using std::chrono::seconds;
using testing::bytes;

class PipelineEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installIsolatedPlatform(dir_.path(), "com.tavrel.pipeline");
    testing::installCurlTransport();
    time_ = testing::installManualTime();
    SessionManager::setBaseUrl("");
    ASSERT_TRUE(service_.start());
  }

  bool startAndAuthenticate() { return testing::startAndAuthenticate("E2E", service_.baseUrl()); }
  // Ticks until every pending event is accepted (or a bounded number of ticks passed).
  void drain() {
    for (int i = 0; i < 40 && testing::pendingEventCount() > 0; ++i) {
      testing::tickAndSettle(*time_.loop);
    }
  }
  static std::map<std::string, nlohmann::json> dataOf(const nlohmann::json& event) {
    std::map<std::string, nlohmann::json> out;
    for (const auto& entry : event["data"]) out[entry["key"]] = entry["value"];
    return out;
  }

  testing::TempDir dir_;
  testing::ManualTime time_;
  tools::LocalService service_;
};

TEST_F(PipelineEndToEnd, HostEventsArriveWithSessionShapeAndChain) {
  ASSERT_TRUE(startAndAuthenticate());
  const std::string sessionId = StorageHelper::shared().getAuthData()->data->sessionId;

  const std::size_t before = testing::pendingEventCount();
  Nimbrel::logEvent("first", PropertyDictionary{{"price", 9.5}, {"tags", {"a"}}});
  Nimbrel::logEvent("second", std::nullopt);
  Nimbrel::logEvent("third", PropertyDictionary{{"ok", true}});
  EXPECT_EQ(testing::pendingEventCount(), before + 3);
  testing::tickAndSettle(*time_.loop);
  EXPECT_EQ(testing::pendingEventCount(), 0u);

  std::map<std::string, nlohmann::json> byKey;
  for (const auto& [id, stored] : service_.events()) byKey[stored.event["key"]] = stored.event;
  const auto& first = byKey["first"];
  EXPECT_EQ(first["sessionId"], sessionId);
  EXPECT_EQ(first["realtime"], false);
  EXPECT_TRUE(first["time"].is_number_integer());
  EXPECT_EQ(dataOf(first),
            (std::map<std::string, nlohmann::json>{{"price", 9.5}, {"tags", {"a"}}}));
  EXPECT_EQ(byKey["second"]["data"], nlohmann::json::array());
  EXPECT_EQ(byKey["second"]["preEvent"], first["id"]);
  EXPECT_EQ(byKey["third"]["preEvent"], byKey["second"]["id"]);

  const auto uploads = service_.requests("/partner/event/log");
  ASSERT_FALSE(uploads.empty());
  EXPECT_EQ(uploads[0].header("authorization"), StorageHelper::shared().getAuthData()->data->token);
}

TEST_F(PipelineEndToEnd, RefusedAuthenticationIsRetriedByTheNextEvent) {
  StorageHelper::shared().saveAuthData(
      bytes(R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"old","token":"old",)"
            R"("sessionExpireTimeInSeconds":1}})"));
  service_.setAuthRefusal(401);
  Nimbrel::intSDK("E2E", tools::makeAppSecret(service_.baseUrl(), "E2E"),
                  std::make_shared<NimbrelOptions>());
  time_.loop->runPending();
  ASSERT_TRUE(testing::waitUntil([] { return !StorageHelper::shared().getAuthData(); }));

  service_.setAuthRefusal(std::nullopt);
  Nimbrel::logEvent("after_refusal", PropertyDictionary{{"n", 1}});
  time_.loop->runPending();
  ASSERT_TRUE(testing::waitUntil([] { return StorageHelper::shared().getAuthData().has_value(); }));
  ASSERT_TRUE(testing::curlTransport().waitIdle());
  EXPECT_EQ(service_.requests("/public/partner/auth").size(), 2u);
  testing::tickAndSettle(*time_.loop);
  // Recorded without a session, uploaded with the one stored by then.
  for (const auto& [id, stored] : service_.events()) {
    if (stored.event["key"] != "after_refusal") continue;
    EXPECT_EQ(stored.event["sessionId"], StorageHelper::shared().getAuthData()->data->sessionId);
    return;
  }
  ADD_FAILURE() << "the event did not arrive";
}

TEST_F(PipelineEndToEnd, NothingIsLostWhileTheServiceFails) {
  ASSERT_TRUE(startAndAuthenticate());
  using Kind = tools::Fault::Kind;
  std::vector<tools::Fault> faults(4);
  faults[0].kind = Kind::responseCode;
  faults[0].httpStatus = 500;
  faults[1].kind = Kind::notJson;
  faults[2].kind = Kind::closeConnection;
  faults[3].kind = Kind::delay;
  faults[3].delaySeconds = 1.0;

  drain();
  const std::size_t settled = service_.acceptedEventCount();
  int logged = 0;
  for (const auto& fault : faults) {
    service_.setFault("/partner/event/log", fault);
    for (int i = 0; i < 23; ++i) {
      Nimbrel::logEvent("under_fault", PropertyDictionary{{"seq", logged++}});
    }
    testing::tickAndSettle(*time_.loop);
    if (fault.kind != Kind::delay) {
      EXPECT_EQ(service_.acceptedEventCount(), settled);
      EXPECT_EQ(testing::pendingEventCount(), static_cast<std::size_t>(logged));
    }
    service_.clearFault("/partner/event/log");
  }
  drain();
  EXPECT_EQ(testing::pendingEventCount(), 0u);
  std::set<int> seqs;
  for (const auto& [id, stored] : service_.events()) {
    if (stored.event["key"] == "under_fault") seqs.insert(dataOf(stored.event)["seq"].get<int>());
  }
  EXPECT_EQ(seqs.size(), static_cast<std::size_t>(logged));
  EXPECT_EQ(service_.duplicateEventCount(), 0u);
}

TEST_F(PipelineEndToEnd, HeartbeatReachesTheServiceWithTheToken) {
  ASSERT_TRUE(startAndAuthenticate());
  service_.setHeartbeatData(nlohmann::json{{"second", 12}});
  Nimbrel::logEvent("starts_the_timer", std::nullopt);
  for (int tick = 0; tick < 6; ++tick) testing::tickAndSettle(*time_.loop);
  ASSERT_EQ(service_.requests("/partner/online-user/log").size(), 1u);
  const auto beats = service_.requests("/partner/online-user/log");
  EXPECT_EQ(beats[0].json(), nlohmann::json::object());
  EXPECT_EQ(beats[0].header("authorization"), StorageHelper::shared().getAuthData()->data->token);
  // 12 seconds from the service: the next one three ticks (15 s) later.
  for (int tick = 0; tick < 2; ++tick) testing::tickAndSettle(*time_.loop);
  EXPECT_EQ(service_.requests("/partner/online-user/log").size(), 1u);
  testing::tickAndSettle(*time_.loop);
  EXPECT_EQ(service_.requests("/partner/online-user/log").size(), 2u);
}

}  // namespace
}  // namespace tavrel_mmp
