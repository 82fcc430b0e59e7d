#pragma once

#include <cstdint>

namespace tavrel_mmp::platform {

// Keeps a fork (without exec) from copying SQLite or libcurl in the middle of the library's use
// of them. A child copies their inner locks and mutexes as they stand: one held by another
// thread at that moment stays held in the child for good, and the child's own new connection to
// the same file then hangs, or finds the file locked by its own process and never writes it.
// The library holds a pass across such work; fork() waits until no pass is held (at most
// kMaxForkWaitMilliseconds, normally not at all), and passes asked for meanwhile wait until the
// fork is done. Passes are counted per process: a child starts with none.
class ForkPass {
 public:
  static constexpr int kMaxForkWaitMilliseconds = 1000;

  ForkPass();  // waits while a fork is being prepared
  ~ForkPass();
  ForkPass(const ForkPass&) = delete;
  ForkPass& operator=(const ForkPass&) = delete;

 private:
  std::uint64_t generation_;
};

}  // namespace tavrel_mmp::platform
