#pragma once

// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.

namespace tavrel_mmp {

// How a fault round tells the crash watch's thread to look: a byte down a pipe it polls.
class WatchBell {
 public:
  // The watch of this process listens at the other end of `writeFd`; an earlier end (a forked
  // child's copy of its parent's) is closed.
  static void connect(int writeFd);
  // Whether this process's watch listens.
  static bool connected();
  // Wakes the watch, once until it has heard.
  static void ring();
  // The watch has drained the pipe.
  static void heard();
};

}  // namespace tavrel_mmp
