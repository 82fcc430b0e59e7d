// A child forked without exec (a prefork server's worker, Python's multiprocessing) from a host
// whose library is busy works on its own; nothing of the parent's is sent twice, and the parent
// goes on with sound files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "core/logger.h"
#include "platform/sqlite/connection.h"
#include "secret/secret_generator.h"
#include "settings/storage_helper.h"
#include "support/child_process.h"
#include "support/test_support.h"
#include "tavrel_mmp/deep_link_builder.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/nimbrel_deep_link_delegate.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/tavrel_mmp_c.h"

namespace tavrel_mmp {
namespace {

using namespace std::chrono_literals;

// A call of the child's script, by name: false when what it returned or delivered is wrong.
using Call = std::pair<std::string, std::function<bool()>>;
Call does(std::string name, std::function<void()> call) {
  return {std::move(name), [call] { return call(), true; }};
}

constexpr const char* kPartner = "P";
constexpr const char* kChildEvent = "child_event";
constexpr const char* kLink = "childapp://promo";
constexpr int kEvents = 10;  // a batch asked for at once, while the parent's is in flight

// Every call of the facade, then of the C interface, each returning before the next.
std::vector<Call> childScript(const std::string& secret) {
  static std::atomic<int> links{0};
  static std::string received;
  const auto linked = [](int count) {
    return testing::waitUntil([=] { return links.load() == count; }, 30s);
  };
  return {
      does("intSDK", [=] { Nimbrel::intSDK(kPartner, secret); }),
      does("setTrackingEnabled", [] { Nimbrel::setTrackingEnabled(false); }),
      {"isTrackingEnabled", [] { return !Nimbrel::isTrackingEnabled(); }},
      does("setTrackingEnabled", [] { Nimbrel::setTrackingEnabled(true); }),
      {"isTrackingEnabled", [] { return Nimbrel::isTrackingEnabled(); }},
      does("setConsent", [] { Nimbrel::setConsent(ConsentState::granted); }),
      does("setOffline", [] { Nimbrel::setOffline(true), Nimbrel::setOffline(false); }),
      does("setGlobalProperties",
           [] {
             Nimbrel::setGlobalProperties({{"child", true}});
             Nimbrel::unsetGlobalProperty("child");
           }),
      does("onSession", [] { Nimbrel::onSession(nullptr), Nimbrel::onDeferredDeeplink(nullptr); }),
      does("logRealtimeEvent", [] { Nimbrel::logRealtimeEvent("child_realtime", {}); }),
      does("logEvent",
           [] {
             for (int seq = 0; seq < kEvents; ++seq)
               Nimbrel::logEvent(kChildEvent, PropertyDictionary{{"seq", seq}});
           }),
      does("setCurrentScreen", [] { Nimbrel::setCurrentScreen("ChildHome"); }),
      does("recordError", [] { Nimbrel::recordError("ChildError", "at child"); }),
      does("setUserInfo",
           [] { Nimbrel::setUserInfo(UserInfo::create("u", "", "", "", "", 0, "", "", "")); }),
      does("setRevenue", [] { Nimbrel::setRevenue("o", 9.5, "EUR", std::nullopt); }),
      does("setProductList",
           [] { Nimbrel::setProductList("cart", {std::make_shared<ProductItem>("p", "", "")}); }),
      does("handleDeeplink",
           [] { Nimbrel::handleDeeplink([](const std::string& url) { received = url; }); }),
      {"deep-link delegate",
       [] { return NimbrelDeepLinkDelegate::shared().handleDeeplink(kLink), received == kLink; }},
      {"DeepLinkBuilder create",
       [=] {
         DeepLinkBuilder().create([](auto result, auto) { links += result != nullptr; });
         return linked(1);
       }},
      does("tavrel_mmp_init", [=] { tavrel_mmp_init(kPartner, secret.c_str(), "{}"); }),
      does("tavrel_mmp_set_tracking_enabled", [] { tavrel_mmp_set_tracking_enabled(0); }),
      {"tavrel_mmp_is_tracking_enabled", [] { return tavrel_mmp_is_tracking_enabled() == 0; }},
      does("tavrel_mmp_set_tracking_enabled", [] { tavrel_mmp_set_tracking_enabled(1); }),
      {"tavrel_mmp_is_tracking_enabled", [] { return tavrel_mmp_is_tracking_enabled() == 1; }},
      does("tavrel_mmp_set_consent", [] { tavrel_mmp_set_consent("granted"); }),
      does("tavrel_mmp_set_offline", [] { tavrel_mmp_set_offline(1), tavrel_mmp_set_offline(0); }),
      does("tavrel_mmp_set_global_properties",
           [] {
             tavrel_mmp_set_global_properties(R"({"child": true})");
             tavrel_mmp_unset_global_property("child");
           }),
      does("tavrel_mmp_on_session",
           [] {
             tavrel_mmp_on_session(nullptr, nullptr);
             tavrel_mmp_on_deferred_deeplink(nullptr, nullptr);
           }),
      does("tavrel_mmp_log_realtime_event",
           [] { tavrel_mmp_log_realtime_event("child_c_realtime", nullptr); }),
      does("tavrel_mmp_log_event", [] { tavrel_mmp_log_event("child_c_event", nullptr); }),
      does("tavrel_mmp_set_current_screen", [] { tavrel_mmp_set_current_screen("ChildC"); }),
      does("tavrel_mmp_record_error", [] { tavrel_mmp_record_error("ChildError", "at child"); }),
      does("tavrel_mmp_set_user_info", [] { tavrel_mmp_set_user_info(R"({"userId": "u"})"); }),
      does("tavrel_mmp_set_revenue", [] { tavrel_mmp_set_revenue("o", 1, "EUR", nullptr); }),
      does("tavrel_mmp_set_product_list",
           [] { tavrel_mmp_set_product_list("cart", R"([{"p_id": "p"}])"); }),
      does("tavrel_mmp_handle_deeplink",
           [] {
             tavrel_mmp_handle_deeplink([](const char* url, void*) { received = url; }, nullptr);
           }),
      {"tavrel_mmp_open_url",
       [] { return tavrel_mmp_open_url("childapp://c"), received == "childapp://c"; }},
      {"tavrel_mmp_create_link",
       [=] {
         tavrel_mmp_create_link(
             "{}", [](const char* result, const char*, void*) { links += result != nullptr; },
             nullptr);
         return linked(2);
       }},
  };
}

std::string integrityOf(const std::string& path) {
  using namespace platform::sqlite;
  const auto db = Connection::openExisting(path, Access::readOnly);
  Statement check = db->prepare("PRAGMA integrity_check");
  return check.step() == StepResult::row ? std::string(check.columnText(0)) : db->errorMessage();
}

class ForkedChild : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installIsolatedPlatform(dir_.path());
    ASSERT_TRUE(service_.start());
  }
  // Whether each of the `count` events with this name was sent exactly once (delayed ones too).
  bool eachSentOnce(const std::string& key, int count) {
    std::map<int, int> sent;
    for (const auto& request : service_.requests("/partner/event/log")) {
      const nlohmann::json body = request.json();
      for (const auto& event : body["events"])
        for (const auto& entry : event["data"])
          if (event["key"] == key && entry["key"] == "seq") ++sent[entry["value"].get<int>()];
    }
    return sent.size() == static_cast<std::size_t>(count) &&
           std::all_of(sent.begin(), sent.end(), [](const auto& seq) { return seq.second == 1; });
  }
  void logSeqs(const std::string& key) {
    for (int seq = 0; seq < kEvents; ++seq)
      Nimbrel::logEvent(key, PropertyDictionary{{"seq", seq}});
  }

  testing::TempDir dir_;
  tools::LocalService service_;
};

TEST_F(ForkedChild, WorksOnItsOwnAndLeavesTheParentsWorkToTheParent) {
  const std::string secret = tools::makeAppSecret(service_.baseUrl(), kPartner);
  Nimbrel::intSDK(kPartner, secret, std::make_shared<NimbrelOptions>());
  ASSERT_TRUE(testing::waitUntil([] { return StorageHelper::shared().authSnapshot() != nullptr; }));

  // A real-time upload and a batch at the (slow) service.
  service_.setFault("/partner/event/log",
                    {.kind = tools::Fault::Kind::delay, .delaySeconds = 4, .times = 2});
  Nimbrel::logEvent("parent_realtime", PropertyDictionary{{"seq", 0}, {"nbRealtime", true}});
  logSeqs("parent_event");
  ASSERT_TRUE(service_.waitForRequests("/partner/event/log", 2, 30s));

  // Another thread writes to both files when the host forks (the preferences writer waits behind
  // it): a child copying SQLite's lock bookkeeping mid-write would find the files locked for good.
  std::atomic<bool> writing{false};
  std::thread writer([&, failure = std::string()]() mutable {
    using platform::sqlite::Connection;
    const std::unique_ptr<Connection> files[] = {
        Connection::openPrivate(dir_.path() + "/preferences.sqlite3", failure),
        Connection::openPrivate(dir_.path() + "/Documents/tavrel_mmp_1.sqlite3", failure)};
    writing = files[0]->exec("BEGIN IMMEDIATE") && files[1]->exec("BEGIN IMMEDIATE");
    std::this_thread::sleep_for(300ms);
    for (const auto& file : files) file->exec("COMMIT");
  });
  ASSERT_TRUE(testing::waitUntil([&] { return writing.load(); }));
  platform::preferencesStore().setText("waits_behind_the_writer", "1");

  const std::vector<Call> script = childScript(secret);
  testing::ChildProcess child([&] {
    for (const auto& [name, run] : script) Logger::writeLine(name + (run() ? " ok" : " wrong"));
    // Once the parent has seen the child's events arrive.
    testing::waitUntil([&] { return std::filesystem::exists(dir_.path() + "/go"); }, 60s);
    tavrel_mmp_forget_device();
    Nimbrel::forgetDevice();
    Logger::writeLine("forgot");
    return 0;
  });
  writer.join();

  // A call that hangs shows here by its name; the child is killed with the test.
  for (const auto& [name, run] : script) ASSERT_EQ(child.readLine(30s), name + " ok");
  EXPECT_TRUE(testing::waitUntil([&] { return eachSentOnce(kChildEvent, kEvents); }, 30s));
  std::ofstream(dir_.path() + "/go").put('\n');
  EXPECT_EQ(child.readLine(30s), "forgot");
  const auto status = child.wait(10s);
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);

  // Nothing twice: not the child's events, nor the parent's in flight at the fork.
  EXPECT_TRUE(eachSentOnce(kChildEvent, kEvents));
  EXPECT_TRUE(eachSentOnce("parent_event", kEvents));
  EXPECT_TRUE(eachSentOnce("parent_realtime", 1));
  // The parent goes on: a batch of its own reaches the service, and its files are sound.
  logSeqs("parent_after");
  EXPECT_TRUE(testing::waitUntil([&] { return eachSentOnce("parent_after", kEvents); }, 30s));
  EXPECT_EQ(integrityOf(dir_.path() + "/preferences.sqlite3"), "ok");
  EXPECT_EQ(integrityOf(dir_.path() + "/Documents/tavrel_mmp_1.sqlite3"), "ok");
}

}  // namespace
}  // namespace tavrel_mmp
