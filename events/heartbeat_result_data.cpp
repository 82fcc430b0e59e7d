#include "events/heartbeat_result_data.h"

#include "core/json_fields.h"

namespace tavrel_mmp {

std::optional<HeartBeatResultData> HeartBeatResultData::decode(
    const std::vector<std::uint8_t>& bytes, std::string* error) {
  auto json = parseJsonBytes(bytes, error);
  if (!json) return std::nullopt;

  JsonFieldReader reader(*json, "HeartBeatResultData");
  auto responseCode = reader.requiredInt64("responseCode");
  auto responseText = reader.requiredString("responseText");
  const nlohmann::json* data = reader.optionalObject("data");
  if (!reader.ok()) {
    if (error) *error = reader.error();
    return std::nullopt;
  }

  HeartBeatResultData result;
  result.responseCode = *responseCode;
  result.responseText = std::move(*responseText);
  if (data != nullptr) {
    JsonFieldReader dataReader(*data, "HeartBeatData");
    auto second = dataReader.requiredInt64("second");
    if (!dataReader.ok()) {
      if (error) *error = dataReader.error();
      return std::nullopt;
    }
    result.data = HeartBeatData{*second};
  }
  return result;
}

}  // namespace tavrel_mmp
