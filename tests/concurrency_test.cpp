#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "events/tracking_event.h"
#include "local_service/local_service.h"
#include "secret/secret_generator.h"
#include "session/storage_helper.h"
#include "support/pipeline_fixture.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"

namespace tavrel_mmp {
namespace {

// Eight host threads log while a "main thread" keeps the timer ticking and completions arrive
// on the transport's thread: nothing may be lost, duplicated in identity, or chained twice.
TEST(Concurrency, EightThreadsLoggingLoseNothingAndChainOnce) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 1000;
  testing::TempDir dir;
  testing::installIsolatedPlatform(dir.path(), "com.tavrel.concurrency");
  testing::installCurlTransport();
  auto time = testing::installManualTime();
  tools::LocalService service;
  ASSERT_TRUE(service.start());
  Nimbrel::intSDK("CONC", tools::makeAppSecret(service.baseUrl(), "CONC"),
                  std::make_shared<NimbrelOptions>());
  ASSERT_TRUE(testing::waitUntil([] { return StorageHelper::shared().getAuthData().has_value(); }));

  std::atomic<bool> logging{true};
  std::thread mainThread([&] {
    while (logging.load()) {
      time.loop->advance(TrackingEvent::timerPeriod);
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t) {
    hosts.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i) {
        Nimbrel::logEvent("concurrent", PropertyDictionary{{"thread", t}, {"seq", i}});
      }
    });
  }
  for (auto& host : hosts) host.join();
  logging = false;
  mainThread.join();

  for (int i = 0; i < 400 && testing::pendingEventCount() > 0; ++i) {
    testing::tickAndSettle(*time.loop);
  }
  ASSERT_TRUE(service.waitForEvents(kThreads * kPerThread, std::chrono::seconds(60)));

  const auto events = service.events();
  EXPECT_EQ(events.size(), static_cast<std::size_t>(kThreads * kPerThread));
  std::set<std::pair<int, int>> seen;
  std::set<std::string> predecessors;
  int chainStarts = 0;
  for (const auto& [id, stored] : events) {
    int thread = -1, seq = -1;
    for (const auto& entry : stored.event["data"]) {
      if (entry["key"] == "thread") thread = entry["value"];
      if (entry["key"] == "seq") seq = entry["value"];
    }
    seen.insert({thread, seq});
    const std::string pre = stored.event["preEvent"];
    if (pre.empty()) {
      ++chainStarts;
    } else {
      EXPECT_TRUE(predecessors.insert(pre).second) << "two events share predecessor " << pre;
      EXPECT_TRUE(events.count(pre)) << "predecessor " << pre << " was never delivered";
    }
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kPerThread));
  EXPECT_EQ(chainStarts, 1);
  EXPECT_EQ(testing::pendingEventCount(), 0u);
}

}  // namespace
}  // namespace tavrel_mmp
