#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>

#include "support/child_process.h"
#include "support/test_support.h"

namespace tavrel_mmp {
namespace {

using namespace std::chrono_literals;

struct HostRun {
  std::map<std::string, std::string> facts;                     // its "key=value" lines
  std::optional<std::chrono::steady_clock::duration> exitTook;  // from "exiting" to its end
};

HostRun runExitHost(const std::string& mode) {
  testing::ChildProcess host(testing::testHostPath("exit_host"), {mode});
  HostRun run;
  std::optional<std::chrono::steady_clock::time_point> exiting;
  // Output ends once the process, every thread of it, is gone.
  while (const auto line = host.readLine(30s)) {
    if (*line == "exiting") exiting = std::chrono::steady_clock::now();
    if (const auto equals = line->find('='); equals != std::string::npos)
      run.facts[line->substr(0, equals)] = line->substr(equals + 1);
  }
  if (exiting) run.exitTook = std::chrono::steady_clock::now() - *exiting;
  const auto status = host.wait(5s);
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "not a clean exit";
  return run;
}

TEST(ProcessExit, RequestsInFlightDoNotHoldUpExit) {
  HostRun run = runExitHost("inflight");
  EXPECT_EQ(run.facts["completed"], "0") << "the requests were meant to be still in flight";
  ASSERT_TRUE(run.exitTook);
  EXPECT_LT(*run.exitTook, 1s);
}

TEST(ProcessExit, AHostThatNeverCallsTheLibraryStartsNoThread) {
  HostRun run = runExitHost("untouched");
  EXPECT_EQ(run.facts["threads"], "1");
}

TEST(ProcessExit, LibraryThreadsBlockAsynchronousSignalsButNotFaults) {
  HostRun run = runExitHost("sigmask");
  auto blocked = [&](const std::string& thread, std::initializer_list<int> signals) {
    const auto mask = std::stoull(run.facts[thread], nullptr, 16);
    return std::count_if(signals.begin(), signals.end(),
                         [&](int s) { return mask >> (s - 1) & 1; });
  };
  const auto async = {SIGINT, SIGTERM, SIGPIPE, SIGCHLD};
  const auto faults = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
  EXPECT_EQ(blocked("worker", async), 4);
  EXPECT_EQ(blocked("worker", faults), 0);
  // The host's main thread stays the destination of process-directed signals.
  EXPECT_EQ(blocked("main", async), 0);
  EXPECT_EQ(blocked("main", faults), 0);
}

}  // namespace
}  // namespace tavrel_mmp
