#include "settings/base_url.h"

#include <mutex>

#include "core/no_destructor.h"

namespace tavrel_mmp {
namespace {

// The lock only guards the copy.
struct Holder {
  std::mutex mutex;
  std::string value;
};

Holder& holder() {
  static NoDestructor<Holder> instance;
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
