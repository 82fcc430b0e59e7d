// StorageHelper's reading rules, and the SQLite preferences store under failure and attack.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "settings/storage_helper.h"
#include "support/fake_device_facts.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/platform/sqlite_preferences_store.h"

namespace tavrel_mmp {
namespace {

namespace fs = std::filesystem;
using testing::bytes;
using Value = std::optional<platform::PreferenceValue>;

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
  static mode_t modeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
  }
  testing::TempDir dir_;
  StorageHelper& storage_ = StorageHelper::shared();
};

TEST_F(StorageTest, AuthRecordIsStoredAsGivenAndDecodedStrictly) {
  const std::string body =
      R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s","token":"t",)"
      R"("sessionExpireTimeInSeconds":60,"deeplinkExpired":7,"extra":[1]}})";
  storage_.saveAuthData(bytes(body));
  ASSERT_TRUE(storage_.getAuthData());
  EXPECT_EQ(storage_.getAuthData()->data->deeplinkExpired, 7);
  EXPECT_EQ(platform::preferencesStore().value("MMP_AuthData"), Value(bytes(body)));
  // A record written under the generic accessor is seen by the next read too.
  storage_.save(R"({"responseCode":200,"responseText":"OK","data":null})", "MMP_AuthData");
  ASSERT_TRUE(storage_.getAuthData());
  EXPECT_FALSE(storage_.getAuthData()->data);

  for (const char* text : {
           "not json",
           R"({"responseCode":"200","responseText":"OK"})",
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

TEST_F(StorageTest, DeviceIdIsCreatedOnceAndRetriedWhileEmpty) {
  auto facts = std::make_shared<testing::FakeDeviceFacts>();
  platform::installDeviceFacts(facts);
  facts->vendorId.reset();
  EXPECT_EQ(storage_.getDeviceId(), std::optional<std::string>(""));
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
  second->setBytes("none", {});
  EXPECT_TRUE(second->flush());
  first->setText("c", "3");
  EXPECT_TRUE(first->flush());
  second->remove("c");
  EXPECT_TRUE(second->flush());
  auto third = reopen();
  EXPECT_EQ(third->value("a"), Value("1"));
  EXPECT_EQ(third->value("b"), Value(std::vector<std::uint8_t>{0x00, 0xFF}));
  EXPECT_EQ(third->value("none"), Value(std::vector<std::uint8_t>{}));
  EXPECT_FALSE(third->value("c"));
  // Private to the user: the file 0600 in a folder created 0700.
  EXPECT_EQ(modeOf(prefsPath()), 0600u);
  auto nested = platform::makeSqlitePreferencesStore(dir_.path() + "/new/prefs.sqlite3");
  nested->setText("k", "v");
  EXPECT_TRUE(nested->flush());
  EXPECT_EQ(modeOf(dir_.path() + "/new"), 0700u);
}

TEST_F(StorageTest, AFileThatCannotBeReadIsNeverWrittenOverAndIsReadLater) {
  auto earlier = reopen();
  earlier->setText("MMP_PartnerCode", "P1");
  ASSERT_TRUE(earlier->flush());
  const std::string device = *storage_.getDeviceId();
  auto facts = std::make_shared<testing::FakeDeviceFacts>();
  facts->vendorId = "11111111-2222-3333-4444-555555555555";  // what a new identifier would be
  platform::installDeviceFacts(facts);
  auto store = reopen();
  {
    testing::DescriptorShortage shortage;
    // Unreadable now, not "empty for ever".
    EXPECT_FALSE(store->read("MMP_PartnerCode").known);
    // Nothing decided once per installation is decided now: no new device, no first open.
    EXPECT_FALSE(storage_.getDeviceId());
    EXPECT_FALSE(store->claimText("___first_open", "1", "0"));
    store->setText("MMP_AppSecret", "S1");
    EXPECT_EQ(storage_.read("MMP_AppSecret").text, "S1");
    EXPECT_FALSE(store->flush());
  }
  EXPECT_EQ(storage_.getDeviceId(), device);
  EXPECT_EQ(store->value("MMP_PartnerCode"), Value("P1"));
  EXPECT_TRUE(store->flush());
  auto later = reopen();
  EXPECT_EQ(later->value("MMP_PartnerCode"), Value("P1"));
  EXPECT_EQ(later->value("MMP_AppSecret"), Value("S1"));
}

TEST_F(StorageTest, DamagedFileIsKeptAsideAndASymlinkIsNeverFollowed) {
  { std::ofstream(prefsPath(), std::ios::binary) << "garbage that is not a database"; }
  auto store = reopen();
  EXPECT_FALSE(store->value("MMP_PartnerCode"));
  store->setText("MMP_PartnerCode", "P2");
  ASSERT_TRUE(store->flush());
  EXPECT_EQ(reopen()->value("MMP_PartnerCode"), Value("P2"));
  std::vector<std::string> aside;
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    if (entry.path().filename().string().starts_with("preferences.sqlite3.damaged-"))
      aside.push_back(readFile(entry.path()));
  }
  EXPECT_EQ(aside, std::vector<std::string>{"garbage that is not a database"});

  const std::string victim = dir_.path() + "/victim", planted = dir_.path() + "/planted.sqlite3";
  { std::ofstream(victim) << "someone else's file"; }
  fs::create_symlink(victim, planted);
  auto tricked = platform::makeSqlitePreferencesStore(planted);
  tricked->setText("k", "v");
  EXPECT_FALSE(tricked->flush());
  EXPECT_EQ(readFile(victim), "someone else's file");
}

}  // namespace
}  // namespace tavrel_mmp
