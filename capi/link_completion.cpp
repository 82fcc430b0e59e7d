#include "capi/link_completion.h"

#include <string>

namespace tavrel_mmp::capi {
namespace {

// What the host hears when not even the outcome's text could be made (out of memory).
constexpr const char* kUnknownFailure = R"({"code":"0","message":""})";

std::string textOf(const PropertyDictionary& value) {
  return value.dump(-1, ' ', false, PropertyDictionary::error_handler_t::replace);
}

}  // namespace

DeepLinkBuilder::Completion linkCompletion(tavrel_mmp_link_completion completion, void* user) {
  if (completion == nullptr) return nullptr;
  return [completion, user](std::shared_ptr<DeepLinkBuilderResult> result,
                            std::shared_ptr<DeepLinkBuilderError> error) {
    std::string text;
    try {
      text = result ? textOf({{"shortLink", result->shortLink}, {"longLink", result->longLink}})
                    : textOf({{"code", error ? error->code : "0"},
                              {"message", error ? error->message : ""}});
    } catch (...) {
      return completion(nullptr, kUnknownFailure, user);
    }
    completion(result ? text.c_str() : nullptr, result ? nullptr : text.c_str(), user);
  };
}

}  // namespace tavrel_mmp::capi
