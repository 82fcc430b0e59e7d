#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/logger.h"
#include "session/storage_helper.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/device_facts.h"
#include "tavrel_mmp/platform/preferences_store.h"

namespace tavrel_mmp {
namespace {

using testing::bytes;

class StorageHelperTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::installIsolatedPlatform(dir_.path()); }
  std::string prefsPath() const { return dir_.path() + "/preferences.bin"; }
  // A new store instance on the same file, as a restarted process would have.
  void reopen() {
    platform::installPreferencesStore(platform::makeFilePreferencesStore({prefsPath(), nullptr}));
  }
  testing::TempDir dir_;
  StorageHelper& storage_ = StorageHelper::shared();
};

TEST_F(StorageHelperTest, DefaultsOnAFreshInstall) {
  EXPECT_EQ(storage_.getPartnerCode(), "");
  EXPECT_EQ(storage_.getAppSecret(), "");
  EXPECT_EQ(storage_.getBaseUrl(), "");
  EXPECT_EQ(storage_.getDeeplink(), "");
  EXPECT_EQ(storage_.getLastEventTime(), 0);
  EXPECT_EQ(storage_.getExpireTime(), 0);
  EXPECT_EQ(storage_.getDeeplinkExpireTime(), 0);
  EXPECT_FALSE(storage_.getAuthData().has_value());
  EXPECT_FALSE(storage_.getValue("absent").has_value());
  storage_.save("", "empty");
  EXPECT_EQ(storage_.getValue("empty"), std::optional<std::string>(""));
  storage_.deleteValue("empty");
  EXPECT_FALSE(storage_.getValue("empty").has_value());
}

TEST_F(StorageHelperTest, IntegerEntriesFollowTheReadingRule) {
  storage_.saveLastEventTime(42);
  EXPECT_EQ(storage_.getLastEventTime(), 42);
  storage_.saveDeeplinkExpireTime(-1700000000);
  EXPECT_EQ(storage_.getValue("MMP_SessionExpireTimeInSeconds_Deeplink"), "-1700000000");
  EXPECT_EQ(storage_.getDeeplinkExpireTime(), -1700000000);
  storage_.saveExpireTime(INT64_MIN);
  EXPECT_EQ(storage_.getExpireTime(), INT64_MIN);

  const std::pair<const char*, std::int64_t> cases[] = {{"12a", 0},
                                                        {" 12", 0},
                                                        {"12 ", 0},
                                                        {"", 0},
                                                        {"-", 0},
                                                        {"1.5", 0},
                                                        {"0x10", 0},
                                                        {"007", 7},
                                                        {"+5", 5},
                                                        {"9223372036854775807", INT64_MAX},
                                                        {"9223372036854775808", 0},
                                                        {"-9223372036854775809", 0},
                                                        {"+-1", 0}};
  for (const auto& [text, expected] : cases) {
    storage_.save(text, "MMP_LastEventTime");
    EXPECT_EQ(storage_.getLastEventTime(), expected) << "'" << text << "'";
  }
}

TEST_F(StorageHelperTest, AuthRecordIsStoredAsGivenAndDecodedStrictly) {
  const std::string body =
      R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s","token":"t",)"
      R"("sessionExpireTimeInSeconds":60,"deeplinkExpired":7,"extra":[1]}})";
  storage_.saveAuthData(bytes(body));
  auto auth = storage_.getAuthData();
  ASSERT_TRUE(auth);
  EXPECT_EQ(auth->data->token, "t");
  EXPECT_EQ(auth->data->deeplinkExpired, 7);
  EXPECT_FALSE(auth->data->deferredDeeplinkExpired);
  auto stored = platform::preferencesStore().value("MMP_AuthData");
  ASSERT_TRUE(stored);
  EXPECT_EQ(std::get<std::vector<std::uint8_t>>(*stored), bytes(body));

  storage_.saveAuthData(bytes(R"({"responseCode":200,"responseText":"OK","data":null})"));
  ASSERT_TRUE(storage_.getAuthData());
  EXPECT_FALSE(storage_.getAuthData()->data);

  const char* undecodable[] = {
      "not json",
      R"({"responseText":"OK"})",
      R"({"responseCode":"200","responseText":"OK"})",
      R"({"responseCode":200.5,"responseText":"OK"})",
      R"({"responseCode":200,"responseText":null})",
      R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s","token":"t"}})",
      R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s","token":"t",)"
      R"("sessionExpireTimeInSeconds":"60"}})",
      R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s","token":"t",)"
      R"("sessionExpireTimeInSeconds":60,"deeplinkExpired":"7"}})",
      R"({"responseCode":200,"responseText":"OK","data":[]})",
      R"([200])",
  };
  for (const char* text : undecodable) {
    storage_.saveAuthData(bytes(text));
    EXPECT_FALSE(storage_.getAuthData()) << text;
  }
  storage_.removeAuthData();
  EXPECT_FALSE(platform::preferencesStore().value("MMP_AuthData"));
}

class FakeDeviceFacts : public platform::DeviceFacts {
 public:
  std::optional<std::string> vendorId;
  int asked = 0;
  std::optional<std::string> identifierForVendor() override {
    ++asked;
    return vendorId;
  }
  std::string name() override { return ""; }
  std::string model() override { return ""; }
  std::string machine() override { return ""; }
  std::string systemName() override { return ""; }
  std::string systemVersion() override { return ""; }
  platform::InterfaceIdiom interfaceIdiom() override { return platform::InterfaceIdiom::phone; }
  float batteryLevel() override { return -1; }
  platform::BatteryState batteryState() override { return platform::BatteryState::unknown; }
  std::optional<std::string> carrierName() override { return std::nullopt; }
  std::vector<std::string> preferredLanguages() override { return {}; }
  std::optional<std::string> regionCode() override { return std::nullopt; }
  std::string timeZoneIdentifier() override { return "UTC"; }
};

TEST_F(StorageHelperTest, DeviceIdIsCreatedOnceAndRetriedWhileEmpty) {
  auto facts = std::make_shared<FakeDeviceFacts>();
  platform::installDeviceFacts(facts);
  EXPECT_EQ(storage_.getDeviceId(), "");
  EXPECT_EQ(storage_.getValue("MMP_DeviceId"), "");
  facts->vendorId = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  EXPECT_EQ(storage_.getDeviceId(), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  facts->vendorId = "00000000-0000-0000-0000-000000000000";
  EXPECT_EQ(storage_.getDeviceId(), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_EQ(facts->asked, 2);
}

TEST_F(StorageHelperTest, LinuxVendorIdentifierIsAStableUuid) {
  const auto id = platform::deviceFacts().identifierForVendor();
  if (!std::filesystem::exists("/etc/machine-id") || !id) GTEST_SKIP() << "no machine id here";
  EXPECT_EQ(id->size(), 36u);
  EXPECT_EQ((*id)[8], '-');
  EXPECT_EQ(platform::deviceFacts().identifierForVendor(), id);
}

TEST_F(StorageHelperTest, ValuesSurviveAReopen) {
  storage_.savePartnerCode("P1");
  storage_.saveAuthData({0x00, 0xFF, 0x7B});
  storage_.saveLastEventTime(-3);
  reopen();
  EXPECT_EQ(storage_.getPartnerCode(), "P1");
  EXPECT_EQ(
      std::get<std::vector<std::uint8_t>>(*platform::preferencesStore().value("MMP_AuthData")),
      (std::vector<std::uint8_t>{0x00, 0xFF, 0x7B}));
  EXPECT_EQ(storage_.getLastEventTime(), -3);
}

TEST_F(StorageHelperTest, DamagedFilesReadAsEmptyAndAreReported) {
  storage_.savePartnerCode("P1");
  std::string good;
  {
    std::ifstream in(prefsPath(), std::ios::binary);
    good.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_GT(good.size(), 40u);
  std::string flipped = good;
  flipped[20] = static_cast<char>(flipped[20] ^ 0x01);
  for (const std::string& damaged :
       {good.substr(0, good.size() - 1), good.substr(0, 10), flipped, std::string("garbage")}) {
    {
      std::ofstream out(prefsPath(), std::ios::binary | std::ios::trunc);
      out << damaged;
    }
    reopen();
    Logger::setDevMode(true);
    const std::string printed =
        testing::captureStdout([&] { EXPECT_EQ(storage_.getPartnerCode(), ""); });
    Logger::setDevMode(false);
    EXPECT_NE(printed.find("damaged"), std::string::npos) << printed;
    // The store stays usable and writes a sound file again.
    storage_.savePartnerCode("P2");
    reopen();
    EXPECT_EQ(storage_.getPartnerCode(), "P2");
  }
}

TEST_F(StorageHelperTest, CrashBetweenWriteAndRenameLosesOnlyThatChange) {
  storage_.savePartnerCode("kept");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto dying = platform::makeFilePreferencesStore({prefsPath(), [] { _exit(0); }});
    dying->setText("MMP_PartnerCode", "lost");
    _exit(3);  // not reached: the hook ends the process first
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  reopen();
  EXPECT_EQ(storage_.getPartnerCode(), "kept");
  storage_.saveAppSecret("next");
  reopen();
  EXPECT_EQ(storage_.getAppSecret(), "next");
  EXPECT_EQ(storage_.getPartnerCode(), "kept");
}

}  // namespace
}  // namespace tavrel_mmp
