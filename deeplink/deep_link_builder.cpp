#include "tavrel_mmp/deep_link_builder.h"

#include <atomic>
#include <exception>

#include "core/dictionary_merge.h"
#include "core/json_depth.h"
#include "deeplink/deep_link_result_answer.h"
#include "net/http_client.h"
#include "platform/library_thread.h"
#include "settings/authentication_progress.h"

namespace tavrel_mmp {
namespace {

constexpr const char* kCreatePath = "/partner/deeplink/create";
constexpr const char* kShortenPath = "/partner/deeplink/shorten-link";

// Gives the host exactly one outcome per request, whichever way the request ends. An exception
// from the host's own callback is not ours to pass on.
class CompletionOnce {
 public:
  explicit CompletionOnce(DeepLinkBuilder::Completion completion)
      : completion_(std::move(completion)) {}

  void deliver(std::shared_ptr<DeepLinkBuilderResult> result,
               std::shared_ptr<DeepLinkBuilderError> error) {
    if (delivered_.exchange(true) || !completion_) return;
    try {
      completion_(std::move(result), std::move(error));
    } catch (...) {
      // The host's completion threw: not ours to pass on, and it has had its one call.
    }
  }
  void fail(std::string code, std::string message) {
    deliver(nullptr, std::make_shared<DeepLinkBuilderError>(std::move(code), std::move(message)));
  }

 private:
  DeepLinkBuilder::Completion completion_;
  std::atomic<bool> delivered_{false};
};

// Hands the request to the HTTP client; `onAnswer` delivers the outcome through `once`.
void send(const std::string& path, const PropertyDictionary& body, CompletionOnce& once,
          HttpCompletion onAnswer) {
  try {
    platform::ensureProcessSetup();
    HttpClient::shared().postForHost(path, body, std::move(onAnswer));
  } catch (const std::exception& e) {
    once.fail("0", e.what());
  } catch (...) {
    // Whatever the thread, the request that could not be formed still gets its one outcome.
    once.fail("0", "");
  }
}

}  // namespace

DeepLinkBuilderResult::DeepLinkBuilderResult(std::string shortLink, std::string longLink)
    : shortLink(std::move(shortLink)), longLink(std::move(longLink)) {}

DeepLinkBuilderError::DeepLinkBuilderError(std::string code, std::string message)
    : code(std::move(code)), message(std::move(message)) {}

PropertyDictionary DeepLinkBuilder::buildParams() const {
  // The three sets use disjoint keys, so the merge order does not matter.
  PropertyDictionary merged = PropertyDictionary::object();
  if (iOSParameters) mergeInto(merged, iOSParameters->buildParams());
  if (androidParameters) mergeInto(merged, androidParameters->buildParams());
  if (nimbrelParameters) mergeInto(merged, nimbrelParameters->buildParams());

  PropertyDictionary fields = PropertyDictionary::array();
  for (const auto& [key, value] : merged.items()) {
    fields.push_back(PropertyDictionary{{"key", key}, {"value", value}});
  }
  return PropertyDictionary{{"fields", std::move(fields)}};
}

void DeepLinkBuilder::create(const PropertyDictionary& params, Completion completion) {
  post(kCreatePath, params, std::move(completion));
}

void DeepLinkBuilder::create(Completion completion) {
  post(kCreatePath, buildParams(), std::move(completion));
}

void DeepLinkBuilder::createShortLink(const std::string& longLink, const std::string& name,
                                      const std::string& shortLinkSlug, Completion completion) {
  post(kShortenPath,
       PropertyDictionary{
           {"name", name}, {"short_link_id", shortLinkSlug}, {"redirect_url", longLink}},
       std::move(completion));
}

void DeepLinkBuilder::post(const std::string& path, const PropertyDictionary& body,
                           Completion completion) {
  auto once = std::make_shared<CompletionOnce>(std::move(completion));
  if (nestedDeeperThan(body)) {
    return once->fail(
        "0", "the parameters nest deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  }
  HttpCompletion onAnswer = [once](auto responseBody, auto transportError) {
    try {
      const DeepLinkAnswer answer = interpretDeepLinkAnswer(responseBody, transportError);
      if (answer.succeeded) {
        once->deliver(std::shared_ptr<DeepLinkBuilderResult>(
                          new DeepLinkBuilderResult(answer.shortLink, answer.longLink)),
                      nullptr);
      } else {
        once->fail(answer.errorCode, answer.errorMessage);
      }
    } catch (const std::exception& e) {
      once->fail("0", e.what());
    }
  };
  try {
    // A link asked for while the installation authenticates goes out with the session that
    // brings: the request is continued when the authentication ends (or after the transport's
    // time-out), never waited for on the host's thread.
    AuthenticationProgress::whenSettled(
        HttpClient::kRequestTimeoutSeconds,
        [path, body, once, onAnswer](const AuthenticationOutcome& outcome) {
          if (outcome.refusedCode) {
            return once->fail(std::to_string(*outcome.refusedCode),
                              "the service refused the authentication (" + outcome.refusedText +
                                  "): no link was asked for");
          }
          send(path, body, *once, onAnswer);
        });
  } catch (const std::exception& e) {
    once->fail("0", e.what());
  } catch (...) {
    once->fail("0", "");
  }
}

}  // namespace tavrel_mmp
