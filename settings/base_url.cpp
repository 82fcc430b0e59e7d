#include "settings/base_url.h"

#include <mutex>

#include "platform/per_process.h"

namespace tavrel_mmp {
namespace {

// The lock only guards the copy.
struct Holder {
  std::mutex mutex;
  std::string value;
};

// A forked child keeps the parent's value when no vanished thread holds its lock; otherwise the
// next authentication reads it from the settings again.
Holder& holder() {
  static platform::PerProcess<Holder> instance(
      &Holder::mutex, [](auto& made, const auto& inherited) { made.value = inherited.value; });
  return instance.get();
}

}  // namespace

std::string BaseUrl::get() {
  std::lock_guard<std::mutex> lock(holder().mutex);
  return holder().value;
}

void BaseUrl::set(const std::string& value) {
  std::lock_guard<std::mutex> lock(holder().mutex);
  holder().value = value;
}

}  // namespace tavrel_mmp
