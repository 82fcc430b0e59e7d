#include "platform/thread_signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace tavrel_mmp::platform {
namespace {

// The SigBlk field of a status file's text; nothing when it is not there.
std::optional<std::uint64_t> blockedField(std::string_view status) {
  constexpr std::string_view kField = "\nSigBlk:";
  const auto at = status.find(kField);
  if (at == std::string_view::npos) return std::nullopt;
  std::uint64_t mask = 0;
  const char* begin = status.data() + at + kField.size();
  while (begin < status.data() + status.size() && (*begin == ' ' || *begin == '\t')) ++begin;
  const auto [end, error] = std::from_chars(begin, status.data() + status.size(), mask, 16);
  if (error != std::errc{} || end == begin) return std::nullopt;
  return mask;
}

// A thread's status file; nothing when there is no such thread or no /proc.
std::optional<std::string> statusOf(long threadId) {
  std::ifstream file("/proc/self/task/" + std::to_string(threadId) + "/status");
  if (!file) return std::nullopt;
  return "\n" + std::string(std::istreambuf_iterator<char>(file), {});
}

// Whether /proc shows the masks this process sets for its faults. An emulator (qemu-user) keeps
// SIGSEGV and SIGBUS unblocked for itself and shows that mask, not the emulated program's: a
// thread inside a fault handler would look as if it had left it. Checked once, on the calling
// thread, with SIGSEGV blocked for nothing but the system calls that read its status file.
bool masksShownBySystem() {
  static const bool shown = [] {
    char status[4096];
    sigset_t segv, saved;
    sigemptyset(&segv);
    sigaddset(&segv, SIGSEGV);
    if (::pthread_sigmask(SIG_BLOCK, &segv, &saved) != 0) return false;
    ssize_t size = -1;
    const int fd = ::open("/proc/thread-self/status", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      size = ::read(fd, status, sizeof status);
      ::close(fd);
    }
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (size <= 0) return false;
    const auto blocked = blockedField(std::string_view(status, static_cast<std::size_t>(size)));
    return blocked && ((*blocked >> (SIGSEGV - 1)) & 1) != 0;
  }();
  return shown;
}

}  // namespace

bool threadSignalMasksKnown() {
  return masksShownBySystem();
}

ThreadSignalMask threadSignalMask(long threadId, int signal) {
  if (signal <= 0 || signal > 64) return ThreadSignalMask::unknown;
  const auto status = statusOf(threadId);
  if (!status) {
    // No such task is only telling when /proc itself is there.
    return ::access("/proc/self/status", R_OK) == 0 ? ThreadSignalMask::gone
                                                    : ThreadSignalMask::unknown;
  }
  const auto blocked = blockedField(*status);
  if (!blocked || !masksShownBySystem()) return ThreadSignalMask::unknown;
  return (*blocked >> (signal - 1)) & 1 ? ThreadSignalMask::blocked : ThreadSignalMask::unblocked;
}

}  // namespace tavrel_mmp::platform
