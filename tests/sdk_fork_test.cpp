// The library in a child forked without exec (a prefork server's worker, Python's multiprocessing)
// from a host whose library is busy: threads running, a batch and a real-time upload at the
// service, the preferences writer waiting for another process's lock. The child works on its own,
// nothing of the parent's is sent twice, and the parent goes on with sound files.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>

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

// A call of the child's script: false when what it returned or delivered is wrong.
struct Call {
  std::string name;
  std::function<bool()> run;
};
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

void say(const std::string& line) {
  const std::string out = line + "\n";
  (void)!::write(STDOUT_FILENO, out.data(), out.size());
}

std::string integrityOf(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt* check = nullptr;
  sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr);
  std::string verdict = sqlite3_step(check) == SQLITE_ROW
                            ? reinterpret_cast<const char*>(sqlite3_column_text(check, 0))
                            : sqlite3_errmsg(db);
  sqlite3_finalize(check);
  sqlite3_close(db);
  return verdict;
}

class ForkedChild : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installIsolatedPlatform(dir_.path());
    ASSERT_TRUE(service_.start());
  }
  // Whether each event with this name reached the service exactly once, and all `count` did.
  bool eachOnce(const std::string& key, int count) {
    std::map<int, int> seqs;
    for (const auto& [id, stored] : service_.events()) {
      if (stored.event["key"] != key) continue;
      for (const auto& entry : stored.event["data"])
        if (entry["key"] == "seq") seqs[entry["value"].get<int>()] += stored.timesReceived;
    }
    return seqs.size() == static_cast<std::size_t>(count) &&
           std::all_of(seqs.begin(), seqs.end(), [](const auto& seq) { return seq.second == 1; });
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

  // Another instance of the app holds the preferences' write lock; the parent's writer waits.
  const std::string unlock = dir_.path() + "/unlock";
  testing::ChildProcess other("/usr/bin/python3",
                              {"-c",
                               "import os, sqlite3, sys, time\n"
                               "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                               "db.execute('BEGIN IMMEDIATE')\n"
                               "print('locked', flush=True)\n"
                               "while not os.path.exists(sys.argv[2]): time.sleep(0.01)\n"
                               "db.execute('COMMIT')\n",
                               dir_.path() + "/preferences.sqlite3", unlock});
  ASSERT_EQ(other.readLine(30s), "locked");
  platform::preferencesStore().setText("waits_for_the_other_instance", "1");
  // A real-time upload and a batch at the (slow) service.
  service_.setFault("/partner/event/log",
                    {.kind = tools::Fault::Kind::delay, .delaySeconds = 4, .times = 2});
  Nimbrel::logEvent("parent_realtime", PropertyDictionary{{"seq", 0}, {"nbRealtime", true}});
  logSeqs("parent_event");
  ASSERT_TRUE(service_.waitForRequests("/partner/event/log", 2, 30s));

  const std::vector<Call> script = childScript(secret);
  testing::ChildProcess child([&] {
    for (const Call& call : script) say(call.name + (call.run() ? " ok" : " wrong"));
    // Once the parent has seen the child's events arrive.
    testing::waitUntil([&] { return std::filesystem::exists(dir_.path() + "/go"); }, 60s);
    tavrel_mmp_forget_device();
    Nimbrel::forgetDevice();
    say("forgot");
    return 0;
  });
  std::ofstream(unlock).put('\n');

  // A call that hangs shows here by its name; the child is killed with the test.
  for (const Call& call : script) ASSERT_EQ(child.readLine(30s), call.name + " ok");
  EXPECT_TRUE(testing::waitUntil([&] { return eachOnce(kChildEvent, kEvents); }, 30s));
  std::ofstream(dir_.path() + "/go").put('\n');
  EXPECT_EQ(child.readLine(30s), "forgot");
  const auto status = child.wait(10s);
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);

  // Nothing twice: not the child's events, nor the parent's in flight at the fork.
  EXPECT_TRUE(eachOnce(kChildEvent, kEvents));
  EXPECT_TRUE(eachOnce("parent_event", kEvents));
  EXPECT_TRUE(eachOnce("parent_realtime", 1));
  EXPECT_EQ(service_.duplicateEventCount(), 0u);
  // The parent goes on: a batch of its own reaches the service, and its files are sound.
  logSeqs("parent_after");
  EXPECT_TRUE(testing::waitUntil([&] { return eachOnce("parent_after", kEvents); }, 30s));
  EXPECT_EQ(integrityOf(dir_.path() + "/preferences.sqlite3"), "ok");
  EXPECT_EQ(integrityOf(dir_.path() + "/Documents/tavrel_mmp_1.sqlite3"), "ok");
}

}  // namespace
}  // namespace tavrel_mmp
