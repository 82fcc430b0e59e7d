#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "local_service/local_service.h"
#include "secret/secret_generator.h"
#include "session/storage_helper.h"
#include "support/pipeline_fixture.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"

namespace tavrel_mmp {
namespace {

// Eight host threads log while a "main thread" keeps the timer ticking and completions arrive
// on the transport's thread: every event must arrive, and none more than once.
TEST(Concurrency, EightThreadsLoggingLoseNothingAndSendNothingTwice) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 1000;
  testing::TempDir dir;
  testing::installIsolatedPlatform(dir.path(), "com.tavrel.concurrency");
  testing::installCurlTransport();
  auto time = testing::installManualTime();
  tools::LocalService service;
  ASSERT_TRUE(service.start());
  ASSERT_TRUE(testing::startAndAuthenticate("CONC", service.baseUrl()));

  std::atomic<bool> logging{true};
  std::thread mainThread([&] {
    while (logging.load()) testing::tickAndSettle(*time.loop);
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
  for (int i = 0; i < 1000 && testing::pendingEventCount() > 0; ++i) {
    testing::tickAndSettle(*time.loop);
  }
  EXPECT_EQ(testing::pendingEventCount(), 0u);

  std::set<std::pair<int, int>> logged;
  for (const auto& [id, stored] : service.events()) {
    EXPECT_EQ(stored.timesReceived, 1) << id;
    if (stored.event["key"] != "concurrent") continue;
    int thread = -1, seq = -1;
    for (const auto& entry : stored.event["data"]) {
      if (entry["key"] == "thread") thread = entry["value"];
      if (entry["key"] == "seq") seq = entry["value"];
    }
    logged.insert({thread, seq});
  }
  EXPECT_EQ(service.duplicateEventCount(), 0u);
  EXPECT_EQ(logged.size(), std::size_t(kThreads * kPerThread));
}

}  // namespace
}  // namespace tavrel_mmp
