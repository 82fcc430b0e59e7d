#pragma once

#include <functional>
#include <memory>
#include <utility>

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
  /// Runs the task on the main thread once `delaySeconds` have passed; returns at once. A loop
  /// that cannot wait runs it as soon as `post` would.
  virtual void postAfter(double delaySeconds, std::function<void()> task) {
    (void)delaySeconds;
    post(std::move(task));
  }
};

MainLoop& mainLoop();
void installMainLoop(std::shared_ptr<MainLoop> loop);

}  // namespace tavrel_mmp::platform
