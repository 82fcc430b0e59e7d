#pragma once

#include "tavrel_mmp/platform/device_facts.h"

namespace tavrel_mmp::testing {

// Device facts set by hand: an iPhone 11 Pro Max unless a test changes a field.
struct FakeDeviceFacts : platform::DeviceFacts {
  std::optional<std::string> vendorId = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  std::vector<platform::InterfaceAddress> addresses;  // none unless a test lists some

  std::optional<std::string> identifierForVendor() override { return vendorId; }
  std::string name() override { return "iPhone"; }
  std::string model() override { return "iPhone"; }
  std::string machine() override { return "iPhone12,5"; }
  std::string systemName() override { return "iOS"; }
  std::string systemVersion() override { return "16.4"; }
  platform::InterfaceIdiom interfaceIdiom() override { return platform::InterfaceIdiom::phone; }
  float batteryLevel() override { return 0.35f; }
  platform::BatteryState batteryState() override { return platform::BatteryState::charging; }
  std::optional<std::string> carrierName() override { return "Carrier\xff"; }
  std::vector<std::string> preferredLanguages() override { return {"de-AT", "en-US"}; }
  std::optional<std::string> regionCode() override { return std::nullopt; }
  std::string timeZoneIdentifier() override { return "Europe/Vienna"; }
  std::vector<platform::InterfaceAddress> interfaceAddresses() override { return addresses; }
};

}  // namespace tavrel_mmp::testing
