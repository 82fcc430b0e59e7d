#include "tavrel_mmp/deep_link_parameters.h"

#include "net/url_text.h"

namespace tavrel_mmp {
namespace {

constexpr const char* kAppStoreHost = "apps.apple.com";
constexpr const char* kPlayStoreHost = "play.google.com";

// A host-given store page replaces the derived one only when it looks like a web link to that
// store. Plain text tests, on purpose: no URL parsing, case-sensitive.
bool isStoreWebLink(const std::string& url, const char* storeHost) {
  return url.starts_with("http") && url.find(storeHost) != std::string::npos;
}

void setIfPresent(PropertyDictionary& params, const char* key,
                  const std::optional<std::string>& value) {
  if (value) params[key] = *value;
}

}  // namespace

DeepLinkIOSParameters::DeepLinkIOSParameters(std::optional<std::string> bundleID,
                                             std::optional<std::string> appStoreID)
    : bundleID(std::move(bundleID)), appStoreID(std::move(appStoreID)) {}

PropertyDictionary DeepLinkIOSParameters::buildParams() const {
  PropertyDictionary params = PropertyDictionary::object();
  setIfPresent(params, "bundle_id", bundleID);
  if (appStoreID) {
    params["appstore_id"] = *appStoreID;
    params["ios_store"] =
        std::string("https://") + kAppStoreHost + "/app/id" + percentEncoded(*appStoreID) + "?mt=8";
  }
  if (appStoreURL && isStoreWebLink(*appStoreURL, kAppStoreHost)) {
    params["ios_store"] = *appStoreURL;
  }
  setIfPresent(params, "ios_custom_protocol", customSchema);
  return params;
}

DeepLinkAndroidParameters::DeepLinkAndroidParameters(std::optional<std::string> packageName)
    : packageName(std::move(packageName)) {}

PropertyDictionary DeepLinkAndroidParameters::buildParams() const {
  PropertyDictionary params = PropertyDictionary::object();
  if (packageName) {
    params["package_name"] = *packageName;
    params["android_store"] = std::string("https://") + kPlayStoreHost +
                              "/store/apps/details?id=" + percentEncoded(*packageName);
  }
  if (playStoreURL && isStoreWebLink(*playStoreURL, kPlayStoreHost)) {
    params["android_store"] = *playStoreURL;
  }
  setIfPresent(params, "android_custom_protocol", customSchema);
  return params;
}

DeepLinkNimbrelParameters::DeepLinkNimbrelParameters(std::optional<std::string> source,
                                                     std::optional<std::string> code,
                                                     std::optional<std::string> medium,
                                                     std::optional<std::string> campaign,
                                                     std::optional<std::string> redirectUrl)
    : source(std::move(source)),
      code(std::move(code)),
      medium(std::move(medium)),
      campaign(std::move(campaign)),
      redirectUrl(std::move(redirectUrl)) {}

PropertyDictionary DeepLinkNimbrelParameters::buildParams() const {
  PropertyDictionary params = PropertyDictionary::object();
  setIfPresent(params, "name", name);
  setIfPresent(params, "utm_source", source);
  setIfPresent(params, "utm_medium", medium);
  setIfPresent(params, "utm_campaign", campaign);
  setIfPresent(params, "utm_content", content);
  setIfPresent(params, "utm_term", term);
  setIfPresent(params, "code", code);
  setIfPresent(params, "redirect_url", redirectUrl);
  return params;
}

}  // namespace tavrel_mmp
