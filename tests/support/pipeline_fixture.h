#pragma once

#include <memory>
#include <string>

#include "tavrel_mmp/platform/http_transport.h"
#include "tavrel_mmp/platform/manual_loop.h"

namespace tavrel_mmp::testing {

// The whole library over real sockets, with time in the test's hands: libcurl transport,
// manual clock (starting at the real time) and manual main loop.
struct ManualTime {
  std::shared_ptr<platform::ManualClock> clock;
  std::shared_ptr<platform::ManualMainLoop> loop;
};
ManualTime installManualTime();

// The process's one libcurl transport, installed in the transport slot.
void installCurlTransport();

// Moves time on by one timer period and waits until the batch it started, if any, completed.
void tickAndSettle(platform::ManualMainLoop& loop);

// For unit tests of the tracker: fresh settings in one directory per process (the shared event
// store stays open on it until the process ends), the given clock, loop and transport, the base
// URL "http://service.test", and a tracker as in a new process.
void installTrackerUnderTest(std::shared_ptr<platform::ManualClock> clock,
                             std::shared_ptr<platform::ManualMainLoop> loop,
                             std::shared_ptr<platform::HttpTransport> transport);

// Pending rows in the event store.
std::size_t pendingEventCount();

}  // namespace tavrel_mmp::testing
