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

/// A transport failure: no response arrived.
struct HttpError {
  std::string domain;  ///< "Invalid URL" for an unparseable URL; "curl" for libcurl failures
  long code = 0;
  std::string description;
};

/// Receives the response body (present whenever a response arrived, whatever its status) or the
/// transport error.
using HttpCompletion = std::function<void(std::optional<std::vector<std::uint8_t>> body,
                                          std::optional<HttpError> error)>;

}  // namespace tavrel_mmp

namespace tavrel_mmp::platform {

struct HttpRequest {
  std::string url;
  std::string method = "POST";
  std::vector<std::pair<std::string, std::string>> headers;  ///< sent exactly as given
  std::optional<std::string> body;
  double timeoutSeconds = 60.0;
  /// Asked on the transport's thread just before the request goes out (none: always); false
  /// withdraws it unsent, and the completion gets a transport error. A request that waited in
  /// the transport can so be dropped when what it carries must no longer leave.
  std::function<bool()> stillWanted;
};

/// Sends one request and calls the completion exactly once, with the answer or a transport error.
/// The request reaches the service at most once: a connection that dies before the answer is a
/// transport error, never a second sending. `send` never blocks on the network.
/// The completion runs later, on a thread of the transport's own. Only when the system refuses
/// the transport that thread is the request failed at once: `send` calls the completion with a
/// transport error on the caller's thread before it returns (requests sent from within such a
/// completion are failed by the same outer `send`, one after another, not nested). The next send
/// asks for a thread again.
class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  virtual void send(HttpRequest request, HttpCompletion completion) = 0;
};

HttpTransport& httpTransport();
void installHttpTransport(std::shared_ptr<HttpTransport> transport);

}  // namespace tavrel_mmp::platform
