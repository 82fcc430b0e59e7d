// The device dictionary and the facts it is made of.
#include "device/device_info.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "core/logger.h"
#include "core/no_destructor.h"
#include "core/utf8.h"
#include "settings/settings_keys.h"
#include "settings/storage_helper.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/device_facts.h"

namespace tavrel_mmp {
namespace {

// The level is a 32-bit float; widened through its shortest text so that the JSON carries
// "0.35" rather than the double next to it (0.3499999940395355).
double batteryLevelNumber(float level) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text - 1, level);
  if (error != std::errc()) return static_cast<double>(level);
  *end = '\0';
  return std::strtod(text, nullptr);
}

// Platform texts (host names, environment values) are not guaranteed to be UTF-8, and the
// dictionary must always serialise.
std::string text(std::string_view value) {
  return toValidUtf8(value);
}

// The platform always lists at least one language; without one the entry is empty text.
std::string firstLanguage(platform::DeviceFacts& facts) {
  const auto languages = facts.preferredLanguages();
  return languages.empty() ? std::string() : languages.front();
}

}  // namespace

std::string DeviceInfo::getDeviceBatteryStatus() {
  switch (platform::deviceFacts().batteryState()) {
    case platform::BatteryState::charging:
      return "CHAGRING";
    case platform::BatteryState::full:
      return "FULL";
    case platform::BatteryState::unplugged:
      return "UNPLUGGED";
    default:
      return "UNKNOWN";
  }
}

PropertyDictionary DeviceInfo::getDeviceInfo() {
  auto& facts = platform::deviceFacts();
  auto& storage = StorageHelper::shared();

  PropertyDictionary info = PropertyDictionary::object();
  info["sdkDeviceId"] = text(storage.getDeviceId().value_or(""));
  info["userId"] = text(storage.getValue(settings_keys::kUserId).value_or(""));
  info["bundleId"] = text(platform::bundleInfo().bundleIdentifier().value_or(""));
  info["appVersion"] = text(getAppVersionName());
  info["os"] = text(facts.systemName());
  info["osVersion"] = text(facts.systemVersion());
  info["deviceModel"] = text(getDeviceIdentifier());
  info["deviceBrand"] = "Apple";
  info["deviceType"] = text(getDeviceType());
  info["deviceName"] = text(getDeviceName());
  info["deviceIsEmulator"] = true;
  info["deviceIsJailBroken"] = false;
  info["deviceLanguage"] = text(firstLanguage(facts));
  info["deviceCountry"] = text(facts.regionCode().value_or(""));
  info["deviceTimeZone"] = text(facts.timeZoneIdentifier());
  info["deviceIsTablet"] = facts.interfaceIdiom() == platform::InterfaceIdiom::pad;
  info["deviceBatteryLevel"] = batteryLevelNumber(facts.batteryLevel());
  info["deviceBatteryStatus"] = getDeviceBatteryStatus();
  info["deviceIsCharging"] = facts.batteryState() == platform::BatteryState::charging;
  info["deviceCarrier"] = text(facts.carrierName().value_or(""));

  Logger::log(info);
  return info;
}

std::string DeviceInfo::getDeviceIdentifier() {
  // Computed once per process; concurrent first callers wait for the one computation.
  static NoDestructor<std::string> identifier([] {
    std::string text = platform::deviceFacts().machine();
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    return text;
  }());
  return identifier.get();
}

std::string DeviceInfo::getAppVersionName() {
  return platform::bundleInfo().shortVersion().value_or("");
}

std::string DeviceInfo::nameFor(const std::string& userAssignedName,
                                const std::string& identifier) {
  if (!userAssignedName.empty() && userAssignedName != "iPhone" && userAssignedName != "iphone") {
    return userAssignedName;
  }
  const auto& names = deviceNames();
  const auto hit = names.find(identifier);
  return hit == names.end() ? "unknown" : hit->second;
}

std::string DeviceInfo::typeFor(const std::string& deviceName) {
  std::string lower = deviceName;
  // ASCII only: the three words are ASCII, and other bytes must stay as they are.
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  if (lower.find("iphone") != std::string::npos) return "iphone";
  if (lower.find("ipod") != std::string::npos) return "ipod";
  if (lower.find("ipad") != std::string::npos) return "ipad";
  return "ios_device";
}

std::string DeviceInfo::getDeviceName() {
  return nameFor(platform::deviceFacts().name(), getDeviceIdentifier());
}

std::string DeviceInfo::getDeviceType() {
  return typeFor(getDeviceName());
}

}  // namespace tavrel_mmp
