#include "device/device_info.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "core/logger.h"
#include "device/device_naming.h"
#include "device/interface_address.h"
#include "session/storage_helper.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/device_facts.h"
#include "tavrel_mmp/user_info.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;
using platform::BatteryState;

class PhoneFacts : public platform::DeviceFacts {
 public:
  std::string deviceName = "iPhone";
  float level = 0.35f;
  BatteryState state = BatteryState::charging;

  std::optional<std::string> identifierForVendor() override {
    return "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  }
  std::string name() override { return deviceName; }
  std::string model() override { return "iPhone"; }
  std::string machine() override { return "iPhone12,5"; }
  std::string systemName() override { return "iOS"; }
  std::string systemVersion() override { return "16.4"; }
  platform::InterfaceIdiom interfaceIdiom() override { return platform::InterfaceIdiom::phone; }
  float batteryLevel() override { return level; }
  BatteryState batteryState() override { return state; }
  std::optional<std::string> carrierName() override { return "Carrier\xff"; }
  std::vector<std::string> preferredLanguages() override { return {"de-AT", "en-US"}; }
  std::optional<std::string> regionCode() override { return std::nullopt; }
  std::string timeZoneIdentifier() override { return "Europe/Vienna"; }
};

class DeviceInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installIsolatedPlatform(dir_.path());
    platform::installDeviceFacts(facts_);
  }
  void TearDown() override { Logger::setDevMode(false); }

  testing::TempDir dir_;
  std::shared_ptr<PhoneFacts> facts_ = std::make_shared<PhoneFacts>();
};

TEST_F(DeviceInfoTest, DictionaryOfAPhone) {
  Logger::setDevMode(true);
  json info;
  const std::string out = testing::captureStdout([&] { info = DeviceInfo::getDeviceInfo(); });
  Logger::setDevMode(false);
  const json expected = {
      {"sdkDeviceId", "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
      {"userId", ""},
      {"bundleId", "com.tavrel.test"},
      {"appVersion", "1.0.0"},
      {"os", "iOS"},
      {"osVersion", "16.4"},
      {"deviceModel", "iPhone12,5"},
      {"deviceBrand", "Apple"},
      {"deviceType", "iphone"},
      {"deviceName", "iPhone 11 Pro Max"},
      {"deviceIsEmulator", true},
      {"deviceIsJailBroken", false},
      {"deviceLanguage", "de-AT"},
      {"deviceCountry", ""},
      {"deviceTimeZone", "Europe/Vienna"},
      {"deviceIsTablet", false},
      {"deviceBatteryLevel", 0.35},
      {"deviceBatteryStatus", "CHAGRING"},
      {"deviceIsCharging", true},
      {"deviceCarrier", "Carrier\xEF\xBF\xBD"},
  };
  EXPECT_EQ(info, expected);
  EXPECT_TRUE(info["deviceBatteryLevel"].is_number_float());
  EXPECT_NE(info.dump().find("\"deviceBatteryLevel\":0.35,"), std::string::npos);
  EXPECT_EQ(out, "MMP: " + info.dump(2) + "\n");

  StorageHelper::shared().save("user-7", "Tavrel_MMP_UserID");
  platform::installBundleInfo(platform::makeFixedBundleInfo(std::nullopt, std::nullopt));
  info = DeviceInfo::getDeviceInfo();
  EXPECT_EQ(info["userId"], "user-7");
  EXPECT_EQ(info["bundleId"], "");
  EXPECT_EQ(info["appVersion"], "");
  EXPECT_EQ(info.size(), 20u);
}

TEST_F(DeviceInfoTest, BatteryStates) {
  struct Case {
    BatteryState state;
    const char* status;
    bool charging;
  };
  for (const Case& c :
       {Case{BatteryState::charging, "CHAGRING", true}, Case{BatteryState::full, "FULL", false},
        Case{BatteryState::unplugged, "UNPLUGGED", false},
        Case{BatteryState::unknown, "UNKNOWN", false}}) {
    facts_->state = c.state;
    const json info = DeviceInfo::getDeviceInfo();
    EXPECT_EQ(info["deviceBatteryStatus"], c.status);
    EXPECT_EQ(info["deviceIsCharging"], c.charging) << c.status;
  }
}

TEST_F(DeviceInfoTest, NameAndTypeRules) {
  struct Case {
    const char* userName;
    const char* identifier;
    const char* name;
    const char* type;
  };
  const Case cases[] = {
      {"iPhone", "iPhone12,5", "iPhone 11 Pro Max", "iphone"},
      {"iphone", "iPhone12,5", "iPhone 11 Pro Max", "iphone"},
      {"", "iPhone12,5", "iPhone 11 Pro Max", "iphone"},
      {"iPhone", "iPhone99,1", "unknown", "ios_device"},
      {"", "iphone12,5", "unknown", "ios_device"},  // identifiers match case-sensitively
      {"", "x86_64", "iPhone Simulator", "iphone"},
      {"iPhone", "arm64", "iPhone Simulator", "iphone"},
      {"", "iPod9,1", "iPod Touch", "ipod"},
      {"", "AppleTV6,2", "Apple TV 4K", "ios_device"},
      {"", "iPad2,5", "iPad Mini", "ipad"},
      {"Anna's iPad", "iPhone12,5", "Anna's iPad", "ipad"},
      {"Work Phone", "iPhone12,5", "Work Phone", "ios_device"},
      {"IPHONE", "iPod9,1", "IPHONE", "iphone"},  // only the two exact spellings are generic
      {"iPad and iPhone", "", "iPad and iPhone", "iphone"},
  };
  for (const Case& c : cases) {
    const std::string name = deviceNameFor(c.userName, c.identifier);
    EXPECT_EQ(name, c.name) << c.userName << " / " << c.identifier;
    EXPECT_EQ(deviceTypeFor(name), c.type) << name;
  }
  EXPECT_EQ(DeviceInfo::deviceNames().size(), 119u);
}

// A hand-built interface list in the given order: a name and an address text each; a text that
// is no IP address stands for a link-layer entry, none for an entry without an address.
struct InterfaceList {
  explicit InterfaceList(std::vector<std::pair<const char*, const char*>> rows)
      : entries(rows.size()), addresses(rows.size()) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      auto [name, text] = rows[i];
      auto& address = addresses[i];  // sockaddr_in6 holds either family
      entries[i].ifa_name = const_cast<char*>(name);
      entries[i].ifa_next = i + 1 < rows.size() ? &entries[i + 1] : nullptr;
      if (text == nullptr) continue;
      auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
      address.sin6_family = ::inet_pton(AF_INET6, text, &address.sin6_addr) == 1 ? AF_INET6
                            : ::inet_pton(AF_INET, text, &v4->sin_addr) == 1     ? AF_INET
                                                                                 : AF_UNIX;
      entries[i].ifa_addr = reinterpret_cast<sockaddr*>(&address);
    }
  }
  const ifaddrs* head() const { return entries.empty() ? nullptr : &entries.front(); }
  std::vector<ifaddrs> entries;
  std::vector<sockaddr_in6> addresses;
};

TEST(InterfaceAddressTest, LastMatchingEntryWins) {
  const InterfaceList list({{"lo", "127.0.0.1"},
                            {"en0", "192.168.1.20"},
                            {"en0", "fe80::1c2b:3dff:fe4a:5b6c"},
                            {"en0", nullptr},
                            {"en0", "link"},
                            {"pdp_ip0", "10.64.0.3"}});
  EXPECT_EQ(lastNumericAddress(list.head(), rawValue(Network::wifi)), "fe80::1c2b:3dff:fe4a:5b6c");
  EXPECT_EQ(lastNumericAddress(list.head(), rawValue(Network::cellular)), "10.64.0.3");
  EXPECT_EQ(lastNumericAddress(list.head(), "en"), std::nullopt);

  const InterfaceList reversed({{"en0", "fe80::1"}, {"en0", "192.168.1.20"}});
  EXPECT_EQ(lastNumericAddress(reversed.head(), "en0"), "192.168.1.20");
  EXPECT_EQ(lastNumericAddress(nullptr, "en0"), std::nullopt);

  EXPECT_EQ(networkFromRawValue("pdp_ip0"), Network::cellular);
  EXPECT_EQ(networkFromRawValue("en0"), Network::wifi);
  EXPECT_EQ(networkFromRawValue("eth0"), std::nullopt);
}

TEST(LinuxDeviceFactsTest, BatteryFromPowerSupplies) {
  struct Case {
    const char* status;
    const char* capacity;
    float level;
    BatteryState state;
  };
  const Case cases[] = {
      {"Charging", "57", 0.57f, BatteryState::charging},
      {"Discharging", "8", 0.08f, BatteryState::unplugged},
      {"Unknown", "", -1.0f, BatteryState::unknown},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    std::filesystem::create_directories(dir.path() + "/AC");
    std::filesystem::create_directories(dir.path() + "/BAT1");
    const auto write = [&](const std::string& file, const std::string& text) {
      std::ofstream(dir.path() + file) << text << "\n";
    };
    write("/AC/type", "Mains");
    write("/AC/status", "Charging");
    write("/BAT1/type", "Battery");
    write("/BAT1/status", c.status);
    if (*c.capacity) write("/BAT1/capacity", c.capacity);
    auto facts = platform::makeLinuxDeviceFacts(dir.path());
    EXPECT_EQ(facts->batteryLevel(), c.level) << c.status;
    EXPECT_EQ(facts->batteryState(), c.state) << c.status;
  }
  auto none = platform::makeLinuxDeviceFacts("/nonexistent/power_supply");
  EXPECT_EQ(none->batteryLevel(), -1.0f);
  EXPECT_EQ(none->batteryState(), BatteryState::unknown);
}

TEST(UserInfoTest, DictionaryRoundTripAndWrongKinds) {
  const auto user = UserInfo::create("u1", "Ann", "f", "a@b.c", "+43", -7, "AT", "Wien", "tok");
  const json dictionary = user->toDictionary();
  EXPECT_EQ(dictionary.size(), 9u);
  EXPECT_EQ(dictionary["firebaseToken"], "tok");
  EXPECT_TRUE(dictionary["age"].is_number_integer());
  EXPECT_EQ(UserInfo::fromDictionary(dictionary)->toDictionary(), dictionary);

  const auto wrong = UserInfo::fromDictionary(
      {{"userId", 5}, {"name", nullptr}, {"age", "31"}, {"deviceToken", "tok"}, {"city", "Linz"}});
  EXPECT_EQ(wrong->toDictionary(),
            UserInfo::create("", "", "", "", "", 0, "", "Linz", "")->toDictionary());
  for (const json& age : {json(31.0), json(4294967296LL), json(2147483648ULL), json(true)}) {
    EXPECT_EQ(UserInfo::fromDictionary({{"age", age}})->age, 0) << age;
  }
  EXPECT_EQ(UserInfo::fromDictionary({{"age", -2147483648LL}})->age, -2147483648LL);
  EXPECT_EQ(UserInfo::fromDictionary(json::array({1, 2}))->userId, "");
}

}  // namespace
}  // namespace tavrel_mmp
