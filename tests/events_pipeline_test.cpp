#include <gtest/gtest.h>

#include <set>

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

TEST_F(PipelineEndToEnd, NothingIsLostWhileTheServiceFails) {
  ASSERT_TRUE(start());
  using Kind = tools::Fault::Kind;
  const tools::Fault faults[] = {{.kind = Kind::responseCode, .httpStatus = 500},
                                 {.kind = Kind::notJson},
                                 {.kind = Kind::closeConnection},
                                 {.kind = Kind::closeWithoutAnswer},
                                 {.kind = Kind::delay, .delaySeconds = 1.0}};
  ASSERT_TRUE(testing::drainEvents(*time_.loop));
  const std::size_t settled = service_.acceptedEventCount();
  int logged = 0;
  for (const auto& fault : faults) {
    service_.setFault("/partner/event/log", fault);
    for (int i = 0; i < 23; ++i)
      Nimbrel::logEvent("under_fault", PropertyDictionary{{"seq", logged++}});
    testing::tickAndSettle(*time_.loop);
    if (fault.kind != Kind::delay) {
      EXPECT_EQ(service_.acceptedEventCount(), settled);
      EXPECT_EQ(testing::pendingEventCount(), static_cast<std::size_t>(logged));
    }
    service_.clearFault("/partner/event/log");
  }
  std::set<int> seqs;
  for (const auto& stored : arrived("under_fault"))
    seqs.insert(dataOf(stored.event)["seq"].get<int>());
  EXPECT_EQ(seqs.size(), static_cast<std::size_t>(logged));
  EXPECT_EQ(service_.duplicateEventCount(), 0u);
}

}  // namespace
}  // namespace tavrel_mmp
