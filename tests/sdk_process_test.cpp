// The library around the end of the host's process: exit with work in flight, SIGKILL, signal
// masks of its threads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "support/child_process.h"
#include "support/test_support.h"

namespace tavrel_mmp {
namespace {

using namespace std::chrono_literals;

testing::ChildProcess startHost(const std::vector<std::string>& args) {
  return testing::ChildProcess(testing::testHostPath("test_host"), args);
}

bool exitedCleanly(const std::optional<int>& status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

// Its "key=value" lines, once the host (every thread of it) is gone.
std::map<std::string, std::string> factsOf(const std::string& mode) {
  auto host = startHost({mode});
  std::map<std::string, std::string> facts;
  while (const auto line = host.readLine(30s)) {
    if (const auto equals = line->find('='); equals != std::string::npos)
      facts[line->substr(0, equals)] = line->substr(equals + 1);
  }
  EXPECT_TRUE(exitedCleanly(host.wait(5s)));
  return facts;
}

TEST(ProcessExit, AHostThatNeverCallsTheLibraryStartsNoThread) {
  EXPECT_EQ(factsOf("untouched")["threads"], "1");
}

TEST(ProcessExit, LibraryThreadsBlockAsynchronousSignalsButNotFaults) {
  auto facts = factsOf("sigmask");
  auto blocked = [&](const std::string& thread, std::initializer_list<int> signals) {
    const auto mask = std::stoull(facts[thread], nullptr, 16);
    return std::count_if(signals.begin(), signals.end(),
                         [&](int s) { return mask >> (s - 1) & 1; });
  };
  const auto async = {SIGINT, SIGTERM, SIGPIPE, SIGCHLD};
  const auto faults = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
  EXPECT_EQ(blocked("worker", async), 4);
  EXPECT_EQ(blocked("worker", faults), 0);
  // The host's main thread stays the destination of process-directed signals.
  EXPECT_EQ(blocked("main", async) + blocked("main", faults), 0);
}

// A host process on the storage of the test; afterwards this process (which has not used the
// library yet) starts on the same storage, as the next launch would, and delivers what is left.
class PipelineProcess : public testing::ServiceTest {
 protected:
  std::set<int> deliveredSeqs(const std::string& key) {
    EXPECT_TRUE(start());
    std::set<int> seqs;
    for (const auto& stored : arrived(key)) seqs.insert(dataOf(stored.event)["seq"].get<int>());
    return seqs;
  }
};

TEST_F(PipelineProcess, HostReturningFromMainWithABatchInFlightExitsAtOnce) {
  service_.setFault("/partner/event/log", {.kind = tools::Fault::Kind::delay, .delaySeconds = 5});
  auto host = startHost({"exit-inflight", dir_.path(), service_.baseUrl(), "25"});
  ASSERT_EQ(host.readLine(30s), "logged");
  ASSERT_TRUE(service_.waitForRequests("/partner/event/log", 1, 30s));
  std::ofstream(dir_.path() + "/go").put('\n');  // the batch is at the (slow) service now
  ASSERT_EQ(host.readLine(30s), "returning");
  const auto returned = std::chrono::steady_clock::now();
  const auto status = host.wait(5s);
  EXPECT_LT(std::chrono::steady_clock::now() - returned, 1s);
  ASSERT_TRUE(exitedCleanly(status)) << status.value_or(-1);
  service_.clearAllFaults();
  EXPECT_EQ(deliveredSeqs("before_exit").size(), 25u);
}

TEST_F(PipelineProcess, EventsSurviveSigkillRightAfterLogEventReturns) {
  auto host = startHost({"log-forever", dir_.path()});
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
  const auto seqs = deliveredSeqs("durable");
  for (int seq = 0; seq <= lastLogged; ++seq)
    ASSERT_TRUE(seqs.count(seq)) << "event " << seq << " lost (last logged " << lastLogged << ")";
}

// Started while its file descriptors were used up: once they are back, the same process
// authenticates as the device it always was, uploads everything once and captures crashes.
TEST_F(PipelineProcess, APassingShortageAtStartStopsNothingForLong) {
  auto host = startHost({"start-in-shortage", dir_.path(), service_.baseUrl()});
  EXPECT_EQ(host.readLine(90s), "capture=on");
  EXPECT_EQ(host.readLine(30s), "delivered");
  EXPECT_TRUE(exitedCleanly(host.wait(10s)));
  std::set<std::string> devices;
  for (const auto& request : service_.requests("/public/partner/auth"))
    devices.insert(request.json().value("deviceId", "?"));
  EXPECT_EQ(devices.size(), 1u);
  for (const char* key : {"in_shortage", "after_shortage"}) {
    std::set<int> seqs;
    for (const auto& [id, stored] : service_.events()) {
      if (stored.event["key"] != key) continue;
      EXPECT_EQ(stored.timesReceived, 1);
      seqs.insert(dataOf(stored.event)["seq"].get<int>());
    }
    EXPECT_EQ(seqs.size(), 5u) << key;
  }
  EXPECT_EQ(service_.duplicateEventCount(), 0u);
}

// A short-lived app that names itself and its data folder, logs to its own sink and flushes
// before it returns from main: everything arrives before it ends, under its identity, and its
// log carries levels but never a whole session token.
TEST_F(PipelineProcess, AShortLivedAppDeliversEverythingBeforeItEndsUnderItsOwnIdentity) {
  const int count = 120;  // more than two batches
  auto host = startHost({"ship", dir_.path(), service_.baseUrl(), std::to_string(count)});
  EXPECT_EQ(host.readLine(90s), "flushed=1");
  const auto sinkFlush = host.readLine(30s);
  ASSERT_TRUE(sinkFlush && sinkFlush->starts_with("sink-flush-ms="));
  EXPECT_LT(std::stol(sinkFlush->substr(14)), 2000) << "a flush on the sink's thread waited";
  EXPECT_EQ(host.readLine(5s), std::nullopt) << "development lines went to standard output";
  ASSERT_TRUE(exitedCleanly(host.wait(10s)));

  std::set<int> seqs;
  for (const auto& [id, stored] : service_.events()) {
    if (stored.event["key"] != "shipped") continue;
    EXPECT_EQ(stored.timesReceived, 1);
    seqs.insert(dataOf(stored.event)["seq"].get<int>());
  }
  EXPECT_EQ(seqs.size(), static_cast<std::size_t>(count));
  const auto auths = service_.requests("/public/partner/auth");
  ASSERT_FALSE(auths.empty());
  EXPECT_EQ(auths[0].json()["appId"], "com.example.ship");
  const auto devices = service_.requests("/partner/device-info/update");
  ASSERT_FALSE(devices.empty());
  EXPECT_EQ(devices[0].json()["appVersion"], "2.5.0");
  EXPECT_TRUE(std::filesystem::exists(dir_.path() + "/data/preferences.sqlite3"));
  EXPECT_TRUE(std::filesystem::exists(dir_.path() + "/data/Documents/tavrel_mmp_1.sqlite3"));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/xdg"));

  std::ifstream sinkLog(dir_.path() + "/sink.log");
  std::map<std::string, int> levelOf;
  std::string all;
  for (std::string line; std::getline(sinkLog, line);) {
    ASSERT_TRUE(line.size() > 7 && line.substr(1, 6) == " MMP: ") << line;
    levelOf.emplace(line.substr(7), line[0] - '0');
    all += line + "\n";
  }
  // each line's level: the tracker's inner steps and request bodies sit below information
  for (const auto& [text, level] :
       std::vector<std::pair<std::string, int>>{{"eventTotalCounter >= syncEventCount", 3},
                                                {"---- PARAMS ----", 3},
                                                {"tracking event: shipped", 2},
                                                {"----- sync successful -----", 2}}) {
    EXPECT_EQ(levelOf.count(text) ? levelOf[text] : -1, level) << text;
  }
  std::string token;  // of the session the batches went with (one may have left before it)
  for (const auto& request : service_.requests("/partner/event/log"))
    token = request.header("authorization").value_or(token);
  ASSERT_GE(token.size(), 16u);
  EXPECT_EQ(all.find(token), std::string::npos) << "a whole session token in a line";
  EXPECT_NE(all.find(token.substr(0, 6) + "…"), std::string::npos) << "the token's prefix";
}

}  // namespace
}  // namespace tavrel_mmp
