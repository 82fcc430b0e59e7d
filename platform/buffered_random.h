#pragma once

#include <cstdint>

namespace tavrel_mmp::platform {

// As randomBelow, for callers that draw on every event: the installed source is read 256 bytes
// at a time into a per-thread buffer, so most draws make no system call. The bytes are the
// source's own, served once each; the buffer is dropped when the source is replaced and in a
// forked child, so two processes never hand out the same draws.
std::uint64_t bufferedRandomBelow(std::uint64_t bound);

}  // namespace tavrel_mmp::platform
