// The session start every accepted authentication runs: device report, first open, session deep
// link, start-session event.
#include <gtest/gtest.h>

#include <map>

#include "events/database_helper.h"
#include "session/session_manager.h"
#include "settings/storage_helper.h"
#include "support/test_support.h"
#include "tavrel_mmp/deep_link_handler.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/nimbrel_deep_link_delegate.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/platform/sqlite_preferences_store.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;
using Links = std::vector<std::string>;
constexpr std::int64_t kDay = 86400;

// Keys of the stored events with their "deeplink" values, oldest first.
std::vector<std::pair<std::string, std::string>> storedSessionEvents() {
  std::vector<std::pair<std::string, std::string>> out;
  for (auto& event : DatabaseHelper::shared().getEvents(1000).value_or(EventList{}))
    out.emplace_back(event->key, json::parse(event->data).value("deeplink", "?"));
  return out;
}

using SessionStartEndToEnd = testing::ServiceTest;

TEST_F(SessionStartEndToEnd, FirstAndLaterStartsReportDeviceFirstOpenAndDeepLinks) {
  service_.setVerifyData(json{{"deeplink", "app://deferred"}});
  Links received;  // written on the transport's thread, read once its requests have settled
  Nimbrel::handleDeeplink([&](const std::string& link) { received.push_back(link); });
  const auto sessionLinks = [&] {
    Links out;
    for (auto& request : service_.requests("/partner/session-deeplink"))
      out.push_back(request.json()["deeplink"]);
    return out;
  };
  const auto count = [&](const char* path) { return service_.requests(path).size(); };

  // A profile set before the first session is not sent without one: the session start's
  // device report carries its user.
  Nimbrel::setUserInfo(UserInfo::create("early-user", "", "", "", "", 0, "", "", ""));
  // First accepted authentication of the installation.
  ASSERT_TRUE(start());
  EXPECT_EQ(StorageHelper::shared().getValue("___first_open"), "1");
  ASSERT_EQ(count("/partner/device-info/update"), 1u);
  const auto report = service_.requests("/partner/device-info/update")[0];
  EXPECT_EQ(report.json()["userId"], "early-user");
  EXPECT_TRUE(report.header("Authorization"));
  ASSERT_EQ(count("/partner/unified-deeplink/verify"), 1u);
  EXPECT_EQ(storedSessionEvents(), (std::vector<std::pair<std::string, std::string>>{
                                       {"tvr_mmp_first_open", ""}, {"tvr_mmp_start_session", ""}}));
  // The deferred link reached the host and was reported as the session's link.
  EXPECT_EQ(received, Links{"app://deferred"});
  EXPECT_EQ(sessionLinks(), Links{"app://deferred"});

  // A URL opened by the system reaches the host at once and the service at the next start.
  const std::string opened = "app://opened?x=%F0%9F%8E%81";
  NimbrelDeepLinkDelegate::shared().application(nullptr, URL(opened), {});
  NimbrelDeepLinkDelegate::shared().handleDeeplink(opened);
  EXPECT_EQ(received, (Links{"app://deferred", opened}));
  ASSERT_TRUE(start());
  EXPECT_EQ(sessionLinks().back(), opened);
  EXPECT_EQ(storedSessionEvents().back(),
            (std::pair<std::string, std::string>{"tvr_mmp_start_session", opened}));
  EXPECT_EQ(count("/partner/unified-deeplink/verify"), 1u);

  // A later process within the retention window reports the stored link again...
  DeepLinkHandler::setDeepLink("");  // what a new process holds in memory
  ASSERT_TRUE(start());
  EXPECT_EQ(sessionLinks(), (Links{"app://deferred", opened, opened}));
  // ...and once it ran out, nothing.
  time_.clock->set(time_.clock->now() + 8 * kDay);
  DeepLinkHandler::setDeepLink("");
  ASSERT_TRUE(start());
  EXPECT_EQ(sessionLinks().size(), 3u);
  EXPECT_EQ(storedSessionEvents().back().second, "");
  EXPECT_EQ(count("/partner/device-info/update"), 4u);
  Nimbrel::handleDeeplink(nullptr);  // the callback does not outlive `received`
}

// Settings whose file cannot be written for now: changes stay in memory, as the write-behind
// store keeps them, and nothing reaches the disk.
class UnwritableSettings : public platform::PreferencesStore {
 public:
  explicit UnwritableSettings(std::shared_ptr<platform::PreferencesStore> file)
      : file_(std::move(file)) {}
  std::optional<platform::PreferenceValue> value(const std::string& key) override {
    if (auto found = memory_.find(key); found != memory_.end()) return found->second;
    return file_->value(key);
  }
  void setText(const std::string& key, const std::string& value) override { memory_[key] = value; }
  void setBytes(const std::string& key, const std::vector<std::uint8_t>& value) override {
    memory_[key] = value;
  }
  void remove(const std::string& key) override { memory_.erase(key); }
  bool flush() override { return false; }
  std::optional<platform::PreferenceClaim> claimText(const std::string&, const std::string&,
                                                     const std::string&) override {
    return std::nullopt;
  }

 private:
  std::shared_ptr<platform::PreferencesStore> file_;
  std::map<std::string, platform::PreferenceValue> memory_;
};

// The first-open marker is claimed in the settings file before the first open is recorded: while
// the file cannot be written nothing is recorded, and a process killed meanwhile, or started at
// the same time, records no second one.
using SessionStartTest = testing::OfflineTest;

TEST_F(SessionStartTest, TheFirstOpenIsRecordedOnceAcrossKillsAndProcesses) {
  StorageHelper& storage_ = StorageHelper::shared();
  const std::string prefs = dir_.path() + "/preferences.sqlite3";
  const auto authenticate = [&] {
    SessionManager::authWithBaseUrl("P", "S", "http://service.test");
    loop_->runPending();
    transport_->respond(transport_->indexes("/public/partner/auth").back(), testing::kGranted);
  };
  const auto firstOpens = [] {
    int count = 0;
    for (auto& event : DatabaseHelper::shared().getEvents(1000).value_or(EventList{}))
      count += event->key == "tvr_mmp_first_open";
    return count;
  };
  ASSERT_TRUE(storage_.getDeviceId());
  platform::installPreferencesStore(
      std::make_shared<UnwritableSettings>(platform::makeSqlitePreferencesStore(prefs)));
  authenticate();
  EXPECT_EQ(firstOpens(), 0);
  EXPECT_EQ(transport_->count("/partner/unified-deeplink/verify"), 0u);

  // Killed and started again, while a second process has read the settings already.
  auto restarted = platform::makeSqlitePreferencesStore(prefs);
  auto second = platform::makeSqlitePreferencesStore(prefs);
  ASSERT_TRUE(restarted->value("MMP_DeviceId") && second->value("MMP_DeviceId"));
  platform::installPreferencesStore(restarted);
  authenticate();
  EXPECT_EQ(firstOpens(), 1);
  platform::installPreferencesStore(second);
  authenticate();
  EXPECT_EQ(firstOpens(), 1);
  EXPECT_EQ(transport_->count("/partner/unified-deeplink/verify"), 1u);
}

}  // namespace
}  // namespace tavrel_mmp
