// The session start every accepted authentication runs, deep-link reception, retention and
// verification.
#include <gtest/gtest.h>

#include "core/logger.h"
#include "events/database_helper.h"
#include "local_service/local_service.h"
#include "secret/secret_generator.h"
#include "session/session_manager.h"
#include "session/storage_helper.h"
#include "support/fake_transport.h"
#include "support/pipeline_fixture.h"
#include "support/test_support.h"
#include "tavrel_mmp/deep_link_handler.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/nimbrel_deep_link_delegate.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;
constexpr const char* kGranted =
    R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s1","token":"tok",)"
    R"("sessionExpireTimeInSeconds":3600,"deeplinkExpired":7}})";
constexpr std::int64_t kDay = 86400;

// Every deep link the host's callback received, in order.
struct Received {
  std::mutex mutex;
  std::vector<std::string> links;
  void operator()(const std::string& link) {
    std::lock_guard<std::mutex> lock(mutex);
    links.push_back(link);
  }
  std::vector<std::string> all() {
    std::lock_guard<std::mutex> lock(mutex);
    return links;
  }
};

// Keys of the stored events with their "deeplink" values, oldest first.
std::vector<std::pair<std::string, std::string>> storedSessionEvents() {
  std::vector<std::pair<std::string, std::string>> out;
  for (auto& event : DatabaseHelper::shared().getEvents(1000).value_or(EventList{})) {
    out.emplace_back(event->key, json::parse(event->data).value("deeplink", "?"));
  }
  return out;
}

TEST(SessionStartEndToEnd, FirstAndLaterStartsReportDeviceFirstOpenAndDeepLinks) {
  testing::TempDir dir;
  testing::installIsolatedPlatform(dir.path());
  auto time = testing::installManualTime();
  testing::installCurlTransport();
  tools::LocalService service;
  ASSERT_TRUE(service.start());
  service.setVerifyData(json{{"deeplink", "app://deferred"}});
  auto received = std::make_shared<Received>();
  Nimbrel::handleDeeplink([received](const std::string& link) { (*received)(link); });
  const auto start = [&] { ASSERT_TRUE(testing::startAndAuthenticate("P", service.baseUrl())); };
  const auto sessionLinks = [&] {
    std::vector<std::string> out;
    for (auto& request : service.requests("/partner/session-deeplink"))
      out.push_back(request.json()["deeplink"]);
    return out;
  };

  // First accepted authentication of the installation.
  start();
  EXPECT_EQ(StorageHelper::shared().getValue("___first_open"), "1");
  EXPECT_EQ(service.requests("/partner/device-info/update").size(), 1u);
  ASSERT_EQ(service.requests("/partner/unified-deeplink/verify").size(), 1u);
  EXPECT_EQ(storedSessionEvents(), (std::vector<std::pair<std::string, std::string>>{
                                       {"tvr_mmp_first_open", ""}, {"tvr_mmp_start_session", ""}}));
  // The deferred link reached the host and was reported as the session's link.
  EXPECT_EQ(received->all(), std::vector<std::string>{"app://deferred"});
  EXPECT_EQ(sessionLinks(), std::vector<std::string>{"app://deferred"});

  // A URL opened by the system reaches the host at once and the service at the next start.
  NimbrelDeepLinkDelegate::shared().application(nullptr, URL("app://opened?x=%F0%9F%8E%81"), {});
  NimbrelDeepLinkDelegate::shared().handleDeeplink("app://opened?x=%F0%9F%8E%81");
  EXPECT_EQ(received->all().back(), "app://opened?x=%F0%9F%8E%81");
  EXPECT_EQ(received->all().size(), 2u);
  start();
  EXPECT_EQ(sessionLinks().back(), "app://opened?x=%F0%9F%8E%81");
  EXPECT_EQ(storedSessionEvents().back(),
            (std::pair<std::string, std::string>{"tvr_mmp_start_session",
                                                 "app://opened?x=%F0%9F%8E%81"}));
  EXPECT_EQ(service.requests("/partner/unified-deeplink/verify").size(), 1u);

  // A later process within the retention window reports the stored link again...
  DeepLinkHandler::setDeepLink("");  // what a new process holds in memory
  start();
  EXPECT_EQ(sessionLinks().size(), 3u);
  EXPECT_EQ(sessionLinks().back(), "app://opened?x=%F0%9F%8E%81");
  // ...and once it ran out, nothing.
  time.clock->set(time.clock->now() + 8 * kDay);
  DeepLinkHandler::setDeepLink("");
  start();
  EXPECT_EQ(sessionLinks().size(), 3u);
  EXPECT_EQ(storedSessionEvents().back().second, "");
  EXPECT_EQ(service.requests("/partner/device-info/update").size(), 4u);
  EXPECT_EQ(StorageHelper::shared().getValue("___first_open"), "1");
}

class DeepLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installTrackerUnderTest(dir_.path(), clock_, loop_, transport_);
    DeepLinkHandler::setDeepLink("");
  }
  void TearDown() override { Logger::setDevMode(false); }
  StorageHelper& storage_ = StorageHelper::shared();
  testing::TempDir dir_;
  std::shared_ptr<platform::ManualClock> clock_ =
      std::make_shared<platform::ManualClock>(1'800'000'000.4);
  std::shared_ptr<platform::ManualMainLoop> loop_ =
      std::make_shared<platform::ManualMainLoop>(clock_);
  std::shared_ptr<testing::FakeTransport> transport_ = std::make_shared<testing::FakeTransport>();
};

TEST_F(DeepLinkTest, RetentionWindow) {
  const std::int64_t now = 1'800'000'000;
  struct Case {
    const char* name;
    std::string stored, last;
    std::int64_t expiry, days;
    std::string storedAfter;
    std::int64_t expiryAfter;
  };
  const Case cases[] = {
      {"no days", "old", "new", 5, 0, "old", 5},
      {"negative days", "old", "new", 5, -3, "old", 5},
      {"running window, same link", "A", "A", now + 100, 7, "A", now + 100},
      {"running window, other link", "A", "B", now + 100, 7, "B", now + 7 * kDay},
      {"no window", "A", "A", 0, 7, "A", now + 7 * kDay},
      {"days beyond 64 bits saturate", "", "A", 0, INT64_MAX / 1000, "A", INT64_MAX},
  };
  for (const Case& c : cases) {
    DeepLinkHandler::setDeepLink(c.last);
    storage_.saveDeeplink(c.stored);
    storage_.saveDeeplinkExpireTime(c.expiry);
    DeepLinkHandler::saveDeeplink(c.days);
    EXPECT_EQ(storage_.getDeeplink(), c.storedAfter) << c.name;
    EXPECT_EQ(storage_.getDeeplinkExpireTime(), c.expiryAfter) << c.name;
  }
  // An expiry equal to now has run out: the stored copy is cleared, not restored.
  for (const auto& [expiry, restored] : {std::pair{now, false}, std::pair{now + 1, true}}) {
    DeepLinkHandler::setDeepLink("");
    storage_.saveDeeplink("kept");
    storage_.saveDeeplinkExpireTime(expiry);
    DeepLinkHandler::initDeeplink();
    EXPECT_EQ(DeepLinkHandler::getLastDeepLink(), restored ? "kept" : "");
    EXPECT_EQ(storage_.getDeeplinkExpireTime(), restored ? expiry : 0);
  }
}

TEST_F(DeepLinkTest, VerificationAnswersOfAnyShape) {
  Received received;
  DeepLinkHandler::setHandleDeeplink([&](const std::string& link) { received(link); });
  struct Case {
    std::string answer, line;
    std::vector<std::string> callbacks;
  };
  const std::string prefix = "MMP: /partner/unified-deeplink/verify: ";
  const Case cases[] = {
      {"{oops", prefix + "{oops\n" + prefix + "[json.exception", {}},
      {"[1]", prefix + "[1]\n" + prefix + "Failed to convert JSON data to dictionary.\n", {}},
      {R"({"data":[1]})", prefix + R"({"data":[1]})" + "\n" + prefix + "Failed to convert", {}},
      {R"({"data":{"deeplink":5}})", prefix + R"({"data":{"deeplink":5}})" + "\n", {}},
      {R"({"data":{"deeplink":"a\u0000b"}})", "", {std::string("a\0b", 3)}},
      {R"({"data":{}})", "", {std::string("a\0b", 3), std::string("a\0b", 3)}},  // again
  };
  for (const Case& c : cases) {
    DeepLinkHandler::getUDL();
    Logger::setDevMode(true);
    const std::string out =
        testing::captureStdout([&] { transport_->respond(transport_->count() - 1, c.answer); });
    Logger::setDevMode(false);
    EXPECT_EQ(out.rfind(c.line, 0), 0u) << c.answer << "\n" << out;
    EXPECT_EQ(received.all(), c.callbacks) << c.answer;  // so far
  }
  // Each link handed to the host was reported as the session's link.
  EXPECT_EQ(transport_->count("/partner/session-deeplink"), 2u);
  EXPECT_EQ(transport_->at(transport_->indexes("/partner/session-deeplink")[0]).json(),
            (json{{"deeplink", std::string("a\0b", 3)}}));
}

TEST_F(DeepLinkTest, ALostVerificationAnswerIsAskedForAgainAFewTimes) {
  storage_.savePartnerCode("P");
  storage_.saveAppSecret("S");
  const auto authenticate = [&] {
    SessionManager::authWithBaseUrl("P", "S", "http://service.test");
    loop_->runPending();
    ASSERT_FALSE(transport_->indexes("/public/partner/auth").empty());
    transport_->respond(transport_->indexes("/public/partner/auth").back(), kGranted);
  };
  for (int start = 0; start < 5; ++start) {
    authenticate();
    const auto asks = transport_->indexes("/partner/unified-deeplink/verify");
    ASSERT_EQ(asks.size(), std::min(start + 1, 3)) << "start " << start;
    if (asks.size() == static_cast<std::size_t>(start + 1)) transport_->fail(asks.back());
  }
  // Any answer with a body ends the asking, however it reads.
  storage_.save("0", "MMP_UnifiedDeeplinkAttempts");
  authenticate();
  transport_->respond(transport_->indexes("/partner/unified-deeplink/verify").back(), "nonsense");
  authenticate();
  EXPECT_EQ(transport_->count("/partner/unified-deeplink/verify"), 4u);
}

TEST_F(DeepLinkTest, TheDelegateDeliversEachDistinctUrlOnce) {
  Received received;
  Nimbrel::handleDeeplink([&](const std::string& link) { received(link); });
  auto& delegate = NimbrelDeepLinkDelegate::shared();
  EXPECT_EQ(&delegate, &NimbrelDeepLinkDelegate::shared());
  for (const char* url : {"app://a", "app://a", "", "app://b", "app://a"}) {
    EXPECT_TRUE(delegate.application(nullptr, URL(url), json::object()));
  }
  delegate.handleDeeplink("app://a");  // shares what the open-URL entry delivered last
  EXPECT_EQ(received.all(), (std::vector<std::string>{"app://a", "app://b", "app://a"}));
  EXPECT_EQ(storage_.getDeeplink(), "app://a");
  DeepLinkHandler::setDeepLink("");  // empties memory, keeps the stored copy
  EXPECT_EQ(DeepLinkHandler::getCurrentDeepLink(), "");
  EXPECT_EQ(storage_.getDeeplink(), "app://a");
}

}  // namespace
}  // namespace tavrel_mmp
