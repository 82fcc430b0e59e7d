// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.
#include "crash/signal/watch_bell.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tavrel_mmp {
namespace {

std::atomic<int> wakeFd{-1};
std::atomic<pid_t> watchPid{0};
std::atomic<bool> rung{false};

}  // namespace

void WatchBell::connect(int writeFd) {
  if (const int earlier = wakeFd.exchange(writeFd); earlier >= 0) ::close(earlier);
  watchPid.store(writeFd >= 0 ? ::getpid() : 0);
}

bool WatchBell::connected() {
  return watchPid.load() == ::getpid();
}

void WatchBell::ring() {
  if (!connected() || rung.exchange(true)) return;
  const int saved = errno;
  const char byte = 1;
  (void)!::write(wakeFd.load(), &byte, 1);
  errno = saved;
}

void WatchBell::heard() {
  rung.store(false);
}

}  // namespace tavrel_mmp
