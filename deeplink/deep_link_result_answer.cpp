#include "deeplink/deep_link_result_answer.h"

#include "deeplink/deep_link_result_data.h"
#include "net/result_data.h"

namespace tavrel_mmp {
namespace {

constexpr std::int64_t kFirstAccepted = 200;
constexpr std::int64_t kLastAccepted = 298;

DeepLinkAnswer failure(std::string code, std::string message) {
  DeepLinkAnswer answer;
  answer.errorCode = std::move(code);
  answer.errorMessage = std::move(message);
  return answer;
}

}  // namespace

DeepLinkAnswer interpretDeepLinkAnswer(const std::optional<std::vector<std::uint8_t>>& body,
                                       const std::optional<HttpError>& error) {
  if (!body) return failure("0", error ? error->description : "");

  std::string reason;
  const auto envelope = ResultData::decode(*body, &reason);
  if (!envelope) return failure("0", reason);
  if (envelope->responseCode < kFirstAccepted || envelope->responseCode > kLastAccepted) {
    return failure(std::to_string(envelope->responseCode), envelope->responseText);
  }

  const auto result = DeepLinkResultData::decode(*body, &reason);
  if (!result) return failure("0", reason);
  if (!result->data) return failure("0", "data is null");

  DeepLinkAnswer answer;
  answer.succeeded = true;
  answer.shortLink = result->data->short_link;
  answer.longLink = result->data->long_link;
  return answer;
}

}  // namespace tavrel_mmp
