#pragma once

#include <functional>
#include <string>

namespace tavrel_mmp {

// The host's log sink: takes the development lines instead of standard output. Lines are queued
// by the thread that makes them and handed to the sink in that order on a library thread of
// their own, which holds no lock of the library's while the sink runs: a sink may wait, throw or
// call the library. Lines the library makes while that thread runs the sink are not passed back
// to it. An empty sink restores standard output.
class HostLogSink {
 public:
  using Sink = std::function<void(int level, const std::string& line)>;
  static void set(Sink sink);
};

}  // namespace tavrel_mmp
