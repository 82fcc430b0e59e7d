#pragma once

namespace tavrel_mmp::platform {

// Whether a thread of this process has a signal blocked. A thread inside a handler keeps the
// handled signal blocked until it leaves it, by returning or by a jump that restores the mask.
enum class ThreadSignalMask { blocked, unblocked, gone, unknown };

// Not for signal context. `unknown` when the system does not tell.
ThreadSignalMask threadSignalMask(long threadId, int signal);

// Whether the system tells threads' masks at all; false under an emulator that shows its own.
bool threadSignalMasksKnown();

}  // namespace tavrel_mmp::platform
