#pragma once

namespace tavrel_mmp {

// The terminate hook: an uncaught exception is kept as the crash record ("Unhandled exception: "
// + its description and the call stack, hashed by the exception's hash value), then the hook
// that was there before runs and the process aborts.
class TerminateHook {
 public:
  // Puts ours in front of the hook installed before; one the host installs later stays in front
  // of ours (in front of it again, ours would call it and it ours).
  static void install();
};

}  // namespace tavrel_mmp
