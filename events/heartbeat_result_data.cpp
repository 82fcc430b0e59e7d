#include "events/heartbeat_result_data.h"

namespace tavrel_mmp {

std::optional<HeartBeatResultData> HeartBeatResultData::decode(
    const std::vector<std::uint8_t>& bytes, std::string* error) {
  auto decoded = decodeEnvelopeWithData<HeartBeatData>(
      bytes, "HeartBeatResultData", "HeartBeatData",
      [](JsonFieldReader& data) { return HeartBeatData{data.requiredInt64("second").value_or(0)}; },
      error);
  if (!decoded) return std::nullopt;
  return HeartBeatResultData{std::move(*decoded)};
}

}  // namespace tavrel_mmp
