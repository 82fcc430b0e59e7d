#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "events/database_helper.h"
#include "secret/secret_generator.h"
#include "settings/storage_helper.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;
using PipelineEndToEnd = testing::ServiceTest;

std::string storedSession() {
  return StorageHelper::shared().getAuthData()->data->sessionId;
}

TEST_F(PipelineEndToEnd, RefusedAuthenticationIsRetriedByTheNextEvent) {
  testing::storeGrantedSession();
  service_.setAuthRefusal(401);
  Nimbrel::intSDK("E2E", tools::makeAppSecret(service_.baseUrl(), "E2E"), nullptr);
  time_.loop->runPending();
  ASSERT_TRUE(testing::waitUntil([] { return !StorageHelper::shared().getAuthData(); }));

  service_.setAuthRefusal(std::nullopt);
  Nimbrel::logEvent("after_refusal", PropertyDictionary{{"n", 1}});
  time_.loop->runPending();
  ASSERT_TRUE(testing::waitUntil([] { return StorageHelper::shared().getAuthData().has_value(); }));
  ASSERT_TRUE(testing::curlTransport().waitIdle());
  EXPECT_EQ(service_.requests("/public/partner/auth").size(), 2u);
  // Recorded without a session, uploaded with the one stored by then.
  const auto events = arrived("after_refusal");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event["sessionId"], storedSession());
}

// One event the service refuses for what it carries holds back no other; failures of the whole
// service set nothing aside and lose nothing, however long they last, whatever code refuses
// every batch alike.
TEST_F(PipelineEndToEnd, OnlyAnEventTheServiceKeepsRefusingIsSetAside) {
  using Kind = tools::Fault::Kind;
  constexpr const char* kPath = "/partner/event/log";
  struct Case {
    const char* name;
    std::function<void(tools::LocalService&)> fail;
    bool poisonSetAside;
  };
  const Case cases[] = {
      {"poisoned event", [](auto& s) { s.setRefusedEventKey("poison", 400); }, true},
      {"HTTP 500",
       [&](auto& s) { s.setFault(kPath, {.kind = Kind::responseCode, .httpStatus = 500}); }, false},
      {"no answer", [&](auto& s) { s.setFault(kPath, {.kind = Kind::closeWithoutAnswer}); }, false},
      {"answer cut short", [&](auto& s) { s.setFault(kPath, {.kind = Kind::closeConnection}); },
       false},
      {"not JSON", [&](auto& s) { s.setFault(kPath, {.kind = Kind::notJson}); }, false},
      {"session expired",
       [&](auto& s) { s.setFault(kPath, {.kind = Kind::responseCode, .responseCode = 401}); },
       false},
      {"throttled",
       [&](auto& s) { s.setFault(kPath, {.kind = Kind::responseCode, .responseCode = 429}); },
       false},
      {"token no longer honoured",
       [&](auto& s) { s.setFault(kPath, {.kind = Kind::responseCode, .responseCode = 400}); },
       false},
  };
  ASSERT_TRUE(start());
  ASSERT_TRUE(testing::drainEvents(*time_.loop));
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    const std::string tag = row.name;
    row.fail(service_);
    for (int i = 0; i < 30; ++i) {
      Nimbrel::logEvent(i == 10 ? "poison" : "plain", PropertyDictionary{{"tag", tag}, {"i", i}});
    }
    // A batch every period, each refused: the refusals pile up, but not yet over three minutes.
    for (int tick = 0; tick < 34; ++tick) testing::tickAndSettle(*time_.loop);
    EXPECT_TRUE(DatabaseHelper::shared().setAsideEvents().empty());
    for (int tick = 0; tick < 30; ++tick) testing::tickAndSettle(*time_.loop);

    service_.clearAllFaults();
    ASSERT_TRUE(testing::drainEvents(*time_.loop, 100));
    const auto aside = DatabaseHelper::shared().setAsideEvents();
    std::multiset<int> delivered;
    for (const auto& [id, stored] : service_.events()) {
      const Data data = dataOf(stored.event);
      if (!data.contains("tag") || data.at("tag") != tag) continue;
      EXPECT_EQ(stored.timesReceived, 1) << id;
      delivered.insert(data.at("i").get<int>());
    }
    if (row.poisonSetAside) {
      ASSERT_EQ(aside.size(), 1u);
      EXPECT_EQ(aside[0].event->key, "poison");
      EXPECT_EQ(aside[0].reason, "400 Refused event poison");
      EXPECT_EQ(delivered.size(), 29u);
      EXPECT_EQ(delivered.count(10), 0u);
    } else {
      EXPECT_TRUE(aside.empty());
      EXPECT_EQ(delivered.size(), 30u);
    }
    EXPECT_EQ(std::set<int>(delivered.begin(), delivered.end()).size(), delivered.size());
    service_.setRefusedEventKey(std::nullopt);
    DatabaseHelper::shared().removeAll();
  }
  EXPECT_EQ(service_.duplicateEventCount(), 0u);
}

}  // namespace
}  // namespace tavrel_mmp
