#pragma once

#include <memory>

#include "tavrel_mmp/platform/secure_random.h"

namespace tavrel_mmp::platform {

// The operating system's cryptographically secure generator; the default random source.
std::shared_ptr<SecureRandom> makeSystemRandom();

}  // namespace tavrel_mmp::platform
