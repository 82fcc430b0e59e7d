#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrel_mmp {

// The common response envelope {"responseCode": integer, "responseText": text}.
struct ResultData {
  std::int64_t responseCode = 0;
  std::string responseText;

  static std::optional<ResultData> decode(const std::vector<std::uint8_t>& bytes,
                                          std::string* error = nullptr);
};

}  // namespace tavrel_mmp
