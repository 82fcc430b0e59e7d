#pragma once

namespace tavrel_mmp::testing {

// A TCP socket bound (not listening) to a free loopback port; -1 when none could be bound.
int boundLoopbackSocket(int& port);

}  // namespace tavrel_mmp::testing
