// The user's controls over the installation: tracking switched off and on, and starting over.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "events/database_helper.h"
#include "events/tracking_event.h"
#include "platform/sqlite/connection.h"
#include "secret/secret_generator.h"
#include "session/session_manager.h"
#include "settings/settings_keys.h"
#include "settings/storage_helper.h"
#include "support/test_support.h"
#include "tavrel_mmp/deep_link_handler.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/platform/sqlite_preferences_store.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;
using testing::kAccepted;
using testing::kGranted;
using Value = std::optional<platform::PreferenceValue>;

class InstallationTest : public testing::OfflineTest {
 protected:
  // Every way a host records something, once each.
  static void recordEverything() {
    Nimbrel::logEvent("e", json{{"k", 1}});
    Nimbrel::setCurrentScreen("Home");
    Nimbrel::setRevenue("o", 1.0, "EUR", json::object());
    Nimbrel::setProductList("l", {std::make_shared<ProductItem>("p", "n", "i")});
    Nimbrel::recordError("boom", "trace");
    Nimbrel::setUserInfo(UserInfo::create("u", "n", "g", "e", "p", 1, "c", "c", "t"));
  }
  std::vector<std::string> pendingKeys() {
    std::vector<std::string> keys;
    for (auto& event : DatabaseHelper::shared().getEvents(1000).value_or(EventList{}))
      keys.push_back(event->key);
    return keys;
  }
  void authenticate() {
    SessionManager::authWithBaseUrl("P", "S", "http://service.test");
    loop_->runPending();
  }
  std::size_t lastAuth() { return transport_->indexes("/public/partner/auth").back(); }
  std::string prefsPath() const { return dir_.path() + "/preferences.sqlite3"; }
  StorageHelper& storage_ = StorageHelper::shared();
};

TEST_F(InstallationTest, WhileTrackingIsOffNothingIsRecordedSentOrAuthenticated) {
  storage_.savePartnerCode("P");
  storage_.saveAppSecret("S");
  testing::storeGrantedSession();
  for (int i = 0; i < 10; ++i) Nimbrel::logEvent("before", std::nullopt);
  loop_->runPending();
  ASSERT_EQ(transport_->count("/partner/event/log"), 1u);  // a batch on its way

  Nimbrel::setTrackingEnabled(false);
  EXPECT_FALSE(Nimbrel::isTrackingEnabled());
  // Its answer deletes what the service accepted (no second sending later), nothing more.
  transport_->respond(transport_->indexes("/partner/event/log")[0], kAccepted);
  for (int i = 0; i < 3; ++i) Nimbrel::logEvent("queued", std::nullopt);  // not recorded
  recordEverything();
  authenticate();
  loop_->advance(120.0);  // ticks: no batch, no heartbeat
  EXPECT_EQ(transport_->count(), 1u);
  EXPECT_TRUE(pendingKeys().empty());
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(Nimbrel::flush(std::chrono::seconds(30)));  // nothing may leave: no wait
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  EXPECT_FALSE(storage_.getValue("TavrelMMP_last_crash"));
  // The choice is on disk: a restarted process reads it.
  EXPECT_EQ(platform::makeSqlitePreferencesStore(dir_.path() + "/preferences.sqlite3")
                ->value("MMP_TrackingEnabled"),
            std::optional<platform::PreferenceValue>("0"));

  // An authentication on its way when tracking went off starts no session.
  Nimbrel::setTrackingEnabled(true);
  storage_.removeAuthData();
  authenticate();
  Nimbrel::setTrackingEnabled(false);
  transport_->respond(lastAuth(), kGranted);
  EXPECT_FALSE(storage_.getAuthData());
  EXPECT_EQ(transport_->count("/partner/device-info/update"), 0u);

  // Back on: stored events leave, and a session is asked for.
  DatabaseHelper::shared().addEvent(EventData("waited", "k", 1, "", false));
  Nimbrel::setTrackingEnabled(true);
  loop_->runPending();
  EXPECT_EQ(transport_->count("/public/partner/auth"), 2u);
  EXPECT_EQ(transport_->count("/partner/event/log"), 2u);

  // Offline holds back what still waits in the transport, and lets it go again.
  const auto waiting = transport_->at(transport_->indexes("/partner/event/log").back()).request;
  Nimbrel::setOffline(true);
  EXPECT_FALSE(waiting.stillWanted());
  Nimbrel::setOffline(false);
  EXPECT_TRUE(waiting.stillWanted());
}

// Even while another instance holds the settings file's write lock: no call waits for it,
// nothing of the old installation leaves or acts afterwards (nor anything with the new device
// before it is on disk), and once the lock goes the file holds the new installation whole.
TEST_F(InstallationTest, ForgettingTheDeviceStartsTheInstallationOverWithoutWaitingForALock) {
  std::vector<std::string> handed;
  DeepLinkHandler::setHandleDeeplink([&](const std::string& link) { handed.push_back(link); });
  authenticate();
  transport_->respond(lastAuth(), kGranted);  // first open: a verification question on its way
  // Every other entry holds a value: the old installation's, or the host's configuration.
  for (const auto& entry : settings_keys::kEntries) {
    if (entry.key != std::string("MMP_AuthData"))
      storage_.save(std::string("old ") + entry.key, entry.key);
  }
  DeepLinkHandler::setDeepLink("app://old");
  Nimbrel::recordError("boom", "trace");  // an upload on its way
  for (int i = 0; i < 10; ++i) Nimbrel::logEvent("old", std::nullopt);
  loop_->runPending();
  authenticate();  // and another authentication
  const auto inFlight = transport_->count();
  ASSERT_TRUE(storage_.flush());
  const auto other =
      platform::sqlite::Connection::openExisting(prefsPath(), platform::sqlite::Access::readWrite);
  ASSERT_TRUE(other && other->exec("BEGIN IMMEDIATE"));

  const std::string secret = tools::makeAppSecret("http://service.test", "P");
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"opt out", [] { Nimbrel::setTrackingEnabled(false); }},
      {"opt in", [] { Nimbrel::setTrackingEnabled(true); }},
      {"forget", [] { Nimbrel::forgetDevice(); }},
      {"error without a session", [] { Nimbrel::recordError("boom", "new trace"); }},
      {"start", [&] { Nimbrel::intSDK("P", secret); }},
  };
  const std::string log = testing::captureLog(
      [&] {
        for (const auto& [name, call] : calls) {
          const auto start = std::chrono::steady_clock::now();
          call();
          EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100))
              << name;
        }
      },
      "Cannot write the preferences");
  // The library's thread met the lock, and said so.
  EXPECT_NE(log.find(prefsPath() + ": database is locked"), std::string::npos) << log;
  // Whatever waits in the transport is withdrawn before it leaves.
  for (std::size_t i = 0; i < inFlight; ++i) EXPECT_FALSE(transport_->at(i).request.stillWanted());
  EXPECT_TRUE(pendingKeys().empty());
  EXPECT_FALSE(storage_.getAuthData());
  EXPECT_EQ(DeepLinkHandler::getLastDeepLink() + storage_.getDeeplink(), "");

  // Answers for the forgotten installation change nothing.
  const auto answer = [&](const char* path, const std::string& body) {
    for (auto i : transport_->indexes(path)) transport_->respond(i, body);
  };
  answer("/public/partner/auth", kGranted);
  answer("/partner/unified-deeplink/verify",
         R"({"responseCode":200,"responseText":"OK","data":{"deeplink":"app://deferred"}})");
  answer("/partner/crash/log", R"({"responseCode":500,"responseText":"no"})");
  answer("/partner/event/log", kAccepted);
  loop_->advance(60.0);
  EXPECT_FALSE(storage_.getAuthData());
  EXPECT_TRUE(handed.empty());
  for (std::size_t i = inFlight; i < transport_->count(); ++i) {
    const auto sent = transport_->at(i);  // only session-less heartbeats
    EXPECT_EQ(sent.path(), "/partner/online-user/log");
    EXPECT_FALSE(sent.header("Authorization"));
  }

  other->exec("ROLLBACK");
  ASSERT_TRUE(testing::waitUntil([&] { return storage_.flush(); }));
  const std::string newDevice = storage_.getDeviceId().value_or("");
  EXPECT_TRUE(std::regex_match(newDevice, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-"
                                                     "[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
  auto file = platform::makeSqlitePreferencesStore(prefsPath());
  for (const auto& entry : settings_keys::kEntries) {
    const Value value = file->value(entry.key);
    if (entry.scope == settings_keys::Scope::configuration) {
      EXPECT_TRUE(value) << entry.key;  // the host's configuration and the choice stay
    } else {
      EXPECT_NE(value, Value(std::string("old ") + entry.key)) << entry.key;
    }
  }
  EXPECT_FALSE(file->value("MMP_AuthData"));
  EXPECT_EQ(file->value("MMP_DeviceId"), Value(newDevice));
  EXPECT_EQ(file->value("TavrelMMP_last_crash"), Value("new trace"));

  // The next session start is the new installation's first open.
  authenticate();
  transport_->respond(lastAuth(), kGranted);
  EXPECT_EQ(pendingKeys(),
            (std::vector<std::string>{"tvr_mmp_first_open", "tvr_mmp_start_session"}));
  EXPECT_EQ(transport_->at(lastAuth()).json()["deviceId"], newDevice);
  DeepLinkHandler::setHandleDeeplink(nullptr);
}

// The stored choice ("" for never chosen) cannot be read when it is first needed (descriptors used
// up at start): nothing leaves or is written while it is unknown, and the events recorded
// meanwhile wait in memory until it is read: then they are stored in their order if it is on or
// pending (and then still nothing leaves), dropped if it is off.
class UnreadableChoice : public InstallationTest,
                         public ::testing::WithParamInterface<std::string> {};

TEST_P(UnreadableChoice, EventsWaitInMemoryForTheChoice) {
  // Written by another instance, which stays open (and so keeps its descriptors).
  const auto earlier = platform::makeSqlitePreferencesStore(prefsPath());
  earlier->setText("MMP_PartnerCode", "P");
  if (!GetParam().empty()) earlier->setText("MMP_TrackingEnabled", GetParam());
  ASSERT_TRUE(earlier->flush());
  {
    testing::DescriptorShortage shortage;
    EXPECT_FALSE(Nimbrel::isTrackingEnabled());
    Nimbrel::logEvent("first", json{{"n", 1}});
    Nimbrel::logEvent("second", json{{"n", 2}});
  }
  EXPECT_TRUE(pendingKeys().empty());
  loop_->runPending();
  EXPECT_EQ(transport_->count(), 0u);

  const bool on = GetParam() != "0";  // recording (granted, or pending)
  EXPECT_EQ(Nimbrel::isTrackingEnabled(), GetParam().empty());
  loop_->advance(TrackingEvent::timerPeriod);  // the library's thread looks again
  const std::vector<std::string> held = {"first", "second"};
  EXPECT_EQ(pendingKeys(), on ? held : std::vector<std::string>{});
  const EventList stored = DatabaseHelper::shared().getEvents(10).value_or(EventList{});
  if (on && stored.size() == 2) EXPECT_EQ(stored[1]->preEvent, stored[0]->id);
  if (!GetParam().empty()) EXPECT_EQ(transport_->count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(StoredChoice, UnreadableChoice, ::testing::Values("0", "", "pending"));

}  // namespace
}  // namespace tavrel_mmp
