#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavrel_mmp {

// A transport failure: no response arrived.
struct HttpError {
  std::string domain;  // "Invalid URL" for an unparseable URL; "curl" for libcurl failures
  long code = 0;
  std::string description;
};

// Receives the response body (present whenever a response arrived, whatever its status) or the
// transport error.
using HttpCompletion = std::function<void(std::optional<std::vector<std::uint8_t>> body,
                                          std::optional<HttpError> error)>;

}  // namespace tavrel_mmp

namespace tavrel_mmp::platform {

struct HttpRequest {
  std::string url;
  std::string method = "POST";
  std::vector<std::pair<std::string, std::string>> headers;  // sent exactly as given
  std::optional<std::string> body;
  double timeoutSeconds = 60.0;
};

// Sends one request and calls the completion once, later, on a thread of the transport's own
// (never on the caller's thread). `send` never blocks on the network.
class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  virtual void send(HttpRequest request, HttpCompletion completion) = 0;
};

HttpTransport& httpTransport();
void installHttpTransport(std::shared_ptr<HttpTransport> transport);

struct CurlTransportOptions {
  // Extra CA bundle to trust (peer verification always stays on), e.g. a test certificate.
  std::optional<std::string> caInfoPath;
  double connectTimeoutSeconds = 15.0;
  std::size_t maxResponseBytes = 8u * 1024u * 1024u;
};
// The Linux provider: one worker thread driving a libcurl multi handle.
std::shared_ptr<HttpTransport> makeCurlTransport(CurlTransportOptions options = {});

}  // namespace tavrel_mmp::platform
