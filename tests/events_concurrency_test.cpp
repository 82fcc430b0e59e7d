#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"

namespace tavrel_mmp {
namespace {

using Concurrency = testing::ServiceTest;

// Eight host threads log (every seventh event real-time) while a "main thread" keeps the timer
// ticking and completions arrive on the transport's thread: every event must arrive, none more
// than once, in one predecessor chain.
TEST_F(Concurrency, EightThreadsLoggingLoseNothingAndSendNothingTwice) {
  constexpr int kThreads = 8, kPerThread = 1000;
  ASSERT_TRUE(start());
  std::atomic<bool> logging{true};
  std::thread mainThread([&] {
    while (logging.load()) testing::tickAndSettle(*time_.loop);
  });
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t) {
    hosts.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i)
        Nimbrel::logEvent("concurrent", PropertyDictionary{
                                            {"thread", t}, {"seq", i}, {"nbRealtime", i % 7 == 0}});
    });
  }
  for (auto& host : hosts) host.join();
  logging = false;
  mainThread.join();

  std::set<std::pair<int, int>> logged;
  std::set<std::string> ids, predecessors;
  for (const auto& stored : arrived("concurrent")) {
    EXPECT_EQ(stored.timesReceived, 1) << stored.event;
    auto data = dataOf(stored.event);
    logged.insert({data["thread"].get<int>(), data["seq"].get<int>()});
    ids.insert(stored.event["id"].get<std::string>());
    predecessors.insert(stored.event["preEvent"].get<std::string>());
  }
  EXPECT_EQ(service_.duplicateEventCount(), 0u);
  EXPECT_EQ(logged.size(), std::size_t(kThreads * kPerThread));
  // One unbroken predecessor chain: each event took a distinct one, all but the first another's.
  EXPECT_EQ(predecessors.size(), logged.size());
  std::erase_if(predecessors, [&](const auto& id) { return ids.count(id) == 0; });
  EXPECT_EQ(predecessors.size(), logged.size() - 1);
}

}  // namespace
}  // namespace tavrel_mmp
