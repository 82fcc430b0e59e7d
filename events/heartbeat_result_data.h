#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/json_fields.h"

namespace tavrel_mmp {

struct HeartBeatData {
  std::int64_t second = 0;  // the interval to use from now on
};

// The heartbeat answer: {"responseCode", "responseText", "data"?: {"second"}}.
struct HeartBeatResultData : EnvelopeWithData<HeartBeatData> {
  // Strict decoding; none with the reason in `error` when the bytes are not this answer
  // (also when a present "data" lacks "second").
  static std::optional<HeartBeatResultData> decode(const std::vector<std::uint8_t>& bytes,
                                                   std::string* error = nullptr);
};

}  // namespace tavrel_mmp
