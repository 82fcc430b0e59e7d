#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <set>

#include "local_service/local_service.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace tavrel_mmp {
namespace {

using namespace std::chrono_literals;

// Starts a fresh host process on the same storage, which delivers what is pending and exits.
// Gives the "seq" of every event named `key` that the service has received.
std::set<int> drainInNewProcess(const std::string& directory, tools::LocalService& service,
                                const std::string& key) {
  testing::ChildProcess drain(testing::testHostPath("pipeline_host"),
                              {"drain", directory, service.baseUrl()});
  EXPECT_EQ(drain.readLine(60s), "pending 0");
  const auto status = drain.wait(10s);
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  std::set<int> seqs;
  for (const auto& [id, stored] : service.events()) {
    for (const auto& entry : stored.event["data"]) {
      if (stored.event["key"] == key && entry["key"] == "seq")
        seqs.insert(entry["value"].get<int>());
    }
  }
  return seqs;
}

TEST(PipelineProcess, HostReturningFromMainWithABatchInFlightExitsAtOnce) {
  testing::TempDir dir;
  tools::LocalService service;
  ASSERT_TRUE(service.start());
  service.setFault("/partner/event/log", {.kind = tools::Fault::Kind::delay, .delaySeconds = 5});

  testing::ChildProcess host(testing::testHostPath("pipeline_host"),
                             {"exit-inflight", dir.path(), service.baseUrl(), "25"});
  ASSERT_EQ(host.readLine(30s), "logged");
  ASSERT_TRUE(service.waitForRequests("/partner/event/log", 1, 30s));
  std::ofstream(dir.path() + "/go").put('\n');  // the batch is at the (slow) service now
  ASSERT_EQ(host.readLine(30s), "returning");
  const auto returned = std::chrono::steady_clock::now();
  const auto status = host.wait(5s);
  ASSERT_TRUE(status) << "the host did not end";
  EXPECT_LT(std::chrono::steady_clock::now() - returned, 1s);
  ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
  EXPECT_EQ(WEXITSTATUS(*status), 0);

  service.clearAllFaults();
  EXPECT_EQ(drainInNewProcess(dir.path(), service, "before_exit").size(), 25u);
}

TEST(PipelineProcess, EventsSurviveSigkillRightAfterLogEventReturns) {
  testing::TempDir dir;
  testing::ChildProcess host(testing::testHostPath("pipeline_host"), {"log-forever", dir.path()});
  int lastLogged = -1;
  while (lastLogged < 300) {
    const auto line = host.readLine(30s);
    ASSERT_TRUE(line);
    lastLogged = std::stoi(line->substr(7));
  }
  host.kill(SIGKILL);
  // Lines already written were written after their logEvent returned.
  while (const auto line = host.readLine(2s)) lastLogged = std::stoi(line->substr(7));
  const auto status = host.wait(5s);
  ASSERT_TRUE(status && WIFSIGNALED(*status));

  tools::LocalService service;
  ASSERT_TRUE(service.start());
  const auto seqs = drainInNewProcess(dir.path(), service, "durable");
  for (int seq = 0; seq <= lastLogged; ++seq) {
    ASSERT_TRUE(seqs.count(seq)) << "event " << seq << " was lost (last logged " << lastLogged
                                 << ")";
  }
}

}  // namespace
}  // namespace tavrel_mmp
