#pragma once

// The service's insides, shared by the files that implement it (API handlers, live page,
// lifecycle). Everything below `mutex` is guarded by it; no lock is held while a handler waits
// or while the request listener runs.

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "local_service/event_refusals.h"
#include "local_service/event_tally.h"
#include "local_service/installation_book.h"
#include "local_service/local_service.h"
#include "local_service/request_log.h"

namespace tavrel_mmp::tools {

struct Reply {
  int httpStatus = 200;
  nlohmann::json body;
};

// How a request was answered, for the live page.
struct Outcome {
  std::string text;                          // "HTTP 200, code 401", "not JSON (injected)", ...
  bool faulted = false;                      // by an injected fault
  bool refused = false;                      // the answer did not accept the request
  std::optional<std::int64_t> responseCode;  // the answer's, when it had an envelope
};

// The names of the fault kinds on the live page ("responseCode", "notJson", ...).
const char* faultKindName(Fault::Kind kind);
std::optional<Fault::Kind> faultKindNamed(const std::string& name);

struct LocalService::Impl {
  using Route = Reply (Impl::*)(const httplib::Request&);
  static constexpr std::size_t kRecentHeartbeats = 20;
  static constexpr std::size_t kRecentDeepLinks = 100;
  static constexpr std::size_t kMaxDeepLinkBytes = 4096;

  explicit Impl(LocalServiceOptions o) : options(std::move(o)) {}

  const LocalServiceOptions options;
  const std::chrono::steady_clock::time_point startedAt = std::chrono::steady_clock::now();
  const std::chrono::system_clock::time_point startedAtWallClock = std::chrono::system_clock::now();

  std::mutex lifecycle;  // serialises start() and stop()
  std::unique_ptr<httplib::Server> server;
  std::thread thread;

  mutable std::mutex mutex;
  // Signalled when a request or event arrives and when stop() begins.
  mutable std::condition_variable changed;
  int port = 0;
  bool stopping = false;
  RequestLog requestLog;
  std::map<std::string, Fault> faults;
  std::optional<std::int64_t> authRefusal;
  std::optional<std::string> refusedEventKey;
  std::int64_t refusedEventCode = 400;
  std::optional<std::int64_t> deeplinkExpired = 7;
  std::int64_t sessionExpireTimeInSeconds = 86400;
  std::vector<std::string> tokens;
  std::map<std::string, StoredEvent> events;
  std::size_t duplicates = 0;
  EventTally eventTally;
  std::optional<nlohmann::json> heartbeatData = nlohmann::json{{"second", 30}};
  std::size_t heartbeatCount = 0;  // accepted ones
  std::deque<std::chrono::steady_clock::time_point> recentHeartbeats;
  std::vector<nlohmann::json> links;  // the "data" of every link answer
  std::optional<nlohmann::json> verifyData = nlohmann::json::object();
  std::vector<nlohmann::json> crashes;
  // What the live page shows beyond the API's own state.
  InstallationBook installations;
  EventRefusals refusedEvents;
  // The deferred deep links answered and the session deep links received, the last
  // kRecentDeepLinks: {"kind", "at", "deviceId", "link"}.
  std::deque<nlohmann::json> deepLinks;
  std::uint64_t version = 0;  // counts the changes the live page shows

  // Held across recording and notifying so the listener sees requests in arrival order.
  std::mutex listenerMutex;
  std::function<void(const RecordedRequest&)> listener;

  // The measurement API (service_handlers.cpp).
  static const std::map<std::string, Route>& routes();
  void handle(const httplib::Request& req, httplib::Response& res);
  std::uint64_t record(const httplib::Request& req);
  void noteOutcome(std::uint64_t sequence, const httplib::Request& req, const Outcome& outcome);
  std::optional<Fault> takeFault(const std::string& path);
  void sleepUnlessStopped(double seconds);
  bool authorized(const httplib::Request& req) const;
  Reply authenticate(const httplib::Request& req);
  Reply logEvents(const httplib::Request& req);
  Reply heartbeat(const httplib::Request& req);
  Reply createLink(const httplib::Request& req);
  Reply shortenLink(const httplib::Request& req);
  Reply madeLink(const std::string& shortLink, const std::string& longLink);
  Reply acknowledgeSession(const httplib::Request& req);
  Reply verifyDeeplink(const httplib::Request& req);
  Reply logCrash(const httplib::Request& req);
  std::string baseUrl() const;
  std::string urlWithPort(int portNumber) const;  // takes no lock
  // Wall-clock milliseconds since the Unix epoch at a point of the steady clock.
  std::int64_t wallClockMs(std::chrono::steady_clock::time_point at) const;
  void noteDeepLink(const char* kind, const std::string& token, nlohmann::json link);

  // The live page and its endpoints (live_endpoints.cpp, live_state.cpp, live_logs.cpp).
  void installLiveEndpoints(httplib::Server& on);
  nlohmann::json liveState() const;
  // The retained requests from sequence number `from` on (with their headers and bodies, as
  // many as one answer holds), and the answers since given to those of `unanswered`.
  nlohmann::json liveRequests(std::uint64_t from,
                              const std::vector<std::uint64_t>& unanswered) const;
  // The event receptions from sequence number `from` on, with their payloads.
  nlohmann::json liveEvents(std::uint64_t from) const;
  // The body of a retained request, whole.
  std::optional<std::string> retainedBody(std::uint64_t sequence) const;
  // Forgets what was received (requests, events, heartbeats, reports, links, installations);
  // sessions, faults and answers stay as they are.
  void clearReceived();
  // Applies a switch from the page: {"path", "kind", ...}; an error text when it is refused.
  std::optional<std::string> applySwitch(const std::string& body);
};

}  // namespace tavrel_mmp::tools
