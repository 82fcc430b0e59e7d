#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "tavrel_mmp/platform/http_transport.h"

namespace tavrel_mmp::platform {

/// Settings of the libcurl transport.
struct CurlTransportOptions {
  /// Extra CA bundle to trust (peer verification always stays on), e.g. a test certificate.
  std::optional<std::string> caInfoPath;
  double connectTimeoutSeconds = 15.0;
  /// When set, no request waits longer than this for its whole exchange, whatever time-out it
  /// asks for (tests keep silent or trickling peers short with it); none leaves each its own.
  std::optional<double> maxRequestTimeoutSeconds;
  /// Larger answers end in a transport error. 0 refuses every answer, the empty one included.
  std::size_t maxResponseBytes = 8u * 1024u * 1024u;
};
/// The Linux provider: one worker thread driving a libcurl multi handle. It speaks HTTP/1.1 and
/// reuses connections.
std::shared_ptr<HttpTransport> makeCurlTransport(CurlTransportOptions options = {});

}  // namespace tavrel_mmp::platform
