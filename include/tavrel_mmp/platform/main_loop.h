#pragma once

#include <functional>
#include <memory>

namespace tavrel_mmp::platform {

/// The main thread's run loop: asynchronous hand-off and repeating timers. Tasks and ticks run
/// one at a time, never overlapping.
class MainLoop {
 public:
  virtual ~MainLoop() = default;
  /// Runs the task on the main thread later; returns at once.
  virtual void post(std::function<void()> task) = 0;
  /// Installs a timer whose first tick comes one period after this call; it repeats for the life
  /// of the process.
  virtual void scheduleRepeating(double periodSeconds, std::function<void()> tick) = 0;
};

MainLoop& mainLoop();
void installMainLoop(std::shared_ptr<MainLoop> loop);

/// The Linux provider: a library-owned thread standing in for the main thread.
std::shared_ptr<MainLoop> makeThreadMainLoop();

}  // namespace tavrel_mmp::platform
