#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

struct HostRun {
  bool ended = false;
  int status = -1;
  std::map<std::string, std::string> facts;  // "key=value" lines
  bool announcedExit = false;                // printed "exiting"
  std::chrono::milliseconds exitDuration{};  // from "exiting" to the end of the process

  std::string fact(const std::string& key) const {
    const auto found = facts.find(key);
    return found == facts.end() ? "(missing)" : found->second;
  }
};

// Runs exit_host in `mode` with default signal dispositions and an empty signal mask.
HostRun runHost(const std::string& mode) {
  HostRun run;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigfillset(&defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const std::string path = tavrel_mmp::testing::testHostPath("exit_host");
  char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(mode.c_str()), nullptr};
  std::vector<std::string> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    environment.emplace_back(*variable);
  }
#ifdef __SANITIZE_THREAD__
  // ThreadSanitizer otherwise waits a second at exit, which would swamp the measurement.
  std::erase_if(environment, [](const std::string& v) { return v.starts_with("TSAN_OPTIONS="); });
  const char* options = std::getenv("TSAN_OPTIONS");
  environment.push_back(std::string("TSAN_OPTIONS=") + (options ? options : "") +
                        " atexit_sleep_ms=0");
#endif
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    return run;
  }

  // The pipe reaches end-of-file once the process (all its threads) is gone.
  std::string output;
  std::optional<std::chrono::steady_clock::time_point> announced;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{out[0], POLLIN, 0};
    if (left <= 0ms || ::poll(&readable, 1, static_cast<int>(left.count())) != 1) break;
    char buffer[512];
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) {
      run.ended = n == 0;
      break;
    }
    output.append(buffer, static_cast<std::size_t>(n));
    if (!announced && output.find("exiting\n") != std::string::npos) {
      announced = std::chrono::steady_clock::now();
    }
  }
  const auto end = std::chrono::steady_clock::now();
  ::close(out[0]);
  if (!run.ended) ::kill(pid, SIGKILL);
  ::waitpid(pid, &run.status, 0);

  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) run.facts[line.substr(0, equals)] = line.substr(equals + 1);
    run.announcedExit = run.announcedExit || line == "exiting";
  }
  if (announced) {
    run.exitDuration = std::chrono::duration_cast<std::chrono::milliseconds>(end - *announced);
  }
  return run;
}

void expectPromptCleanExit(const HostRun& run) {
  ASSERT_TRUE(run.ended) << "the host did not end";
  ASSERT_TRUE(WIFEXITED(run.status)) << "ended by signal " << WTERMSIG(run.status);
  EXPECT_EQ(WEXITSTATUS(run.status), 0);
  ASSERT_TRUE(run.announcedExit);
  EXPECT_LT(run.exitDuration, 1000ms);
}

TEST(ProcessExitTest, RequestsInFlightDoNotHoldUpExit) {
  for (const std::string mode : {"inflight-exit", "inflight-return"}) {
    SCOPED_TRACE(mode);
    const HostRun run = runHost(mode);
    expectPromptCleanExit(run);
    // The host's server never answers: every request was still in flight.
    EXPECT_EQ(run.fact("completed"), "0");
  }
}

TEST(ProcessExitTest, ExitWhileCompletionsKeepSendingIsClean) {
  for (int attempt = 0; attempt < 10; ++attempt) expectPromptCleanExit(runHost("busy-exit"));
}

TEST(ProcessExitTest, AHostThatNeverCallsTheLibraryStartsNoThread) {
  const HostRun run = runHost("untouched");
  ASSERT_TRUE(run.ended);
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 0);
  EXPECT_EQ(run.fact("threads"), "1");
}

TEST(ProcessExitTest, TheWorkerBlocksAsynchronousSignalsButNotFaults) {
  const HostRun run = runHost("sigmask");
  ASSERT_TRUE(run.ended);
  ASSERT_TRUE(WIFEXITED(run.status));
  ASSERT_EQ(WEXITSTATUS(run.status), 0);
  EXPECT_EQ(run.fact("worker_blocks_all_async"), "1");
  EXPECT_EQ(run.fact("worker_blocks_any_fault"), "0");
  // The host's main thread stays the destination of process-directed signals.
  EXPECT_EQ(run.fact("main_blocks_any_async"), "0");
  EXPECT_EQ(run.fact("main_blocks_any_fault"), "0");
  EXPECT_GE(std::stoi(run.fact("blocking_all_async")), 1);
}

}  // namespace
