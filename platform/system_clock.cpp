#include "tavrel_mmp/platform/system_clock.h"

#include <chrono>

namespace tavrel_mmp::platform {
namespace {

class SystemClock : public Clock {
 public:
  double now() override {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count();
  }
  double monotonic() override {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count();
  }
};

}  // namespace

std::shared_ptr<Clock> makeSystemClock() {
  return std::make_shared<SystemClock>();
}

}  // namespace tavrel_mmp::platform
