#include "platform/library_thread.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>
#include <system_error>

namespace tavrel_mmp::platform {
namespace {

constexpr int kBackgroundNice = 10;

}  // namespace

void ensureProcessSetup() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Keep OpenSSL from tearing itself down in an atexit handler while a transfer may still be
    // running on a library thread; the process is ending anyway.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

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
      body();
    }).detach();
  } catch (const std::system_error&) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return started;
}

}  // namespace tavrel_mmp::platform
