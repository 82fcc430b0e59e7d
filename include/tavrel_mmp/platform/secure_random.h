#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tavrel_mmp::platform {

/// A cryptographically secure random source.
class SecureRandom {
 public:
  virtual ~SecureRandom() = default;
  virtual void fill(void* buffer, std::size_t size) = 0;
};

SecureRandom& secureRandom();
void installSecureRandom(std::shared_ptr<SecureRandom> random);

/// A uniform integer in [0, bound) from the installed source, without modulo bias; 0 if bound is 0.
std::uint64_t randomBelow(std::uint64_t bound);

}  // namespace tavrel_mmp::platform
