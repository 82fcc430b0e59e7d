#include "device/device_info.h"

#include <gtest/gtest.h>

#include <fstream>

#include "settings/storage_helper.h"
#include "support/fake_device_facts.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/linux_device_facts.h"
#include "tavrel_mmp/user_info.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;

TEST(DeviceInfo, DictionaryOfAPhone) {
  testing::TempDir dir;
  testing::installIsolatedPlatform(dir.path());
  platform::installDeviceFacts(std::make_shared<testing::FakeDeviceFacts>());
  json info;
  const std::string out = testing::captureLog([&] { info = DeviceInfo::getDeviceInfo(); });
  EXPECT_EQ(info, json::parse(R"({"sdkDeviceId":"6F9619FF-8B86-D011-B42D-00C04FC964FF",
      "userId":"","bundleId":"com.tavrel.test","appVersion":"1.0.0","os":"iOS","osVersion":"16.4",
      "deviceModel":"iPhone12,5","deviceBrand":"Apple","deviceType":"iphone",
      "deviceName":"iPhone 11 Pro Max","deviceIsEmulator":true,"deviceIsJailBroken":false,
      "deviceLanguage":"de-AT","deviceCountry":"","deviceTimeZone":"Europe/Vienna",
      "deviceIsTablet":false,"deviceBatteryLevel":0.35,"deviceBatteryStatus":"CHAGRING",
      "deviceIsCharging":true,"deviceCarrier":"Carrier\uFFFD"})"));
  // The float level goes out as the short decimal a person would write.
  EXPECT_NE(info.dump().find("\"deviceBatteryLevel\":0.35,"), std::string::npos);
  EXPECT_EQ(out, "MMP: " + info.dump(2) + "\n");

  StorageHelper::shared().save("user-7", "Tavrel_MMP_UserID");
  platform::installBundleInfo(platform::makeFixedBundleInfo(std::nullopt, std::nullopt));
  info = DeviceInfo::getDeviceInfo();
  EXPECT_EQ(info["userId"].dump() + info["bundleId"].dump() + info["appVersion"].dump(),
            R"("user-7""""")");
  EXPECT_EQ(info.size(), 20u);
}

// Keyed by the machine id and the bundle identifier's vendor part, the way systemd makes
// application-specific machine ids (HMAC-SHA256, as a version 4 UUID).
TEST(LinuxDeviceFacts, OneVendorsAppsShareTheVendorIdentifierOtherVendorsDoNot) {
  testing::TempDir dir;
  const char *machine = "0123456789abcdef0123456789abcdef",
             *example = "14D30AE3-8411-4338-977C-4B7210473A35";
  const std::tuple<const char*, std::optional<std::string>, std::optional<std::string>> cases[] = {
      {machine, "com.example.app", example},
      {machine, "com.example.tool", example},
      {machine, "org.other.app", "0060244C-33F9-4C33-91A3-094D59788AB0"},
      {"fedcba9876543210fedcba9876543210", "com.example.app",
       "851707F8-4FB2-4A2B-BB20-A34E54DCDDFD"},
      {machine, "tavrel_mmp_host", "ABB5DB6A-41A7-49E5-A519-E687A1BBDE44"},  // its own vendor
      {machine, "", std::nullopt},
      {machine, std::nullopt, std::nullopt},
      {"uninitialized", "com.example.app", std::nullopt},
  };
  for (const auto& [machineId, bundle, expected] : cases) {
    std::ofstream(dir.path() + "/machine-id") << machineId << "\n";
    platform::installBundleInfo(platform::makeFixedBundleInfo(bundle, std::nullopt));
    EXPECT_EQ(platform::makeLinuxDeviceFacts(dir.path(), dir.path() + "/machine-id")
                  ->identifierForVendor(),
              expected)
        << bundle.value_or("(none)");
  }
}

TEST(InterfaceAddress, TheLastEntryOfTheNamedInterfaceWins) {
  testing::TempDir dir;
  testing::installIsolatedPlatform(dir.path());
  auto facts = std::make_shared<testing::FakeDeviceFacts>();
  platform::installDeviceFacts(facts);
  using platform::AddressFamily;
  using Address = std::optional<std::string>;
  const struct {
    std::vector<platform::InterfaceAddress> listed;
    Address wifi, cellular;
  } cases[] = {
      {{}, std::nullopt, std::nullopt},
      {{{"en0", AddressFamily::ipv4, "192.168.1.20"},
        {"pdp_ip0", AddressFamily::ipv4, "10.64.0.3"},
        {"en0", AddressFamily::ipv6, "fe80::1c2b:3dff:fe4a:5b6c"}},
       "fe80::1c2b:3dff:fe4a:5b6c",
       "10.64.0.3"},
      {{{"en", AddressFamily::ipv4, "1.2.3.4"}, {"en00", AddressFamily::ipv4, "1.2.3.5"}},
       std::nullopt,
       std::nullopt},
      // An entry the system could not write as text still counts, and host text is made valid.
      {{{"en0", AddressFamily::ipv4, "1.2.3.4"}, {"en0", AddressFamily::ipv6, ""}}, "", {}},
      {{{"pdp_ip0", AddressFamily::ipv6, "fe80::1%bad\xff"}}, {}, "fe80::1%bad\uFFFD"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    facts->addresses = cases[i].listed;
    EXPECT_EQ(DeviceInfo::getIPAddress(Network::wifi), cases[i].wifi) << i;
    EXPECT_EQ(DeviceInfo::getIPAddress(Network::cellular), cases[i].cellular) << i;
  }
}

TEST(UserInfo, DictionaryRoundTripAndWrongKinds) {
  const auto user = UserInfo::create("u1", "Ann", "f", "a@b.c", "+43", -7, "AT", "Wien", "tok");
  const json dictionary = user->toDictionary();
  EXPECT_TRUE(dictionary["age"].is_number_integer());
  EXPECT_EQ(UserInfo::fromDictionary(dictionary)->toDictionary(), dictionary);

  const auto wrong = UserInfo::fromDictionary(
      {{"userId", 5}, {"name", nullptr}, {"age", "31"}, {"deviceToken", "tok"}, {"city", "Linz"}});
  EXPECT_EQ(wrong->toDictionary(),
            UserInfo::create("", "", "", "", "", 0, "", "Linz", "")->toDictionary());
  for (const json& age : {json(31.0), json(4294967296LL), json(2147483648ULL), json(true)})
    EXPECT_EQ(UserInfo::fromDictionary({{"age", age}})->age, 0) << age;
  EXPECT_EQ(UserInfo::fromDictionary({{"age", -2147483648LL}})->age, -2147483648LL);
  EXPECT_EQ(UserInfo::fromDictionary(json::array({1, 2}))->userId, "");
}

}  // namespace
}  // namespace tavrel_mmp
