// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.
#include "crash/signal/signal_chain.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tavrel_mmp {
namespace {

// Written before our action is installed for that signal, read from signal context.
struct sigaction previousActions[NSIG];
// Ours was installed for the signal once: a handler found there later is the host's.
std::atomic<bool> installedOnce[NSIG];
// The earlier handler was a one-shot one (SA_RESETHAND) and has run: the kernel would have put
// the default action in its place, so it is not called again. Ours stays in front all along, so
// that a fault it resolved leaves capture in place and one it did not is recorded next time.
std::atomic<bool> earlierSpent[NSIG];

// What the calling thread handed its earlier handler last. Left behind by a jump out of that
// handler, it matches nothing again: a new fault brings the kernel's own siginfo, never the
// copy in a frame of ours. Trivial and in static TLS, for signal context.
struct HandedOn {
  int signal;
  const siginfo_t* info;
  const void* context;
};
[[gnu::tls_model("initial-exec")]] thread_local HandedOn handedOn;

bool isOurs(const struct sigaction& action, SignalAction ours) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == ours;
}

// The kernel reads the handler slot alone, whatever SA_SIGINFO says.
bool isIgnore(const struct sigaction& action) {
  return action.sa_handler == SIG_IGN;
}

bool isDefault(const struct sigaction& action) {
  return action.sa_handler == SIG_DFL;
}

bool valid(int signal) {
  return signal > 0 && signal < NSIG;
}

void restoreDefault(int signal) {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
}

}  // namespace

SignalChain::Installed SignalChain::install(int signal, SignalAction action) {
  if (!valid(signal)) return Installed::failed;
  struct sigaction current {};
  if (::sigaction(signal, nullptr, &current) != 0) return Installed::failed;
  if (isOurs(current, action)) return Installed::inFront;
  // Put in front of it again, ours and a host handler that kept ours as its own earlier one
  // would call each other.
  if (installedOnce[signal] && !isDefault(current)) return Installed::leftToHost;
  previousActions[signal] = current;
  earlierSpent[signal] = false;

  struct sigaction ours {};
  ours.sa_sigaction = action;
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&ours.sa_mask);
  if (::sigaction(signal, &ours, nullptr) != 0) return Installed::failed;
  installedOnce[signal] = true;
  return Installed::installed;
}

bool SignalChain::previousIgnores(int signal, const siginfo_t* info) {
  if (!valid(signal) || !isIgnore(previousActions[signal])) return false;
  // A fault the kernel reports, abort() and raise() end the process even when ignored; only a
  // signal from elsewhere is really ignored.
  return info != nullptr && info->si_code <= 0 && info->si_pid != ::getpid();
}

bool SignalChain::hasEarlierHandler(int signal) {
  if (!valid(signal)) return false;
  const struct sigaction& previous = previousActions[signal];
  return !isIgnore(previous) && !isDefault(previous) && !earlierSpent[signal].load();
}

void SignalChain::callEarlier(int signal, siginfo_t* info, void* context) {
  if (!hasEarlierHandler(signal)) return;
  const struct sigaction previous = previousActions[signal];
  // Of two threads faulting at once, only the first reaches a one-shot handler.
  if ((previous.sa_flags & SA_RESETHAND) != 0 && earlierSpent[signal].exchange(true)) return;
  const int savedErrno = errno;
  siginfo_t copy{};
  if (info != nullptr) {
    copy = *info;
  } else {
    copy.si_signo = signal;
  }
  const HandedOn outer = handedOn;
  handedOn = {signal, &copy, context};
  // Its own mask added to the current one, as the kernel would have done.
  sigset_t saved;
  ::pthread_sigmask(SIG_BLOCK, &previous.sa_mask, &saved);
  if ((previous.sa_flags & SA_SIGINFO) != 0) {
    previous.sa_sigaction(signal, &copy, context);
  } else {
    previous.sa_handler(signal);
  }
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  handedOn = outer;
  errno = savedErrno;
}

bool SignalChain::isCallBack(int signal, const siginfo_t* info, const void* context) {
  const HandedOn& current = handedOn;
  return info != nullptr && current.signal == signal && current.info == info &&
         current.context == context;
}

bool SignalChain::endsOnRepeat(int signal) {
  struct sigaction now {};
  if (!valid(signal) || ::sigaction(signal, nullptr, &now) != 0) return false;
  return isDefault(now) || isIgnore(now);
}

void SignalChain::endBySignal(int signal) {
  if (!valid(signal)) return;
  const int savedErrno = errno;
  restoreDefault(signal);
  ::raise(signal);
  errno = savedErrno;
}

}  // namespace tavrel_mmp
