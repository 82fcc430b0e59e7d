#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tavrel_mmp/platform/http_transport.h"

namespace tavrel_mmp {

// What one link request came to: the two links, or an error code and message.
struct DeepLinkAnswer {
  bool succeeded = false;
  std::string shortLink;
  std::string longLink;
  std::string errorCode;
  std::string errorMessage;
};

// Reads the outcome of a link request. Link creation accepts result codes 200 to 298.
DeepLinkAnswer interpretDeepLinkAnswer(const std::optional<std::vector<std::uint8_t>>& body,
                                       const std::optional<HttpError>& error);

}  // namespace tavrel_mmp
