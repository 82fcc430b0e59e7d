#pragma once

#include <cstdint>

namespace tavrel_mmp::platform {

// A digest of the general registers (instruction and stack pointer included) in the context a
// signal handler receives. A faulting instruction that runs again unchanged faults with the same
// digest; a handler that moves the thread on changes it. 0 where the layout is not known.
// Async-signal-safe.
std::uint64_t faultRegisterDigest(const void* context);

// The address of the instruction the signal interrupted (the faulting one for a fault); 0 where
// the layout is not known. Async-signal-safe.
std::uintptr_t interruptedInstruction(const void* context);

}  // namespace tavrel_mmp::platform
