#pragma once

// A small measurement service on loopback for tests and the demo. It speaks the service's
// HTTP API as far as the library uses it, records the requests it receives, and can be told
// to fail in several ways at run time. A live page at "/" shows what arrives and switches the
// faults; it and its endpoints under "/_live/" are not recorded.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tavrel_mmp::tools {

// What the service keeps of the requests it receives: the last kRetainedRequests with their
// bodies (fewer when those bodies pass kRetainedBodyBytes together; the newest is always kept),
// and a count per path of every one. A body longer than kMaxRequestBodyBytes is refused with
// HTTP 413 and not recorded. Totals are kept for kTrackedPaths paths; requests to further
// paths are counted together under kOtherPaths.
inline constexpr std::size_t kRetainedRequests = 1000;
inline constexpr std::size_t kRetainedBodyBytes = 64u << 20;
inline constexpr std::size_t kMaxRequestBodyBytes = 16u << 20;
inline constexpr std::size_t kTrackedPaths = 256;
inline constexpr const char* kOtherPaths = "(other paths)";

struct RecordedRequest {
  std::string method;
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;  // as received; names lower-cased
  std::string body;
  std::chrono::steady_clock::time_point receivedAt{};
  // The first header with this (case-insensitive) name, if any.
  std::optional<std::string> header(const std::string& name) const;
  // The body parsed as JSON (null when it is not JSON or nests deeper than the service takes).
  nlohmann::json json() const;
};

// How the service answers a path while the fault is set.
struct Fault {
  enum class Kind {
    responseCode,        // answer {"responseCode": code, "responseText": ...} with HTTP status
                         // `httpStatus`
    notJson,             // answer a body that is not JSON
    closeConnection,     // promise a body in the headers, then close the connection before it
    delay,               // wait `delaySeconds`, then answer normally
    closeWithoutAnswer,  // read the request, then close the connection without sending a byte
  };
  Kind kind = Kind::responseCode;
  std::int64_t responseCode = 500;
  int httpStatus = 200;
  double delaySeconds = 0.0;
  int times = -1;  // how many requests it applies to; -1 for every request until cleared
};

struct PathTotals {
  std::size_t count = 0;
  std::size_t bytes = 0;    // of the bodies
  std::size_t faulted = 0;  // answered by an injected fault
};

// One accepted reception of an event: the "User-Agent" of the request that carried it (a host
// may name itself there), and when.
struct Delivery {
  std::string sender;
  std::chrono::steady_clock::time_point at{};
};

struct StoredEvent {
  nlohmann::json event;      // the upload object as received
  std::string sessionToken;  // the "Authorization" it arrived with
  int timesReceived = 0;
  std::vector<Delivery> deliveries;  // every accepted reception, in order
};

struct LocalServiceOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  // HTTPS when both are given (PEM files).
  std::optional<std::string> certificatePath;
  std::optional<std::string> privateKeyPath;
};

class LocalService {
 public:
  explicit LocalService(LocalServiceOptions options = {});
  ~LocalService();  // stops the service
  LocalService(const LocalService&) = delete;
  LocalService& operator=(const LocalService&) = delete;

  // Binds and starts serving on a thread of its own; false when it cannot bind. Starting again
  // after stop() reuses the port it had, so a restarted service keeps its base URL.
  bool start();
  void stop();
  int port() const;
  // "http://127.0.0.1:<port>" (or https), with no trailing slash.
  std::string baseUrl() const;

  // The requests retained (see kRetainedRequests), in arrival order.
  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests(const std::string& path) const;
  // Totals per path of every request since the start, the last clearRequests() or the live
  // page's clearing.
  std::map<std::string, PathTotals> requestTotals() const;
  void clearRequests();
  // Called with each request as it arrives, one call at a time and in arrival order (the demo
  // command prints them). It may call the accessors but not stop().
  void setRequestListener(std::function<void(const RecordedRequest&)> listener);
  // Blocks until at least `count` requests to `path` were received (retained or not), or the
  // time-out passed.
  bool waitForRequests(const std::string& path, std::size_t count,
                       std::chrono::milliseconds timeout) const;

  // Fault injection per path ("/public/partner/auth", "/partner/event/log", ...).
  void setFault(const std::string& path, Fault fault);
  void clearFault(const std::string& path);
  void clearAllFaults();

  // "/public/partner/auth": refuse every authentication with this code (none: grant).
  void setAuthRefusal(std::optional<std::int64_t> responseCode);
  // Values put into granted sessions.
  void setDeeplinkExpired(std::optional<std::int64_t> days);
  void setSessionExpireTimeInSeconds(std::int64_t seconds);
  std::vector<std::string> grantedTokens() const;
  std::size_t grantedSessionCount() const;

  // "/partner/event/log": refuse every batch holding an event named `key` (its "key"), with HTTP
  // 200 and an envelope carrying `responseCode`; none accepts them again.
  void setRefusedEventKey(std::optional<std::string> key, std::int64_t responseCode = 400);

  // "/partner/event/log": events accepted, keyed by "id".
  std::map<std::string, StoredEvent> events() const;
  std::size_t acceptedEventCount() const;   // distinct ids
  std::size_t duplicateEventCount() const;  // receptions beyond the first, summed
  bool waitForEvents(std::size_t distinctCount, std::chrono::milliseconds timeout) const;

  // "/partner/online-user/log": the "data" member of the answer. Default {"second": 30}.
  // nullopt leaves "data" out; a JSON null sends "data": null.
  void setHeartbeatData(std::optional<nlohmann::json> data);

  // "/partner/deeplink/create" and "/partner/deeplink/shorten-link": the "data" of every
  // answer, {"short_link", "long_link"}, in order. A created long link is "<base>/l?" and the
  // parameters as percent-encoded key=value pairs joined with "&"; a short link is
  // "<base>/s/" and the requested slug, or a random one.
  std::vector<nlohmann::json> linksMade() const;

  // "/partner/unified-deeplink/verify": the "data" member of the answer, for instance
  // {"deeplink": "app://promo"}. Default {} (nothing deferred); nullopt leaves "data" out.
  void setVerifyData(std::optional<nlohmann::json> data);
  // "/partner/crash/log": the accepted reports (the six text members), in order.
  std::vector<nlohmann::json> crashReports() const;

  // The service's insides (local_service_impl.h): its own files, and the fuzz target that calls
  // its request handling without sockets, use them.
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The signature the service expects in "v" for the given values (last 10 + first 10 hex digits
// of SHA-256(partnerCode + appId + deviceId + t + salt)).
std::string expectedSignature(const std::string& partnerCode, const std::string& appId,
                              const std::string& deviceId, const std::string& t);

}  // namespace tavrel_mmp::tools
