#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrel_mmp {

struct DeepLinkData {
  std::string short_link;
  std::string long_link;
};

// The link answer: {"responseCode", "responseText", "data"?: {"short_link", "long_link"}}.
struct DeepLinkResultData {
  std::int64_t responseCode = 0;
  std::string responseText;
  std::optional<DeepLinkData> data;  // absent and null both give none

  // Strict decoding; none with the reason in `error` when the bytes are not this answer (also
  // when a present "data" lacks either link).
  static std::optional<DeepLinkResultData> decode(const std::vector<std::uint8_t>& bytes,
                                                  std::string* error = nullptr);
};

}  // namespace tavrel_mmp
