// The device dictionary sent with every device-information update.
#include <charconv>
#include <cstdlib>

#include "core/logger.h"
#include "core/utf8.h"
#include "device/device_info.h"
#include "session/storage_helper.h"
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
  info["userId"] = text(storage.getValue(kUserIdKey).value_or(""));
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

}  // namespace tavrel_mmp
