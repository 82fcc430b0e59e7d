#pragma once

#include <cstdint>

namespace tavrel_mmp::platform {

// A number that changes in the child of every fork made after the first call; per-process state
// kept in memory (buffered random bytes) compares it to know it was copied into a child.
std::uint64_t forkGeneration();

}  // namespace tavrel_mmp::platform
