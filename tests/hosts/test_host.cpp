// A host application the process-level tests start as a child. One line of output at a time.
//   crash-<how> DIR          handlers of its own (none for "segv-bare"), crash capture twice (as
//                            repeated start-ups do), then dies: segv, segv-bare, segv-oneshot,
//                            segv-host-after, overflow, abort, throw, throw-int, throw-chained,
//                            reporter-exit (exits 70), reporter-raise, two-threads (exits 70),
//                            two-threads-unresolved, two-signals (exits 70)
//   survive-<how> DIR        a fault its own handler resolves, then "survived" and exits 0:
//                            guard-return, guard-return-installed-after, guard-return-oneshot,
//                            jump-out (twice), jump-out-keeping-mask, jump-out-keeping-mask-exit
//                            (exit at once), jump-out-_exit (a call into the library, _exit)
//   hold-then-crash DIR      crash capture, "ready", waits for DIR/go, then dies by SIGSEGV
//   import DIR               crash capture: "imported=<stored crash record>"
//   fork-child-crash DIR [setup]  a forked child dies by SIGSEGV ("setup": after crash capture
//                            of its own): "child died by N"
//   late-documents DIR setup|check  crash capture while DIR/Later is missing, then it appears,
//                            then setup or check, then dies by SIGSEGV
//   untouched                never calls the library: "threads=N"
//   sigmask                  "main=" and "worker=": blocked-signal masks (hex) of the main
//                            thread and the transport's worker
//   log-forever DIR          logs events until killed, "logged N" after each
//   exit-inflight DIR URL N  authenticates, logs N events, "logged", waits for DIR/go,
//                            "returning", then returns from main at once
//   start-in-shortage DIR URL  starts and logs 5 events while its file descriptors are used
//                            up, gets them back, logs 5 more: "capture=on|off" (a crash file
//                            of its own), then "delivered" once nothing is pending
//   consent DIR URL STATE    the consent given as STATE ("pending", "granted", "denied") and a
//                            global property "build": "7", starts, logs 2 events: "delivered"
//                            once they left when granted, "recorded" otherwise
//   ship DIR URL N           a short-lived app through the C interface: its own identity and data
//                            folder DIR/data, a log sink writing "<level> <line>" lines to
//                            DIR/sink.log (it throws once and calls the library back), N events,
//                            "flushed=<result>" and "sink-flush-ms=<ms>", then returns at once
//   shortage DIR URL         sends requests to URL while no thread can start, then while the
//                            descriptors are used up, and after each shortage: "<path> calls=N
//                            body|error caller|worker" for each request
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "crash/crash_watch.h"
#include "crash/crashlytics.h"
#include "events/database_helper.h"
#include "secret/secret_generator.h"
#include "settings/storage_helper.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/platform/curl_transport.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/main_loop.h"
#include "tavrel_mmp/tavrel_mmp_c.h"

namespace tavrel_mmp {
namespace {

using namespace std::chrono_literals;

void say(const std::string& line) {
  const std::string out = line + "\n";
  (void)!::write(STDOUT_FILENO, out.data(), out.size());
}

// Handlers run in signal context: no allocation there.
void sayInHandler(const char* text) {
  (void)!::write(STDOUT_FILENO, text, std::strlen(text));
  (void)!::write(STDOUT_FILENO, "\n", 1);
}

// One with siginfo and one without, so both ways of calling an earlier handler are used.
void ownSegvHandler(int, siginfo_t*, void*) {
  sayInHandler("previous SIGSEGV handler ran");
}
void ownAbortHandler(int) {
  sayInHandler("previous SIGABRT handler ran");
}

// Opaque to the optimiser, so that neither the null write nor the recursion is removed.
int* volatile nullTarget = nullptr;
// The fault itself, out of UBSan's and TSan's sight: a null store is exactly what this host
// means to do, from two threads at once in one case.
__attribute__((noinline, no_sanitize("undefined", "thread"))) void storeThroughNull(int value) {
  *nullTarget = value;
}
volatile bool stopRecursing = false;

__attribute__((noinline)) int recurse(int depth) {
  volatile char frame[2048];
  frame[0] = static_cast<char>(depth);
  if (stopRecursing) return frame[0];
  return recurse(depth + 1) + frame[0];
}

// A page a runtime keeps inaccessible until first touched.
char* volatile guardPage = nullptr;
long pageSize() {
  return ::sysconf(_SC_PAGESIZE);
}
void mapGuardPage() {
  guardPage = static_cast<char*>(
      ::mmap(nullptr, pageSize(), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
}
bool openGuardPage(const siginfo_t* info) {
  if (info->si_addr != guardPage) return false;
  ::mprotect(guardPage, pageSize(), PROT_READ | PROT_WRITE);
  return true;
}

// Resolves a touch of the guard page and returns; anything else is not its business.
void guardPageHandler(int, siginfo_t* info, void*) {
  if (openGuardPage(info)) return sayInHandler("guard page opened");
  sayInHandler("unexpected fault");
  ::_exit(71);
}

sigjmp_buf probeTarget;
jmp_buf maskKeepingTarget;
// An address probe: the faulting access is abandoned.
void jumpOutHandler(int) {
  ::siglongjmp(probeTarget, 1);
}
// The same after a while, so that the crash watch's first looks see it inside.
void slowJumpOutHandler(int) {
  const timespec pause{0, 20'000'000};
  ::nanosleep(&pause, nullptr);
  ::siglongjmp(probeTarget, 1);
}
// The same with a jump that leaves the signal blocked.
void jumpOutKeepingMaskHandler(int) {
  ::longjmp(maskKeepingTarget, 1);
}

// Another crash reporter: its own report, then the process ends.
void reporterExitHandler(int, siginfo_t*, void*) {
  sayInHandler("other reporter wrote its report");
  ::_exit(70);
}
void reporterRaiseHandler(int) {
  sayInHandler("other reporter wrote its report");
  ::signal(SIGSEGV, SIG_DFL);
  ::raise(SIGSEGV);
}

// Installed after ours, keeping ours as its earlier one.
struct sigaction chainedEarlier {};
void chainingSegvHandler(int signal, siginfo_t* info, void* context) {
  sayInHandler("host SIGSEGV handler ran");
  chainedEarlier.sa_sigaction(signal, info, context);
}
std::terminate_handler chainedTerminate = nullptr;

// Two threads inside the handler at once: the guard page's toucher is resolved and goes on; the
// null writer's fault ends the process once the other is on its way, as a crash reporter would.
std::atomic<int> threadsInside{0};
std::atomic<bool> guardToucherResumed{false};
void bothInside() {
  ++threadsInside;
  while (threadsInside.load() < 2) {
  }
}
void twoThreadsHandler(int, siginfo_t* info, void*) {
  bothInside();
  if (openGuardPage(info)) return;
  while (!guardToucherResumed.load()) {
  }
  sayInHandler("other reporter wrote its report");
  ::_exit(70);
}
void twoThreadsUnresolvedHandler(int, siginfo_t*, void*) {
  if (threadsInside.load() < 2) bothInside();
}

// One thread's fault waits inside the handler; another thread's SIGBUS ends the process
// through its reporter.
std::atomic<bool> firstWaiting{false};
void waitingHandler(int, siginfo_t*, void*) {
  firstWaiting = true;
  for (;;) ::pause();
}
void busFromEmptyMapping() {
  const int fd = ::memfd_create("empty", MFD_CLOEXEC);
  const auto* page =
      static_cast<volatile char*>(::mmap(nullptr, pageSize(), PROT_READ, MAP_SHARED, fd, 0));
  (void)page[0];
}

void installSegvHandler(void (*handler)(int, siginfo_t*, void*), int flags = 0,
                        int signal = SIGSEGV) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | flags;
  ::sigaction(signal, &action, nullptr);
}
void installPlainSegvHandler(void (*handler)(int)) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = handler;
  ::sigaction(SIGSEGV, &action, nullptr);
}

bool crashFileHoldsARecord(const std::string& documents) {
  for (const auto& entry : std::filesystem::directory_iterator(documents)) {
    if (entry.path().filename().string().starts_with("tavrel_mmp_crash.") &&
        entry.file_size() > 0) {
      return true;
    }
  }
  return false;
}

// Faults the host resolves; the process goes on and ends normally.
int survive(const std::string& how, const std::string& directory) {
  const auto clock = std::make_shared<testing::ManualClock>();
  mapGuardPage();
  if (how == "guard-return") {
    installSegvHandler(&guardPageHandler);
  } else if (how == "guard-return-oneshot") {
    installSegvHandler(&guardPageHandler, SA_RESETHAND);
  } else if (how == "jump-out") {
    installPlainSegvHandler(&jumpOutHandler);
  } else if (how == "jump-out-_exit") {
    installPlainSegvHandler(&slowJumpOutHandler);
  } else if (how.starts_with("jump-out-keeping-mask")) {
    installPlainSegvHandler(&jumpOutKeepingMaskHandler);
    platform::installClock(clock);
  }
  Crashlytics::setup();
  if (how == "guard-return-installed-after") installSegvHandler(&guardPageHandler);
  Crashlytics::setup();

  if (how.starts_with("guard-return")) {
    guardPage[0] = 1;
  } else if (how == "jump-out") {
    for (int i = 1; i <= 2; ++i) {
      if (sigsetjmp(probeTarget, 1) == 0) {
        storeThroughNull(i);
      } else {
        say("jumped out " + std::to_string(i));
      }
    }
  } else if (how == "jump-out-_exit") {
    if (sigsetjmp(probeTarget, 1) == 0) storeThroughNull(1);
    say("jumped out");
    Nimbrel::isTrackingEnabled();
    say("survived");
    ::_exit(0);
  } else if (how.starts_with("jump-out-keeping-mask")) {
    if (setjmp(maskKeepingTarget) == 0) storeThroughNull(1);
    say("jumped out");
    if (how.ends_with("-exit")) return say("survived"), 0;
    // The watch has seen the round before the clock moves on.
    CrashWatch::settle();
    clock->advance(CrashWatch::kLastResortSeconds + 1);
    const bool cancelled =
        testing::waitUntil([&] { return !crashFileHoldsARecord(directory + "/Documents"); });
    say(cancelled ? "record cancelled" : "record still pending");
  } else {
    return 2;
  }
  say("survived");
  return 0;
}

int crash(const std::string& how) {
  // A sanitizer reports on standard error; the test reads standard output only.
  ::dup2(STDOUT_FILENO, STDERR_FILENO);
  mapGuardPage();
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  if (how == "segv" || how == "overflow") {
    installSegvHandler(&ownSegvHandler);
  } else if (how == "segv-oneshot") {
    installSegvHandler(&ownSegvHandler, SA_RESETHAND);
  } else if (how == "reporter-exit") {
    installSegvHandler(&reporterExitHandler);
  } else if (how == "reporter-raise") {
    installPlainSegvHandler(&reporterRaiseHandler);
  } else if (how == "two-threads") {
    installSegvHandler(&twoThreadsHandler);
  } else if (how == "two-threads-unresolved") {
    installSegvHandler(&twoThreadsUnresolvedHandler);
  } else if (how == "two-signals") {
    installSegvHandler(&waitingHandler);
    installSegvHandler(&reporterExitHandler, 0, SIGBUS);
  } else if (how != "segv-bare" && how != "segv-host-after") {
    action.sa_handler = &ownAbortHandler;
    ::sigaction(SIGABRT, &action, nullptr);
    std::set_terminate([] {
      say("previous terminate handler ran");
      std::abort();
    });
  }
  Crashlytics::setup();
  Crashlytics::setup();
  // Repeated start-ups after the host put handlers of its own in front of ours.
  if (how == "segv-host-after") {
    action.sa_sigaction = &chainingSegvHandler;
    action.sa_flags = SA_SIGINFO;
    ::sigaction(SIGSEGV, &action, &chainedEarlier);
    Crashlytics::setup();
  } else if (how == "throw-chained") {
    chainedTerminate = std::set_terminate([] {
      say("host terminate handler ran");
      chainedTerminate();
    });
    Crashlytics::setup();
  }

  if (how.starts_with("segv") || how.starts_with("reporter")) storeThroughNull(1);
  if (how == "overflow") return recurse(0);
  if (how == "abort") std::abort();
  if (how.starts_with("throw") && how != "throw-int")
    throw std::runtime_error("boom from crash host");
  if (how == "throw-int") throw 42;
  if (how == "two-threads") {
    std::thread toucher([] {
      guardPage[0] = 1;
      guardToucherResumed = true;
    });
    std::thread writer([] { storeThroughNull(2); });
    toucher.join();
    writer.join();
  }
  if (how == "two-signals") {
    std::thread([] { storeThroughNull(1); }).detach();
    while (!firstWaiting) {
    }
    busFromEmptyMapping();
  }
  if (how == "two-threads-unresolved") {
    std::thread first([] { storeThroughNull(1); });
    std::thread second([] { storeThroughNull(2); });
    first.join();
    second.join();
  }
  return 3;
}

// Two instances of one app: this one holds its crash file while another starts, then crashes.
int holdThenCrash(const std::string& directory) {
  Crashlytics::setup();
  say("ready");
  const std::string go = directory + "/go";
  if (!testing::waitUntil([&] { return ::access(go.c_str(), F_OK) == 0; }, 60s)) return 4;
  storeThroughNull(1);
  return 3;
}

// A child forked without exec crashes; with "setup" it starts crash capture of its own first.
int forkChildCrash(bool childSetup) {
  Crashlytics::setup();
  const pid_t child = ::fork();
  if (child == 0) {
    if (childSetup) Crashlytics::setup();
    storeThroughNull(1);
    ::_exit(3);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  say(WIFSIGNALED(status) ? "child died by " + std::to_string(WTERMSIG(status))
                          : "child exited " + std::to_string(WEXITSTATUS(status)));
  return 0;
}

// Crash capture starts while the documents directory cannot be used yet, and is ready after
// the directory appears and the next setup or check.
int lateDocuments(const std::string& directory, const std::string& then) {
  const std::string later = directory + "/Later";
  platform::installDocumentsDirectory(platform::makeFixedDocumentsDirectory(later));
  Crashlytics::setup();
  ::mkdir(later.c_str(), 0700);
  if (then == "setup") Crashlytics::setup();
  if (then == "check") Crashlytics::check();
  storeThroughNull(1);
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

// Waits until the main loop ran everything posted before this call.
void settleMainLoop() {
  auto ran = std::make_shared<std::atomic<bool>>(false);
  platform::mainLoop().post([ran] { *ran = true; });
  testing::waitUntil([&] { return ran->load(); }, 30s);
}

int startInShortage(const std::string& directory, const std::string& url) {
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  const rlimit few{256, files.rlim_max};
  ::setrlimit(RLIMIT_NOFILE, &few);
  std::vector<int> held;
  for (int fd; (fd = ::dup(STDOUT_FILENO)) >= 0;) held.push_back(fd);
  Nimbrel::intSDK("HOST", tools::makeAppSecret(url, "HOST"), std::make_shared<NimbrelOptions>());
  for (int i = 0; i < 5; ++i) Nimbrel::logEvent("in_shortage", PropertyDictionary{{"seq", i}});
  settleMainLoop();  // the library tried what it could meanwhile
  for (const int fd : held) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &files);

  for (int i = 0; i < 5; ++i) Nimbrel::logEvent("after_shortage", PropertyDictionary{{"seq", i}});
  const bool delivered = testing::waitUntil([] { return testing::pendingEventCount() == 0; }, 60s);
  const std::string prefix = "tavrel_mmp_crash." + std::to_string(::getpid()) + ".";
  bool capture = false;
  for (const auto& entry : std::filesystem::directory_iterator(directory + "/Documents"))
    capture = capture || entry.path().filename().string().starts_with(prefix);
  say(std::string("capture=") + (capture ? "on" : "off"));
  if (delivered) say("delivered");
  return 0;
}

int decideConsent(const std::string& url, const std::string& state) {
  tavrel_mmp_set_consent(state.c_str());
  Nimbrel::setGlobalProperties({{"build", "7"}});
  Nimbrel::intSDK("HOST", tools::makeAppSecret(url, "HOST"), std::make_shared<NimbrelOptions>());
  for (int i = 0; i < 2; ++i) Nimbrel::logEvent("before_restart", PropertyDictionary{{"seq", i}});
  if (state != "granted") return settleMainLoop(), say("recorded"), 0;
  if (testing::waitUntil([] { return testing::pendingEventCount() == 0; }, 60s)) say("delivered");
  return 0;
}

// What the log sink of the "ship" host saw; it runs on one library thread.
struct SinkLog {
  std::mutex mutex;
  std::ofstream file;
  int calls = 0;
  long flushMs = -1;
  bool sawSyncSuccess = false;
};

void shipSink(int level, const char* line, void* user) {
  auto& log = *static_cast<SinkLog*>(user);
  std::string text(line);
  for (std::size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, "\\n");
  int call = 0;
  {
    std::lock_guard<std::mutex> lock(log.mutex);
    log.file << level << ' ' << text << '\n' << std::flush;
    log.sawSyncSuccess = log.sawSyncSuccess || text.find("sync successful") != std::string::npos;
    call = ++log.calls;
  }
  if (call == 1) throw std::runtime_error("a sink that fails");
  if (text.find("tracking event: shipped") == std::string::npos || log.flushMs >= 0) return;
  // Called back from the sink's thread: answered at once, never a wait on itself.
  const auto began = std::chrono::steady_clock::now();
  tavrel_mmp_flush(20'000);
  tavrel_mmp_log_event("from_sink", nullptr);
  std::lock_guard<std::mutex> lock(log.mutex);
  log.flushMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - began)
                                      .count());
}

int ship(const std::string& directory, const std::string& url, int count) {
  ::setenv("XDG_DATA_HOME", (directory + "/xdg").c_str(), 1);  // where nothing may land
  auto& log = *new SinkLog;                                    // the sink's thread outlives main
  log.file.open(directory + "/sink.log");
  tavrel_mmp_set_log_sink(&shipSink, &log);
  const std::string options = R"({"showLog":true,"bundleId":"com.example.ship",)"
                              R"("appVersion":"2.5.0","dataDirectory":")" +
                              directory + R"(/data"})";
  tavrel_mmp_init("HOST", tools::makeAppSecret(url, "HOST").c_str(), options.c_str());
  for (int i = 0; i < count; ++i) {
    tavrel_mmp_log_event("shipped", ("{\"seq\":" + std::to_string(i) + "}").c_str());
  }
  say("flushed=" + std::to_string(tavrel_mmp_flush(60'000)));
  testing::waitUntil([&] {
    std::lock_guard<std::mutex> lock(log.mutex);
    return log.sawSyncSuccess && log.flushMs >= 0;
  });
  std::lock_guard<std::mutex> lock(log.mutex);
  say("sink-flush-ms=" + std::to_string(log.flushMs));
  return 0;
}

int run(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "untouched") return say("threads=" + statusField("/proc/self/status", "Threads")), 0;
  if (mode == "sigmask") return reportSignalMasks();
  if (argc < 3) return 2;
  const std::string directory = argv[2];
  if (mode == "ship" && argc == 5) return ship(directory, argv[3], std::atoi(argv[4]));
  testing::installIsolatedPlatform(directory, "com.tavrel.host");
  if (mode.starts_with("crash-")) return crash(mode.substr(6));
  if (mode.starts_with("survive-")) return survive(mode.substr(8), directory);
  if (mode == "hold-then-crash") return holdThenCrash(directory);
  if (mode == "fork-child-crash")
    return forkChildCrash(argc > 3 && std::string(argv[3]) == "setup");
  if (mode == "late-documents" && argc == 4) return lateDocuments(directory, argv[3]);
  if (mode == "import") {
    Crashlytics::setup();
    return say("imported=" + StorageHelper::shared().getValue("TavrelMMP_last_crash").value_or("")),
           0;
  }
  if (mode == "shortage" && argc == 4) return sendThroughShortages(argv[3]);
  if (mode == "consent" && argc == 5) return decideConsent(argv[3], argv[4]);
  if (mode == "start-in-shortage" && argc == 4) return startInShortage(directory, argv[3]);
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
