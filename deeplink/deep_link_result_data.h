#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/json_fields.h"

namespace tavrel_mmp {

struct DeepLinkData {
  std::string short_link;
  std::string long_link;
};

// The link answer: {"responseCode", "responseText", "data"?: {"short_link", "long_link"}}.
struct DeepLinkResultData : EnvelopeWithData<DeepLinkData> {
  // Strict decoding; none with the reason in `error` when the bytes are not this answer (also
  // when a present "data" lacks either link).
  static std::optional<DeepLinkResultData> decode(const std::vector<std::uint8_t>& bytes,
                                                  std::string* error = nullptr);
};

}  // namespace tavrel_mmp
