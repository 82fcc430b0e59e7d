#pragma once

#include <functional>
#include <memory>
#include <string>

#include "tavrel_mmp/deep_link_parameters.h"
#include "tavrel_mmp/export.h"
#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

class DeepLinkBuilder;

/// The links the service made for a successful request. Only the builder creates one.
class TAVREL_MMP_EXPORT DeepLinkBuilderResult {
 public:
  std::string shortLink;
  std::string longLink;

 private:
  friend class DeepLinkBuilder;
  TAVREL_MMP_NO_EXPORT DeepLinkBuilderResult(std::string shortLink, std::string longLink);
};

/// Why a request failed: the service's result code in decimal when it refused the request, "0"
/// for every other failure.
class TAVREL_MMP_EXPORT DeepLinkBuilderError {
 public:
  DeepLinkBuilderError(std::string code, std::string message);
  std::string code;
  std::string message;
};

/// Asks the measurement service for tracking links. Every request calls its completion exactly
/// once, with exactly one of the two arguments set, normally on a library thread (on the
/// caller's thread, before returning, only when no request could be formed). A request made
/// while the library authenticates (right after `intSDK`) is sent when that ends, with the
/// session it brings, or after the transport's time-out; when the service refuses the
/// authentication, the request ends with that refusal's code, and nothing is sent.
class TAVREL_MMP_EXPORT DeepLinkBuilder {
 public:
  using Completion = std::function<void(std::shared_ptr<DeepLinkBuilderResult> result,
                                        std::shared_ptr<DeepLinkBuilderError> error)>;

  DeepLinkBuilder() = default;
  virtual ~DeepLinkBuilder() = default;

  std::shared_ptr<DeepLinkIOSParameters> iOSParameters;
  std::shared_ptr<DeepLinkAndroidParameters> androidParameters;
  std::shared_ptr<DeepLinkNimbrelParameters> nimbrelParameters;

  /// {"fields": [{"key", "value"}...]} from the parameter sets that are present.
  virtual PropertyDictionary buildParams() const;
  /// Posts the host's own body, unchanged.
  virtual void create(const PropertyDictionary& params, Completion completion);
  /// Posts the body of buildParams().
  virtual void create(Completion completion);
  /// Posts {"name", "short_link_id", "redirect_url"}; empty texts are sent as they are.
  virtual void createShortLink(const std::string& longLink, const std::string& name,
                               const std::string& shortLinkSlug, Completion completion);

 private:
  TAVREL_MMP_NO_EXPORT static void post(const std::string& path, const PropertyDictionary& body,
                                        Completion completion);
};

}  // namespace tavrel_mmp
