// The settings store: StorageHelper's reading rules and the SQLite preferences provider under
// failure, damage, symlinks and a second process.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "session/storage_helper.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/device_facts.h"
#include "tavrel_mmp/platform/preferences_store.h"

namespace tavrel_mmp {
namespace {

namespace fs = std::filesystem;
using testing::bytes;

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::installIsolatedPlatform(dir_.path()); }
  std::string prefsPath() const { return dir_.path() + "/preferences.sqlite3"; }
  // A new store instance on the same file, as another or a restarted process would have.
  std::shared_ptr<platform::PreferencesStore> reopen() {
    auto store = platform::makeSqlitePreferencesStore(prefsPath());
    platform::installPreferencesStore(store);
    return store;
  }
  static std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  testing::TempDir dir_;
  StorageHelper& storage_ = StorageHelper::shared();
};

TEST_F(StorageTest, DefaultsAndIntegerReadingRule) {
  EXPECT_EQ(storage_.getPartnerCode(), "");
  EXPECT_EQ(storage_.getDeeplinkExpireTime(), 0);
  EXPECT_FALSE(storage_.getAuthData());
  EXPECT_FALSE(storage_.getValue("absent"));
  storage_.save("", "empty");
  EXPECT_EQ(storage_.getValue("empty"), std::optional<std::string>(""));

  storage_.saveExpireTime(INT64_MIN);
  EXPECT_EQ(storage_.getExpireTime(), INT64_MIN);
  const std::pair<const char*, std::int64_t> cases[] = {{"42", 42},
                                                        {"12a", 0},
                                                        {" 12", 0},
                                                        {"12 ", 0},
                                                        {"", 0},
                                                        {"-", 0},
                                                        {"1.5", 0},
                                                        {"0x10", 0},
                                                        {"+5", 5},
                                                        {"9223372036854775807", INT64_MAX},
                                                        {"+-1", 0},
                                                        {"-7", -7},
                                                        {"9223372036854775808", 0}};
  for (const auto& [text, expected] : cases) {
    storage_.save(text, "MMP_LastEventTime");
    EXPECT_EQ(storage_.getLastEventTime(), expected) << "'" << text << "'";
  }
}

TEST_F(StorageTest, AuthRecordIsStoredAsGivenAndDecodedStrictly) {
  const std::string body =
      R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s","token":"t",)"
      R"("sessionExpireTimeInSeconds":60,"deeplinkExpired":7,"extra":[1]}})";
  storage_.saveAuthData(bytes(body));
  ASSERT_TRUE(storage_.getAuthData());
  EXPECT_EQ(storage_.getAuthData()->data->deeplinkExpired, 7);
  EXPECT_EQ(
      std::get<std::vector<std::uint8_t>>(*platform::preferencesStore().value("MMP_AuthData")),
      bytes(body));
  // A record written under the generic accessor is seen by the next read too.
  storage_.save(R"({"responseCode":200,"responseText":"OK","data":null})", "MMP_AuthData");
  ASSERT_TRUE(storage_.getAuthData());
  EXPECT_FALSE(storage_.getAuthData()->data);

  for (const char* text : {
           "not json",
           R"({"responseText":"OK"})",
           R"({"responseCode":"200","responseText":"OK"})",
           R"({"responseCode":200.5,"responseText":"OK"})",
           R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s","token":"t"}})",
           R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s","token":"t",)"
           R"("sessionExpireTimeInSeconds":60,"deeplinkExpired":"7"}})",
           R"({"responseCode":200,"responseText":"OK","data":[]})",
       }) {
    storage_.saveAuthData(bytes(text));
    EXPECT_FALSE(storage_.getAuthData()) << text;
  }
  storage_.removeAuthData();
  EXPECT_FALSE(platform::preferencesStore().value("MMP_AuthData"));
}

class VendorIdFacts : public platform::DeviceFacts {
 public:
  std::optional<std::string> vendorId;
  std::optional<std::string> identifierForVendor() override { return vendorId; }
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

TEST_F(StorageTest, DeviceIdIsCreatedOnceAndRetriedWhileEmpty) {
  auto facts = std::make_shared<VendorIdFacts>();
  platform::installDeviceFacts(facts);
  EXPECT_EQ(storage_.getDeviceId(), "");
  EXPECT_EQ(storage_.getValue("MMP_DeviceId"), "");
  facts->vendorId = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
  EXPECT_EQ(storage_.getDeviceId(), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  facts->vendorId = "00000000-0000-0000-0000-000000000000";
  EXPECT_EQ(storage_.getDeviceId(), "6F9619FF-8B86-D011-B42D-00C04FC964FF");
}

TEST_F(StorageTest, TwoProcessesKeepEachOthersChangesAndKindsSurvive) {
  // Changes reach the file behind the caller's back; flush() waits until they did.
  auto first = reopen();
  auto second = platform::makeSqlitePreferencesStore(prefsPath());
  first->setText("a", "1");
  EXPECT_TRUE(first->flush());
  second->setBytes("b", {0x00, 0xFF});
  EXPECT_TRUE(second->flush());
  first->setText("c", "3");
  EXPECT_TRUE(first->flush());
  second->remove("c");
  EXPECT_TRUE(second->flush());
  auto third = reopen();
  EXPECT_EQ(third->value("a"), std::optional<platform::PreferenceValue>("1"));
  EXPECT_EQ(third->value("b"),
            std::optional<platform::PreferenceValue>(std::vector<std::uint8_t>{0x00, 0xFF}));
  EXPECT_FALSE(third->value("c"));
  EXPECT_TRUE(third->flush());
  // Private to the user: the file 0600 in a folder created 0700.
  struct stat info {};
  ASSERT_EQ(::stat(prefsPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  auto nested = platform::makeSqlitePreferencesStore(dir_.path() + "/new/prefs.sqlite3");
  nested->setText("k", "v");
  EXPECT_TRUE(nested->flush());
  ASSERT_EQ(::stat((dir_.path() + "/new").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

// Too many open files: the file cannot be opened for a while.
class OpenFilesExhausted {
 public:
  OpenFilesExhausted() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit tight = saved_;
    // New descriptors take the lowest free number; a limit at that number refuses them all.
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ::setrlimit(RLIMIT_NOFILE, &tight);
  }
  ~OpenFilesExhausted() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

TEST_F(StorageTest, AFileThatCannotBeReadIsNeverWrittenOverAndIsReadLater) {
  auto earlier = reopen();
  earlier->setText("MMP_PartnerCode", "P1");
  ASSERT_TRUE(earlier->flush());
  auto store = reopen();
  {
    OpenFilesExhausted exhausted;
    EXPECT_FALSE(store->value("MMP_PartnerCode"));  // unreadable now, not "empty for ever"
    store->setText("MMP_AppSecret", "S1");
    EXPECT_EQ(store->value("MMP_AppSecret"), std::optional<platform::PreferenceValue>("S1"));
    EXPECT_FALSE(store->flush());
  }
  EXPECT_EQ(store->value("MMP_PartnerCode"), std::optional<platform::PreferenceValue>("P1"));
  EXPECT_TRUE(store->flush());
  auto later = reopen();
  EXPECT_EQ(later->value("MMP_PartnerCode"), std::optional<platform::PreferenceValue>("P1"));
  EXPECT_EQ(later->value("MMP_AppSecret"), std::optional<platform::PreferenceValue>("S1"));
}

TEST_F(StorageTest, DamagedFileIsKeptAsideAndASymlinkIsNeverFollowed) {
  { std::ofstream(prefsPath(), std::ios::binary) << "garbage that is not a database"; }
  auto store = reopen();
  EXPECT_FALSE(store->value("MMP_PartnerCode"));
  store->setText("MMP_PartnerCode", "P2");
  ASSERT_TRUE(store->flush());
  EXPECT_EQ(reopen()->value("MMP_PartnerCode"), std::optional<platform::PreferenceValue>("P2"));
  int asideCount = 0;
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    if (entry.path().filename().string().rfind("preferences.sqlite3.damaged-", 0) == 0) {
      EXPECT_EQ(readFile(entry.path()), "garbage that is not a database");
      ++asideCount;
    }
  }
  EXPECT_EQ(asideCount, 1);

  const std::string victim = dir_.path() + "/victim";
  { std::ofstream(victim) << "someone else's file"; }
  const std::string planted = dir_.path() + "/planted.sqlite3";
  fs::create_symlink(victim, planted);
  auto tricked = platform::makeSqlitePreferencesStore(planted);
  tricked->setText("k", "v");
  EXPECT_FALSE(tricked->flush());
  EXPECT_EQ(readFile(victim), "someone else's file");
}

}  // namespace
}  // namespace tavrel_mmp
