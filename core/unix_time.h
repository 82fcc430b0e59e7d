#pragma once

#include <cmath>
#include <cstdint>

namespace tavrel_mmp {

// A clock reading as whole units, truncated toward zero. A value that is not finite or does not
// fit 64 bits (a broken clock provider) gives the nearest representable value, never undefined
// behaviour.
inline std::int64_t truncatedToInt64(double value) {
  if (std::isnan(value)) return 0;
  if (value <= -9223372036854775808.0) return INT64_MIN;
  if (value >= 9223372036854775808.0) return INT64_MAX;
  return static_cast<std::int64_t>(value);
}

// Whole seconds of a Unix time in seconds.
inline std::int64_t unixSeconds(double seconds) {
  return truncatedToInt64(seconds);
}

}  // namespace tavrel_mmp
