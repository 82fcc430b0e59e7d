#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
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

// Wraps a real transport and knows when every request it passed on has completed (completion
// included), so a test can wait for the network without guessing.
class SettlingTransport : public platform::HttpTransport {
 public:
  explicit SettlingTransport(std::shared_ptr<platform::HttpTransport> inner);
  void send(platform::HttpRequest request, HttpCompletion completion) override;
  // Waits until nothing is in flight; false when the time-out passed first.
  bool waitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(30));

 private:
  std::shared_ptr<platform::HttpTransport> inner_;
  std::mutex mutex_;
  std::condition_variable idle_;
  int inFlight_ = 0;
};

// The process's one libcurl transport, wrapped; `installCurlTransport` also installs it.
SettlingTransport& curlTransport();
SettlingTransport& installCurlTransport();

// Runs what the main loop has pending, moves time on by one timer period, and waits until the
// requests that started have completed.
void tickAndSettle(platform::ManualMainLoop& loop);

// For unit tests of the tracker: the platform pointed at `directory` (the shared event store
// opens there and stays open until the process ends), the given clock, loop and transport, and
// the base URL "http://service.test".
void installTrackerUnderTest(const std::string& directory,
                             std::shared_ptr<platform::ManualClock> clock,
                             std::shared_ptr<platform::ManualMainLoop> loop,
                             std::shared_ptr<platform::HttpTransport> transport);

// Starts the library through the facade against the service at `baseUrl` (the app secret made
// for it), running the manual main loop if one is installed, and waits until the session is
// stored and the session start that follows it has completed.
bool startAndAuthenticate(const std::string& partnerCode, const std::string& baseUrl);

// Signs in through the service at the current base URL and stores the session it grants, as
// an accepted authentication does, but without the session start that would follow. True once
// a session is stored.
bool signInWithoutSessionStart(const std::string& partnerCode);

// Pending rows in the event store.
std::size_t pendingEventCount();

}  // namespace tavrel_mmp::testing
