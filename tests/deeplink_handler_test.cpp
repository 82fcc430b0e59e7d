// Deep-link reception, retention and verification.
#include <gtest/gtest.h>

#include "session/session_manager.h"
#include "settings/storage_helper.h"
#include "support/test_support.h"
#include "tavrel_mmp/deep_link_handler.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;
using Links = std::vector<std::string>;
constexpr std::int64_t kDay = 86400;

class DeepLinkTest : public testing::OfflineTest {
 protected:
  StorageHelper& storage_ = StorageHelper::shared();
  Links received_;
  std::function<void(const std::string&)> receive_ = [this](const std::string& link) {
    received_.push_back(link);
  };
};

TEST_F(DeepLinkTest, RetentionWindow) {
  const std::int64_t now = 1'800'000'000;
  clock_->set(now + 0.4);
  // stored link, link in memory, stored expiry, days given; stored link and expiry after
  const std::tuple<std::string, std::string, std::int64_t, std::int64_t, std::string, std::int64_t>
      cases[] = {
          {"old", "new", 5, 0, "old", 5},  // no days
          {"old", "new", 5, -3, "old", 5},
          {"A", "A", now + 100, 7, "A", now + 100},  // a running window, the same link
          {"A", "B", now + 100, 7, "B", now + 7 * kDay},
          {"A", "A", 0, 7, "A", now + 7 * kDay},           // no window
          {"", "A", 0, INT64_MAX / 1000, "A", INT64_MAX},  // beyond 64 bits: saturated
      };
  for (const auto& [stored, last, expiry, days, storedAfter, expiryAfter] : cases) {
    DeepLinkHandler::setDeepLink(last);
    storage_.saveDeeplink(stored);
    storage_.saveDeeplinkExpireTime(expiry);
    DeepLinkHandler::saveDeeplink(days);
    EXPECT_EQ(storage_.getDeeplink(), storedAfter) << last << " " << days;
    EXPECT_EQ(storage_.getDeeplinkExpireTime(), expiryAfter) << last << " " << days;
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

TEST_F(DeepLinkTest, OneQuestionInFlightAndOneLinkForTheHostPerInstallation) {
  DeepLinkHandler::setHandleDeeplink(receive_);
  const auto authenticate = [&] {
    SessionManager::authWithBaseUrl("P", "S", "http://service.test");
    loop_->runPending();
    transport_->respond(transport_->indexes("/public/partner/auth").back(), testing::kGranted);
  };
  const auto questions = [&] { return transport_->indexes("/partner/unified-deeplink/verify"); };
  const std::string answer = R"({"responseCode":200,"responseText":"OK",)"
                             R"("data":{"deeplink":"app://deferred"}})";
  authenticate();
  authenticate();  // accepted again before the first answer: no second question
  ASSERT_EQ(questions().size(), 1u);
  transport_->respond(questions()[0], answer);
  EXPECT_EQ(received_, Links{"app://deferred"});
  // Another process of the application asked as well: its answer reaches the host no more.
  storage_.save("0", "MMP_UnifiedDeeplinkAttempts");
  authenticate();
  ASSERT_EQ(questions().size(), 2u);
  const std::size_t reported = transport_->count("/partner/session-deeplink");
  transport_->respond(questions()[1], answer);
  EXPECT_EQ(received_, Links{"app://deferred"});
  EXPECT_EQ(transport_->count("/partner/session-deeplink"), reported);
}

TEST_F(DeepLinkTest, ALostVerificationAnswerIsAskedForAgainAFewTimes) {
  storage_.savePartnerCode("P");
  storage_.saveAppSecret("S");
  const auto authenticate = [&] {
    SessionManager::authWithBaseUrl("P", "S", "http://service.test");
    loop_->runPending();
    ASSERT_FALSE(transport_->indexes("/public/partner/auth").empty());
    transport_->respond(transport_->indexes("/public/partner/auth").back(), testing::kGranted);
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

}  // namespace
}  // namespace tavrel_mmp
