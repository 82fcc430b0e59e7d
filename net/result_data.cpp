#include "net/result_data.h"

#include "core/json_fields.h"

namespace tavrel_mmp {

std::optional<ResultData> ResultData::decode(const std::vector<std::uint8_t>& bytes,
                                             std::string* error) {
  const auto json = parseJsonBytes(bytes, error);
  if (!json) return std::nullopt;
  JsonFieldReader reader(*json, "ResultData");
  const auto code = reader.requiredInt64("responseCode");
  const auto text = reader.requiredString("responseText");
  if (!reader.ok()) {
    if (error) *error = reader.error();
    return std::nullopt;
  }
  return ResultData{*code, *text};
}

}  // namespace tavrel_mmp
