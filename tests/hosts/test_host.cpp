// A host application the process-level tests start as a child. One line of output at a time.
//   crash-<how> DIR          handlers of its own (none for "segv-bare"), crash capture twice (as
//                            repeated start-ups do), then dies: segv, segv-bare, overflow,
//                            abort, throw, throw-int
//   untouched                never calls the library: "threads=N"
//   sigmask                  "main=" and "worker=": blocked-signal masks (hex) of the main
//                            thread and the transport's worker
//   log-forever DIR          logs events until killed, "logged N" after each
//   exit-inflight DIR URL N  authenticates, logs N events, "logged", waits for DIR/go,
//                            "returning", then returns from main at once
//   shortage DIR URL         sends requests to URL while no thread can start, then while the
//                            descriptors are used up, and after each shortage: "<path> calls=N
//                            body|error caller|worker" for each request
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>
#include <thread>

#include "crash/crashlytics.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"

namespace tavrel_mmp {
namespace {

using namespace std::chrono_literals;

void say(const std::string& line) {
  const std::string out = line + "\n";
  (void)!::write(STDOUT_FILENO, out.data(), out.size());
}

// One with siginfo and one without, so both ways of calling an earlier handler are used.
void ownSegvHandler(int, siginfo_t*, void*) {
  say("previous SIGSEGV handler ran");
}
void ownAbortHandler(int) {
  say("previous SIGABRT handler ran");
}

// Opaque to the optimiser, so that neither the null write nor the recursion is removed.
int* volatile nullTarget = nullptr;
volatile bool stopRecursing = false;

__attribute__((noinline)) int recurse(int depth) {
  volatile char frame[2048];
  frame[0] = static_cast<char>(depth);
  if (stopRecursing) return frame[0];
  return recurse(depth + 1) + frame[0];
}

int crash(const std::string& how) {
  // A sanitizer reports on standard error; the test reads standard output only.
  ::dup2(STDOUT_FILENO, STDERR_FILENO);
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  if (how == "segv" || how == "overflow") {
    action.sa_sigaction = &ownSegvHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    ::sigaction(SIGSEGV, &action, nullptr);
  } else if (how != "segv-bare") {
    action.sa_handler = &ownAbortHandler;
    ::sigaction(SIGABRT, &action, nullptr);
    std::set_terminate([] {
      say("previous terminate handler ran");
      std::abort();
    });
  }
  Crashlytics::setup();
  Crashlytics::setup();
  if (how.starts_with("segv")) *nullTarget = 1;
  if (how == "overflow") return recurse(0);
  if (how == "abort") std::abort();
  if (how == "throw") throw std::runtime_error("boom from crash host");
  if (how == "throw-int") throw 42;
  return 3;
}

std::string statusField(const std::string& path, const std::string& field) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(field + ":"))
      return line.substr(line.find_first_not_of(" \t", field.size() + 1));
  }
  return "";
}

int reportSignalMasks() {
  // A bound socket that does not listen: the request fails fast, on the worker.
  static std::atomic<long> workerTid{0};
  int port = 0;
  testing::boundLoopbackSocket(port);
  platform::httpTransport().send({.url = "http://127.0.0.1:" + std::to_string(port) + "/"},
                                 [](auto, auto) { workerTid = ::syscall(SYS_gettid); });
  if (!testing::waitUntil([] { return workerTid != 0; })) return 3;
  for (const auto& [who, tid] :
       {std::pair<std::string, long>{"main", ::getpid()}, {"worker", workerTid.load()}}) {
    say(who + "=" + statusField("/proc/self/task/" + std::to_string(tid) + "/status", "SigBlk"));
  }
  return 0;
}

int sendThroughShortages(const std::string& url) {
  std::mutex mutex;
  std::map<std::string, std::pair<int, std::string>> outcomes;  // path: calls, the last outcome
  std::vector<std::string> order;
  auto send = [&](platform::HttpTransport& transport, const std::string& path,
                  std::function<void()> then = nullptr) {
    order.push_back(path);
    const auto caller = std::this_thread::get_id();
    transport.send({.url = url + path}, [&, path, caller, then](auto body, auto) {
      {
        std::lock_guard lock(mutex);
        auto& [calls, outcome] = outcomes[path];
        ++calls;
        outcome = std::string(body ? "body " : "error ") +
                  (std::this_thread::get_id() == caller ? "caller" : "worker");
      }
      if (then) then();
    });
  };
  auto settle = [&](const std::string& path) {
    testing::waitUntil(
        [&] {
          std::lock_guard lock(mutex);
          return outcomes.count(path) > 0;
        },
        20s);
  };

  // Threads first, while no exited thread has left a stack behind for the next to reuse: an
  // address-space limit just above what is mapped leaves no room for a new thread's stack.
  auto threadless = platform::makeCurlTransport();
  rlimit space{};
  ::getrlimit(RLIMIT_AS, &space);
  const rlimit tight{std::stoull(statusField("/proc/self/status", "VmSize")) * 1024 + (1 << 20),
                     space.rlim_max};
  ::setrlimit(RLIMIT_AS, &tight);
  send(*threadless, "/thread-refused", [&] { send(*threadless, "/sent-from-failure"); });
  ::setrlimit(RLIMIT_AS, &space);
  settle("/sent-from-failure");
  send(*threadless, "/thread-back");
  settle("/thread-back");

  auto transport = platform::makeCurlTransport();
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  const rlimit few{256, files.rlim_max};
  ::setrlimit(RLIMIT_NOFILE, &few);
  std::vector<int> held;
  for (int fd; (fd = ::dup(STDOUT_FILENO)) >= 0;) held.push_back(fd);
  for (const char* path : {"/no-descriptors", "/no-descriptors-again"}) {
    send(*transport, path);
    settle(path);
  }
  for (const int fd : held) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &files);
  for (const char* path : {"/descriptors-back", "/descriptors-back-again"}) {
    send(*transport, path);
    settle(path);
  }

  std::lock_guard lock(mutex);
  for (const std::string& path : order) {
    const auto& [calls, outcome] = outcomes[path];
    say(path + " calls=" + std::to_string(calls) + " " + outcome);
  }
  return 0;
}

int run(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "untouched") return say("threads=" + statusField("/proc/self/status", "Threads")), 0;
  if (mode == "sigmask") return reportSignalMasks();
  if (argc < 3) return 2;
  const std::string directory = argv[2];
  testing::installIsolatedPlatform(directory, "com.tavrel.host");
  if (mode.starts_with("crash-")) return crash(mode.substr(6));
  if (mode == "shortage" && argc == 4) return sendThroughShortages(argv[3]);
  if (mode == "log-forever") {
    for (int i = 0; i < 1'000'000; ++i) {
      Nimbrel::logEvent("durable", PropertyDictionary{{"seq", i}});
      say("logged " + std::to_string(i));
    }
    return 0;
  }
  if (mode == "exit-inflight" && argc == 5) {
    if (!testing::startAndAuthenticate("HOST", argv[3])) return 3;
    for (int i = 0; i < std::atoi(argv[4]); ++i)
      Nimbrel::logEvent("before_exit", PropertyDictionary{{"seq", i}});
    say("logged");
    // The test creates the file once the batch has reached the (slow) service.
    const std::string go = directory + "/go";
    if (!testing::waitUntil([&] { return ::access(go.c_str(), F_OK) == 0; }, 60s)) return 4;
    say("returning");
    return 0;
  }
  return 2;
}

}  // namespace
}  // namespace tavrel_mmp

int main(int argc, char** argv) {
  return tavrel_mmp::run(argc, argv);
}
