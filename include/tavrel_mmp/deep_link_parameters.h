#pragma once

#include <optional>
#include <string>

#include "tavrel_mmp/export.h"
#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

/// Where a created link sends an iOS device. A field without a value contributes no key.
class TAVREL_MMP_EXPORT DeepLinkIOSParameters {
 public:
  DeepLinkIOSParameters(std::optional<std::string> bundleID, std::optional<std::string> appStoreID);
  virtual ~DeepLinkIOSParameters() = default;

  std::optional<std::string> bundleID;
  std::optional<std::string> appStoreID;  ///< numeric App Store identifier, as text
  std::optional<std::string> customSchema;
  /// Used as "ios_store" only when it starts with "http" and names the App Store host.
  std::optional<std::string> appStoreURL;

  /// "bundle_id", "appstore_id", "ios_store", "ios_custom_protocol", as far as set.
  virtual PropertyDictionary buildParams() const;
};

/// Where a created link sends an Android device. A field without a value contributes no key.
class TAVREL_MMP_EXPORT DeepLinkAndroidParameters {
 public:
  explicit DeepLinkAndroidParameters(std::optional<std::string> packageName);
  virtual ~DeepLinkAndroidParameters() = default;

  std::optional<std::string> packageName;
  /// Used as "android_store" only when it starts with "http" and names the Play Store host.
  std::optional<std::string> playStoreURL;
  std::optional<std::string> customSchema;

  /// "package_name", "android_store", "android_custom_protocol", as far as set.
  virtual PropertyDictionary buildParams() const;
};

/// The campaign attribution of a created link. A field without a value contributes no key.
class TAVREL_MMP_EXPORT DeepLinkNimbrelParameters {
 public:
  DeepLinkNimbrelParameters(std::optional<std::string> source, std::optional<std::string> code,
                            std::optional<std::string> medium, std::optional<std::string> campaign,
                            std::optional<std::string> redirectUrl);
  virtual ~DeepLinkNimbrelParameters() = default;

  std::optional<std::string> name;
  std::optional<std::string> source;
  std::optional<std::string> code;
  std::optional<std::string> medium;
  std::optional<std::string> campaign;
  std::optional<std::string> term;
  std::optional<std::string> content;
  std::optional<std::string> redirectUrl;

  /// "name", "utm_source", "utm_medium", "utm_campaign", "utm_content", "utm_term", "code",
  /// "redirect_url", as far as set.
  virtual PropertyDictionary buildParams() const;
};

}  // namespace tavrel_mmp
