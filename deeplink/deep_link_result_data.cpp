#include "deeplink/deep_link_result_data.h"

#include "core/json_fields.h"

namespace tavrel_mmp {

std::optional<DeepLinkResultData> DeepLinkResultData::decode(const std::vector<std::uint8_t>& bytes,
                                                             std::string* error) {
  auto decoded = decodeEnvelopeWithData<DeepLinkData>(
      bytes, "DeepLinkResultData", "DeepLinkData",
      [](JsonFieldReader& data) {
        auto shortLink = data.requiredString("short_link");
        auto longLink = data.requiredString("long_link");
        return DeepLinkData{shortLink.value_or(""), longLink.value_or("")};
      },
      error);
  if (!decoded) return std::nullopt;
  return DeepLinkResultData{std::move(*decoded)};
}

}  // namespace tavrel_mmp
