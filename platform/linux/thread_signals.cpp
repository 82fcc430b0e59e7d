#include "platform/thread_signals.h"

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace tavrel_mmp::platform {

ThreadSignalMask threadSignalMask(long threadId, int signal) {
  if (signal <= 0 || signal > 64) return ThreadSignalMask::unknown;
  std::ifstream status("/proc/self/task/" + std::to_string(threadId) + "/status");
  if (!status) {
    // No such task is only telling when /proc itself is there.
    return ::access("/proc/self/status", R_OK) == 0 ? ThreadSignalMask::gone
                                                    : ThreadSignalMask::unknown;
  }
  constexpr std::string_view kField = "SigBlk:";
  for (std::string line; std::getline(status, line);) {
    if (!line.starts_with(kField)) continue;
    std::uint64_t mask = 0;
    try {
      mask = std::stoull(line.substr(kField.size()), nullptr, 16);
    } catch (...) {
      return ThreadSignalMask::unknown;
    }
    return (mask >> (signal - 1)) & 1 ? ThreadSignalMask::blocked : ThreadSignalMask::unblocked;
  }
  return ThreadSignalMask::unknown;
}

}  // namespace tavrel_mmp::platform
