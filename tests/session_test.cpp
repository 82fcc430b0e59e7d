#include <gtest/gtest.h>

#include "core/logger.h"
#include "net/http_client.h"
#include "secret/secret_generator.h"
#include "session/session_manager.h"
#include "session/storage_helper.h"
#include "support/fake_transport.h"
#include "support/sha256_hex.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/platform/main_loop.h"
#include "tavrel_mmp/platform/manual_loop.h"
#include "tavrel_mmp/platform/preferences_store.h"

namespace tavrel_mmp {
namespace {

using testing::bytes;

constexpr const char* kGranted =
    R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"S1","token":"TOKEN-1",)"
    R"("sessionExpireTimeInSeconds":3600,"deeplinkExpired":7}})";

// Runs posted work at once on the posting thread, so a request built on the main loop has been
// handed to the transport when the call that asked for it returns.
class InlineMainLoop : public platform::MainLoop {
 public:
  void post(std::function<void()> task) override { task(); }
  void scheduleRepeating(double, std::function<void()>) override {}
};

class SessionManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installIsolatedPlatform(dir_.path(), "com.tavrel.app");
    platform::installMainLoop(std::make_shared<InlineMainLoop>());
    platform::installHttpTransport(transport_);
    platform::installClock(clock_);
    SessionManager::setBaseUrl("");
  }
  void TearDown() override { Logger::setDevMode(false); }

  testing::TempDir dir_;
  std::shared_ptr<testing::FakeTransport> transport_ = std::make_shared<testing::FakeTransport>();
  std::shared_ptr<platform::ManualClock> clock_ =
      std::make_shared<platform::ManualClock>(1'765'000'000.75);
  StorageHelper& storage_ = StorageHelper::shared();
};

TEST_F(SessionManagerTest, AuthDerivesTheBaseUrlAndSendsASignedRequest) {
  const std::string secret = tools::makeAppSecret("https://mmp.example/api", "PARTNER");
  storage_.savePartnerCode("PARTNER");
  Logger::setDevMode(true);
  const std::string printed =
      testing::captureStdout([&] { SessionManager::auth("PARTNER", secret); });
  EXPECT_NE(printed.find("MMP: baseUrl https://mmp.example/api\n"), std::string::npos);
  EXPECT_EQ(SessionManager::baseUrl(), "https://mmp.example/api");

  ASSERT_EQ(transport_->count(), 1u);
  const auto sent = transport_->at(0);
  EXPECT_EQ(sent.request.url, "https://mmp.example/api/public/partner/auth");
  EXPECT_EQ(sent.request.method, "POST");
  EXPECT_EQ(sent.request.timeoutSeconds, 60.0);
  const std::string deviceId = storage_.getDeviceId();
  EXPECT_EQ(sent.json(),
            (nlohmann::json{
                {"partnerCode", "PARTNER"}, {"appId", "com.tavrel.app"}, {"deviceId", deviceId}}));
  // Exactly the signed set, in order, and no token.
  ASSERT_EQ(sent.request.headers.size(), 4u);
  EXPECT_EQ(sent.request.headers[0], (std::pair<std::string, std::string>{"t", "1765000000"}));
  const std::string h = testing::sha256Hex(
      "PARTNER"
      "com.tavrel.app" +
      deviceId + "1765000000KPVXRTE@BHMWQZLYN");
  EXPECT_EQ(sent.request.headers[1].first, "v");
  EXPECT_EQ(sent.request.headers[1].second, h.substr(54) + h.substr(0, 10));
  EXPECT_EQ(sent.request.headers[2],
            (std::pair<std::string, std::string>{"Content-Type", "application/json"}));
  EXPECT_EQ(sent.request.headers[3], (std::pair<std::string, std::string>{"Platform", "iOS"}));
}

TEST_F(SessionManagerTest, AnswersAreStoredRemovedOrIgnoredAsTheyDeserve) {
  const auto authenticate = [&](const std::function<void(std::size_t)>& answer) {
    SessionManager::authWithBaseUrl("P", "S", "http://svc.test");
    answer(transport_->count() - 1);
  };
  Logger::setDevMode(true);
  std::string printed = testing::captureStdout(
      [&] { authenticate([&](auto i) { transport_->respond(i, kGranted); }); });
  EXPECT_NE(printed.find("MMP: TOKEN-1\n"), std::string::npos) << printed;
  EXPECT_EQ(
      std::get<std::vector<std::uint8_t>>(*platform::preferencesStore().value("MMP_AuthData")),
      bytes(kGranted));
  HttpClient::shared().post("/partner/event/log", nlohmann::json::object(), nullptr);
  EXPECT_EQ(transport_->at(transport_->count() - 1).header("Authorization"), "TOKEN-1");

  // Failed calls change nothing: no body, not JSON, undecodable, not UTF-8, far too large.
  printed = testing::captureStdout([&] {
    authenticate([&](auto i) { transport_->fail(i); });
    authenticate([&](auto i) { transport_->respondNothing(i); });
    authenticate([&](auto i) { transport_->respond(i, "<html>not json</html>"); });
    authenticate([&](auto i) {
      transport_->respond(i, R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"x",)"
                             R"("token":"y"}})");
    });
    authenticate([&](auto i) { transport_->respond(i, "\xFF\xFE"); });
    authenticate([&](auto i) {
      std::string huge = kGranted;
      huge.insert(huge.size() - 1, ",\"pad\":\"" + std::string(64 * 1024, 'x') + "\"");
      transport_->respond(i, huge);
    });
  });
  EXPECT_EQ(
      std::get<std::vector<std::uint8_t>>(*platform::preferencesStore().value("MMP_AuthData")),
      bytes(kGranted));
  EXPECT_NE(printed.find("keyNotFound \"sessionExpireTimeInSeconds\""), std::string::npos);
  EXPECT_NE(printed.find("MMP: Khong lay duoc du lieu\n"), std::string::npos);
  EXPECT_NE(printed.find("bytes refused"), std::string::npos);

  // An accepted answer without a session leaves later requests bare.
  authenticate([&](auto i) {
    transport_->respond(i, R"({"responseCode":200,"responseText":"OK","data":null})");
  });
  HttpClient::shared().post("/partner/online-user/log", nlohmann::json::object(), nullptr);
  EXPECT_TRUE(transport_->at(transport_->count() - 1).request.headers.empty());
  // A refusal removes the record, whatever the HTTP status said.
  authenticate([&](auto i) {
    transport_->respond(i, R"({"responseCode":401,"responseText":"Unauthorized"})");
  });
  EXPECT_FALSE(platform::preferencesStore().value("MMP_AuthData"));
}

TEST_F(SessionManagerTest, ABurstBeforeTheFirstAnswerSendsOneAuthentication) {
  storage_.savePartnerCode("P");
  storage_.saveAppSecret(tools::makeAppSecret("http://svc.test", "P"));
  for (int i = 0; i < 14; ++i) Nimbrel::logEvent("early", std::nullopt);
  ASSERT_EQ(transport_->indexes("/public/partner/auth").size(), 1u);
  // A refusal lets the next event try again; an accepted answer ends the asking.
  transport_->respond(0, R"({"responseCode":401,"responseText":"no"})");
  Nimbrel::logEvent("again", std::nullopt);
  Nimbrel::logEvent("again", std::nullopt);
  const auto auths = transport_->indexes("/public/partner/auth");
  ASSERT_EQ(auths.size(), 2u);
  transport_->respond(auths[1], kGranted);
  Nimbrel::logEvent("later", std::nullopt);
  EXPECT_EQ(transport_->indexes("/public/partner/auth").size(), 2u);
}

TEST_F(SessionManagerTest, RetryUsesPersistedCredentialsWithoutDerivingAgain) {
  SessionManager::retry();  // nothing persisted
  storage_.savePartnerCode("P");
  SessionManager::retry();  // no app secret
  EXPECT_EQ(transport_->count(), 0u);

  storage_.saveAppSecret(tools::makeAppSecret("http://derived.test", "P"));
  Logger::setDevMode(true);
  std::string printed = testing::captureStdout([] { SessionManager::retry(); });
  EXPECT_NE(printed.find("MMP: baseUrl http://derived.test"), std::string::npos);
  transport_->fail(0);
  printed = testing::captureStdout([] { SessionManager::retry(); });
  EXPECT_EQ(printed.find("baseUrl"), std::string::npos) << "derived again";
  ASSERT_EQ(transport_->count(), 2u);
  EXPECT_EQ(transport_->at(1).request.url, "http://derived.test/public/partner/auth");
}

TEST_F(SessionManagerTest, RetryFallsBackToThePersistedBaseUrlAndFailedDerivationToTheBarePath) {
  storage_.savePartnerCode("P");
  storage_.saveAppSecret("not-a-secret");
  storage_.saveBaseUrl("http://persisted.test/root");
  SessionManager::retry();
  ASSERT_EQ(transport_->count(), 1u);
  EXPECT_EQ(transport_->at(0).request.url, "http://persisted.test/root/public/partner/auth");
  transport_->fail(0);

  Logger::setDevMode(true);
  const std::string printed = testing::captureStdout([] { SessionManager::auth("P", "nothex"); });
  EXPECT_NE(printed.find("MMP: baseUrl \n"), std::string::npos);
  ASSERT_EQ(transport_->count(), 2u);
  EXPECT_EQ(transport_->at(1).request.url, "/public/partner/auth");
}

TEST_F(SessionManagerTest, IntSdkStoresCredentialsAndAuthenticates) {
  auto options = std::make_shared<NimbrelOptions>();
  Logger::setDevMode(true);
  Nimbrel::intSDK("", "secret", options);  // empty partner code: nothing at all
  EXPECT_TRUE(Logger::devMode());
  EXPECT_EQ(transport_->count(), 0u);
  EXPECT_FALSE(storage_.getValue("MMP_PartnerCode"));

  Nimbrel::intSDK("P", "", options);  // showLog false wins over setDevMode(true)
  EXPECT_FALSE(Logger::devMode());
  EXPECT_EQ(storage_.getValue("MMP_AppSecret"), "");
  ASSERT_EQ(transport_->count(), 1u);
  transport_->fail(0);

  Nimbrel::setDevMode(true);
  Nimbrel::intSDK("P2", "S2");  // the two-argument form keeps the current flag
  EXPECT_TRUE(Logger::devMode());
  EXPECT_EQ(storage_.getPartnerCode(), "P2");
  EXPECT_EQ(storage_.getAppSecret(), "S2");
  EXPECT_EQ(transport_->count(), 2u);
}

}  // namespace
}  // namespace tavrel_mmp
