#include "platform/system_random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>

namespace tavrel_mmp::platform {
namespace {

// The kernel's CSPRNG.
class SystemRandom : public SecureRandom {
 public:
  void fill(void* buffer, std::size_t size) override {
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
      const ssize_t got = ::getrandom(out, size, 0);
      if (got < 0) {
        if (errno == EINTR) continue;
        std::abort();  // no secure randomness at all: nothing sensible is left to do
      }
      out += got;
      size -= static_cast<std::size_t>(got);
    }
  }
};

}  // namespace

std::shared_ptr<SecureRandom> makeSystemRandom() {
  return std::make_shared<SystemRandom>();
}

}  // namespace tavrel_mmp::platform
