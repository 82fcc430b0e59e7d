#include <gtest/gtest.h>

#include "local_service/local_service.h"
#include "net/http_client.h"
#include "secret/secret_generator.h"
#include "session/session_manager.h"
#include "settings/base_url.h"
#include "settings/storage_helper.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/platform/preferences_store.h"

namespace tavrel_mmp {
namespace {

using testing::captureLog;
using testing::kGranted;
constexpr auto npos = std::string::npos;

class SessionManagerTest : public testing::OfflineTest {
 protected:
  std::string storedRecord() {
    const auto value = platform::preferencesStore().value("MMP_AuthData");
    return value ? testing::text(std::get<std::vector<std::uint8_t>>(*value)) : "<none>";
  }
  StorageHelper& storage_ = StorageHelper::shared();
};

TEST_F(SessionManagerTest, AnswersAreStoredRemovedOrIgnoredAsTheyDeserve) {
  const auto authenticate = [&](const std::function<void(std::size_t)>& answer) {
    SessionManager::authWithBaseUrl("P", "S", "http://svc.test");
    loop_->runPending();
    answer(transport_->count() - 1);
  };
  std::string printed =
      captureLog([&] { authenticate([&](auto i) { transport_->respond(i, kGranted); }); });
  EXPECT_NE(printed.find("MMP: tok\n"), npos) << printed;
  EXPECT_EQ(storedRecord(), kGranted);
  HttpClient::shared().post("/partner/event/log", nlohmann::json::object(), nullptr);
  EXPECT_EQ(transport_->at(transport_->count() - 1).header("Authorization"), "tok");

  // Failed calls change nothing: no body, not JSON, undecodable, not UTF-8, far too large.
  std::string huge = kGranted;
  huge.insert(huge.size() - 1, ",\"pad\":\"" + std::string(64 * 1024, 'x') + "\"");
  printed = captureLog([&] {
    authenticate([&](auto i) { transport_->fail(i); });
    authenticate([&](auto i) { transport_->respondNothing(i); });
    for (const std::string answer :
         {std::string("<html>not json</html>"),
          std::string(R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"x",)"
                      R"("token":"y"}})"),
          std::string("\xFF\xFE"), huge})
      authenticate([&](auto i) { transport_->respond(i, answer); });
  });
  EXPECT_EQ(storedRecord(), kGranted);
  EXPECT_NE(printed.find("keyNotFound \"sessionExpireTimeInSeconds\""), npos);
  EXPECT_NE(printed.find("MMP: Khong lay duoc du lieu\n"), npos);
  EXPECT_NE(printed.find("bytes refused"), npos);

  // An accepted answer without a session leaves later requests bare.
  authenticate([&](auto i) {
    transport_->respond(i, R"({"responseCode":200,"responseText":"OK","data":null})");
  });
  HttpClient::shared().post("/partner/online-user/log", nlohmann::json::object(), nullptr);
  EXPECT_TRUE(transport_->at(transport_->count() - 1).request.headers.empty());
}

TEST_F(SessionManagerTest, ABurstBeforeTheFirstAnswerSendsOneAuthentication) {
  storage_.savePartnerCode("P");
  storage_.saveAppSecret(tools::makeAppSecret("http://svc.test", "P"));
  const auto log = [&](int times) {
    for (int i = 0; i < times; ++i) Nimbrel::logEvent("early", std::nullopt);
    loop_->runPending();
    return transport_->indexes("/public/partner/auth");
  };
  ASSERT_EQ(log(14).size(), 1u);
  transport_->respond(0, kGranted);  // an accepted answer ends the asking
  EXPECT_EQ(log(1).size(), 1u);
}

TEST_F(SessionManagerTest, RetryUsesPersistedCredentialsAndDerivesTheBaseUrlOnce) {
  const auto retry = [&] {
    return captureLog([&] { SessionManager::retry(), loop_->runPending(); });
  };
  BaseUrl::set("");
  storage_.savePartnerCode("P");
  retry();  // no app secret
  EXPECT_EQ(transport_->count(), 0u);
  storage_.saveAppSecret(tools::makeAppSecret("http://derived.test", "P"));
  EXPECT_NE(retry().find("MMP: baseUrl http://derived.test"), npos);
  transport_->fail(0);
  EXPECT_EQ(retry().find("baseUrl"), npos) << "derived again";
  EXPECT_EQ(transport_->at(1).request.url, "http://derived.test/public/partner/auth");

  // A secret that does not decrypt: the persisted base URL, else none at all.
  BaseUrl::set("");
  storage_.saveAppSecret("not-a-secret");
  storage_.saveBaseUrl("http://persisted.test/root");
  transport_->fail(1);
  retry();
  EXPECT_EQ(transport_->at(2).request.url, "http://persisted.test/root/public/partner/auth");
  transport_->fail(2);
  // A secret that does not match the partner code (an empty one is kept as it is) says so once;
  // nothing is sent, however many events ask again.
  BaseUrl::set("");
  storage_.saveBaseUrl("");
  const std::string printed = captureLog([&] {
    Nimbrel::intSDK("P", "", nullptr);
    for (int i = 0; i < 3; ++i) Nimbrel::logEvent("e", std::nullopt);
    loop_->runPending();
  });
  const std::string mismatch = "The app secret does not match the partner code";
  EXPECT_NE(printed.find(mismatch), npos) << printed;
  EXPECT_EQ(printed.find(mismatch), printed.rfind(mismatch)) << printed;
  EXPECT_EQ(transport_->count(), 3u);
  EXPECT_EQ(storage_.getValue("MMP_AppSecret"), "");
}

TEST_F(SessionManagerTest, EachAuthenticationIsBuiltFromOneSetOfCredentials) {
  const auto signedFor = [&](std::size_t index, const std::string& partnerCode) {
    const auto sent = transport_->at(index);
    return sent.json()["partnerCode"] == partnerCode &&
           sent.header("v") == tools::expectedSignature(partnerCode, "com.tavrel.test",
                                                        *storage_.getDeviceId(),
                                                        sent.header("t").value_or(""));
  };
  // Two starts with other credentials before the first request left: one request, the second's.
  SessionManager::authWithBaseUrl("P1", "S1", "http://one.test");
  SessionManager::authWithBaseUrl("P2", "S2", "http://two.test");
  loop_->runPending();
  ASSERT_EQ(transport_->count(), 1u);
  EXPECT_EQ(transport_->at(0).request.url, "http://two.test/public/partner/auth");
  EXPECT_TRUE(signedFor(0, "P2"));

  // The same while the first is on its way: each sends its own, and only the latest answer
  // counts, whichever arrives first.
  SessionManager::authWithBaseUrl("P3", "S3", "http://three.test");
  loop_->runPending();
  ASSERT_EQ(transport_->count(), 2u);
  EXPECT_TRUE(signedFor(1, "P3"));
  EXPECT_EQ(transport_->at(1).request.url, "http://three.test/public/partner/auth");
  transport_->respond(1, kGranted);
  transport_->respond(0, R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"old",)"
                         R"("token":"old","sessionExpireTimeInSeconds":1}})");
  EXPECT_EQ(storedRecord(), kGranted);
}

}  // namespace
}  // namespace tavrel_mmp
