#include "deeplink/deep_link_result_data.h"

#include "core/json_fields.h"

namespace tavrel_mmp {

std::optional<DeepLinkResultData> DeepLinkResultData::decode(const std::vector<std::uint8_t>& bytes,
                                                             std::string* error) {
  const auto json = parseJsonBytes(bytes, error);
  if (!json) return std::nullopt;

  JsonFieldReader reader(*json, "DeepLinkResultData");
  auto responseCode = reader.requiredInt64("responseCode");
  auto responseText = reader.requiredString("responseText");
  const nlohmann::json* data = reader.optionalObject("data");
  if (!reader.ok()) {
    if (error) *error = reader.error();
    return std::nullopt;
  }

  DeepLinkResultData result;
  result.responseCode = *responseCode;
  result.responseText = std::move(*responseText);
  if (data != nullptr) {
    JsonFieldReader dataReader(*data, "DeepLinkData");
    auto shortLink = dataReader.requiredString("short_link");
    auto longLink = dataReader.requiredString("long_link");
    if (!dataReader.ok()) {
      if (error) *error = dataReader.error();
      return std::nullopt;
    }
    result.data = DeepLinkData{std::move(*shortLink), std::move(*longLink)};
  }
  return result;
}

}  // namespace tavrel_mmp
