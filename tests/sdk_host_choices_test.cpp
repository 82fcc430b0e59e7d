// What the host decides and hears beyond its events, against the local service over libcurl:
// consent across a restart, the offline switch, global properties and the outcome callbacks.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <mutex>

#include "secret/secret_generator.h"
#include "settings/storage_helper.h"
#include "support/child_process.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/tavrel_mmp_c.h"

namespace tavrel_mmp {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

std::size_t arrivedCount(const tools::LocalService& service, const std::string& key) {
  std::size_t count = 0;
  for (const auto& [id, stored] : service.events()) count += stored.event["key"] == key ? 1 : 0;
  return count;
}

// The consent given in one process (with a global property), and then, in the next launch on
// the same storage, maybe a decision: what left, what waits on disk, what the choice reads.
struct ConsentRow {
  const char* given;
  const char* decidedAfterRestart;  // none: no call
  std::size_t arrivedBefore;        // of the 2 events logged before the restart
  std::size_t arrivedAfter;         // of the 1 logged after
  std::size_t waiting;              // in the store at the end
};

class ConsentAcrossRestart : public testing::ServiceTest,
                             public ::testing::WithParamInterface<ConsentRow> {};

TEST_P(ConsentAcrossRestart, NothingLeavesUntilGrantedAndDeniedDeletesWhatWaited) {
  const ConsentRow row = GetParam();
  const bool grantedFirst = row.given == std::string("granted");
  testing::ChildProcess host(testing::testHostPath("test_host"),
                             {"consent", dir_.path(), service_.baseUrl(), row.given});
  EXPECT_EQ(host.readLine(90s), grantedFirst ? "delivered" : "recorded");
  const auto status = host.wait(10s);
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  if (!grantedFirst) EXPECT_TRUE(service_.requests().empty());

  Nimbrel::intSDK("HOST", tools::makeAppSecret(service_.baseUrl(), "HOST"),
                  std::make_shared<NimbrelOptions>());
  Nimbrel::logEvent("after_restart", json::object());
  time_.loop->advance(60.0);  // ticks and heartbeats due
  testing::tickAndSettle(*time_.loop);
  if (!grantedFirst) EXPECT_TRUE(service_.requests().empty());
  if (row.decidedAfterRestart != nullptr) tavrel_mmp_set_consent(row.decidedAfterRestart);

  const bool sends = Nimbrel::isTrackingEnabled();
  if (sends) EXPECT_TRUE(testing::drainEvents(*time_.loop));
  testing::tickAndSettle(*time_.loop);
  if (!sends) EXPECT_TRUE(service_.requests().empty());
  EXPECT_EQ(arrivedCount(service_, "before_restart"), row.arrivedBefore);
  EXPECT_EQ(arrivedCount(service_, "after_restart"), row.arrivedAfter);
  EXPECT_EQ(testing::pendingEventCount(), row.waiting);
  for (const auto& [id, stored] : service_.events()) {
    if (stored.event["key"] == "after_restart") EXPECT_EQ(dataOf(stored.event)["build"], "7");
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, ConsentAcrossRestart,
                         ::testing::Values(ConsentRow{"pending", nullptr, 0, 0, 3},
                                           ConsentRow{"pending", "granted", 2, 1, 0},
                                           ConsentRow{"pending", "denied", 0, 0, 0},
                                           ConsentRow{"granted", nullptr, 2, 1, 0},
                                           ConsentRow{"denied", nullptr, 0, 0, 0}),
                         [](const auto& info) {
                           return std::string(info.param.given) + "_then_" +
                                  (info.param.decidedAfterRestart ? info.param.decidedAfterRestart
                                                                  : "nothing");
                         });

using HostChoices = testing::ServiceTest;

// Offline: recorded, nothing sent (not even a heartbeat) until online again. Global properties go
// under the host's own values on its events only; a real-time event is one of the host's.
TEST_F(HostChoices, OfflineHoldsEverythingBackAndGlobalPropertiesJoinHostEvents) {
  ASSERT_TRUE(start());
  tavrel_mmp_set_global_properties(R"({"build": "7", "ab": "A", "gone": 1})");
  tavrel_mmp_unset_global_property("gone");
  const std::size_t sentBefore = service_.requests().size();
  const std::size_t waitingBefore = testing::pendingEventCount();  // the session start's
  tavrel_mmp_set_offline(1);
  Nimbrel::logEvent("host", json{{"ab", "B"}, {"price", 9.5}});
  Nimbrel::setCurrentScreen("Home");
  tavrel_mmp_log_realtime_event("live", R"({"x": 1})");
  for (int i = 0; i < 12; ++i) Nimbrel::logEvent("filler", json::object());  // a batch is due
  time_.loop->advance(60.0);
  testing::tickAndSettle(*time_.loop);
  EXPECT_EQ(service_.requests().size(), sentBefore);
  EXPECT_EQ(testing::pendingEventCount(), waitingBefore + 15);

  tavrel_mmp_set_offline(0);
  const auto host = arrived("host");
  ASSERT_EQ(host.size(), 1u);
  EXPECT_EQ(dataOf(host[0].event), (Data{{"build", "7"}, {"ab", "B"}, {"price", 9.5}}));
  const auto screen = arrived("tvr_mmp_screen_view");
  ASSERT_EQ(screen.size(), 1u);
  EXPECT_EQ(dataOf(screen[0].event), (Data{{"screen_name", "Home"}}));
  const auto live = arrived("live");
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(dataOf(live[0].event),
            (Data{{"build", "7"}, {"ab", "A"}, {"x", 1}, {"nbRealtime", true}}));
}

// What the outcome callbacks hear, through the C interface, for each answer of the service.
struct OutcomeRow {
  const char* name;
  std::optional<std::int64_t> authRefusal;
  json verifyData;
  std::vector<std::string> heard;  // "session" stands for the granted session's identifier
};

class Outcomes : public testing::ServiceTest, public ::testing::WithParamInterface<OutcomeRow> {
 public:
  void hear(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    heard_.push_back(line);
  }

 protected:
  std::mutex mutex_;
  std::vector<std::string> heard_;
};

TEST_P(Outcomes, TheHostHearsEachAuthenticationAndTheDeferredLinkOnce) {
  const OutcomeRow row = GetParam();
  if (row.authRefusal) service_.setAuthRefusal(row.authRefusal);
  service_.setVerifyData(row.verifyData);
  tavrel_mmp_on_session(
      [](int accepted, const char* session, int code, const char* text, void* user) {
        static_cast<Outcomes*>(user)->hear(std::to_string(accepted) + " " +
                                           (session ? session : "NULL") + " " +
                                           std::to_string(code) + " " + text);
      },
      this);
  tavrel_mmp_on_deferred_deeplink(
      [](const char* link, void* user) {
        static_cast<Outcomes*>(user)->hear(std::string("deferred ") + (link ? link : "NULL"));
      },
      this);
  const auto heardAtLeast = [&](std::size_t count) {
    return testing::waitUntil([&] {
      time_.loop->runPending();
      std::lock_guard<std::mutex> lock(mutex_);
      return heard_.size() >= count;
    });
  };
  Nimbrel::intSDK("P", tools::makeAppSecret(service_.baseUrl(), "P"),
                  std::make_shared<NimbrelOptions>());
  EXPECT_TRUE(heardAtLeast(1));
  testing::tickAndSettle(*time_.loop);
  Nimbrel::logEvent("later", json::object());  // authenticates again only after a refusal
  EXPECT_TRUE(heardAtLeast(row.heard.size()));
  testing::tickAndSettle(*time_.loop);

  const auto auth = StorageHelper::shared().getAuthData();
  std::vector<std::string> expected;
  for (std::string line : row.heard) {
    if (const auto at = line.find("session"); at != std::string::npos)
      line.replace(at, 7, auth && auth->data ? auth->data->sessionId : "?");
    expected.push_back(line);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_EQ(heard_, expected);
  tavrel_mmp_on_session(nullptr, nullptr);
  tavrel_mmp_on_deferred_deeplink(nullptr, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Outcomes,
    ::testing::Values(
        OutcomeRow{"deferred_link",
                   std::nullopt,
                   json{{"deeplink", "app://promo"}},
                   {"1 session 200 OK", "deferred app://promo"}},
        OutcomeRow{"no_deferred_link",
                   std::nullopt,
                   json::object(),
                   {"1 session 200 OK", "deferred NULL"}},
        OutcomeRow{"refused", 401, json::object(), {"0 NULL 401 Refused", "0 NULL 401 Refused"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavrel_mmp
