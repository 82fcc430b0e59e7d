#pragma once

namespace tavrel_mmp {

// A stack for signal handlers, so that ours can run after a stack overflow.
class AlternateStack {
 public:
  // Gives the calling thread an alternate signal stack unless it has one. The stack is
  // allocated once per process.
  static void ensure();
};

}  // namespace tavrel_mmp
