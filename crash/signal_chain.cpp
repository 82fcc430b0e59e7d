#include "crash/signal_chain.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace tavrel_mmp {
namespace {

// Room for our handler and for the earlier one it calls (a sanitizer's report, say).
constexpr std::size_t kAlternateStackSize = 256 * 1024;

// Written before our action is installed for that signal, read from signal context.
struct sigaction previousActions[NSIG];
// Set while the earlier action runs: an earlier action that hands the signal back to us (it
// kept ours as its own predecessor) must not start the round again.
std::atomic<bool> handingOn[NSIG];
static_assert(std::atomic<bool>::is_always_lock_free);

bool isOurs(const struct sigaction& action, SignalAction ours) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == ours;
}

bool isIgnore(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN;
}

bool isDefault(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_DFL;
}

void restoreDefault(int signal) {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
}

}  // namespace

void SignalChain::ensureAlternateStack() {
  static std::atomic<bool> handedOut{false};
  stack_t current{};
  if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return;
  if (handedOut.exchange(true)) return;

  const long page = std::max(::sysconf(_SC_PAGESIZE), 4096L);
  const std::size_t size =
      std::max(kAlternateStackSize, static_cast<std::size_t>(4 * ::sysconf(_SC_MINSIGSTKSZ)));
  void* memory =
      ::mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    handedOut = false;
    return;
  }
  // A guard page below, so that a handler running out of room faults instead of writing over
  // other memory.
  ::mprotect(memory, page, PROT_NONE);
  stack_t ours{};
  ours.ss_sp = static_cast<char*>(memory) + page;
  ours.ss_size = size;
  ::sigaltstack(&ours, nullptr);
}

bool SignalChain::install(int signal, SignalAction action) {
  if (signal <= 0 || signal >= NSIG) return false;
  struct sigaction current {};
  if (::sigaction(signal, nullptr, &current) != 0) return false;
  if (isOurs(current, action)) return true;
  previousActions[signal] = current;

  struct sigaction ours {};
  ours.sa_sigaction = action;
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&ours.sa_mask);
  return ::sigaction(signal, &ours, nullptr) == 0;
}

bool SignalChain::previousIgnores(int signal, const siginfo_t* info) {
  if (signal <= 0 || signal >= NSIG || !isIgnore(previousActions[signal])) return false;
  // A fault the kernel reports, abort() and raise() end the process even when ignored; only a
  // signal from elsewhere is really ignored.
  return info != nullptr && info->si_code <= 0 && info->si_pid != ::getpid();
}

void SignalChain::handOn(int signal, siginfo_t* info, void* context) {
  if (signal <= 0 || signal >= NSIG) return;
  if (previousIgnores(signal, info)) return;
  const int savedErrno = errno;
  const struct sigaction previous = previousActions[signal];
  if (!isIgnore(previous) && !isDefault(previous) && !handingOn[signal].exchange(true)) {
    if ((previous.sa_flags & SA_RESETHAND) != 0) restoreDefault(signal);
    // Run it as the kernel would have: its own mask added to the current one.
    sigset_t saved;
    ::pthread_sigmask(SIG_BLOCK, &previous.sa_mask, &saved);
    if ((previous.sa_flags & SA_SIGINFO) != 0) {
      previous.sa_sigaction(signal, info, context);
    } else {
      previous.sa_handler(signal);
    }
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  }
  // Delivered with the default action as soon as this handler returns (the signal is blocked
  // until then), also when the faulting instruction would otherwise run again.
  restoreDefault(signal);
  ::raise(signal);
  errno = savedErrno;
}

}  // namespace tavrel_mmp
