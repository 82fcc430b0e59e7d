#pragma once

#include <memory>
#include <optional>
#include <string>

#include "tavrel_mmp/nimbrel_options.h"
#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

// The library's public entry points. Nothing here throws or reports failure to the caller.
class Nimbrel {
 public:
  static void intSDK(const std::string& partnerCode, const std::string& appSecret,
                     const std::shared_ptr<NimbrelOptions>& options);
  static void intSDK(const std::string& partnerCode, const std::string& appSecret);
  static void logEvent(const std::string& name, const std::optional<PropertyDictionary>& data);
  static void setDevMode(bool on);
};

}  // namespace tavrel_mmp
