// Child process for crash_test: installs handlers of its own, then crash capture (twice, as
// repeated start-ups do), then dies the way `mode` says.
//
//   crash_host <mode> <directory>
//   modes: segv, segv-bare (no handler of its own), overflow, abort, throw, throw-int

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "crash/crashlytics.h"
#include "support/test_support.h"

namespace {

void say(const char* line) {
  ::write(STDOUT_FILENO, line, std::strlen(line));
}

// One with siginfo and one without, so both ways of calling an earlier handler are used.
void ownSegvHandler(int, siginfo_t*, void*) {
  say("previous SIGSEGV handler ran\n");
}
void ownAbortHandler(int) {
  say("previous SIGABRT handler ran\n");
}
void ownTerminateHandler() {
  say("previous terminate handler ran\n");
  std::abort();
}

void installOwnHandlers(bool segv) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  if (segv) {
    action.sa_sigaction = &ownSegvHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    ::sigaction(SIGSEGV, &action, nullptr);
  } else {
    action.sa_handler = &ownAbortHandler;
    ::sigaction(SIGABRT, &action, nullptr);
    std::set_terminate(&ownTerminateHandler);
  }
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  // A sanitizer reports on standard error; the test reads standard output only.
  ::dup2(STDOUT_FILENO, STDERR_FILENO);
  tavrel_mmp::testing::installIsolatedPlatform(argv[2]);

  const bool segv = mode == "segv" || mode == "overflow";
  if (mode != "segv-bare") installOwnHandlers(segv);
  tavrel_mmp::Crashlytics::setup();
  tavrel_mmp::Crashlytics::setup();

  if (mode == "segv" || mode == "segv-bare") *nullTarget = 1;
  if (mode == "overflow") return recurse(0);
  if (mode == "abort") std::abort();
  if (mode == "throw") throw std::runtime_error("boom from crash host");
  if (mode == "throw-int") throw 42;
  return 3;
}
