// Library threads on Linux. The background priority is set per thread, which only Linux offers
// (setpriority on a thread id); elsewhere it would lower the whole process.
#include "platform/library_thread.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <system_error>

namespace tavrel_mmp::platform {
namespace {

constexpr int kBackgroundNice = 10;

thread_local bool isLibraryThread = false;

}  // namespace

bool startLibraryThread(std::function<void()> body) {
  ensureProcessSetup();
  sigset_t blocked;
  sigfillset(&blocked);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS}) {
    sigdelset(&blocked, fault);
  }
  sigset_t previous;
  // The new thread inherits the mask in force when it is created.
  pthread_sigmask(SIG_SETMASK, &blocked, &previous);
  bool started = true;
  try {
    std::thread([body = std::move(body)] {
      // Background work yields to the host's threads when the cores are busy.
      ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kBackgroundNice);
      isLibraryThread = true;
      body();
    }).detach();
  } catch (const std::system_error&) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

bool onLibraryThread() {
  return isLibraryThread;
}

}  // namespace tavrel_mmp::platform
