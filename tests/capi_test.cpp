// The C interface: what it makes of NULL, malformed JSON and text that is not UTF-8, and the one
// outcome each callback receives.
#include "tavrel_mmp/platform/headless_ui_toolkit.h"
#include "tavrel_mmp/tavrel_mmp_c.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/logger.h"
#include "events/database_helper.h"
#include "support/recording_ui.h"
#include "support/test_support.h"
#include "tavrel_mmp/deep_link_builder.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/platform/ui_toolkit.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;

class CInterface : public testing::OfflineTest {
 protected:
  void SetUp() override {
    OfflineTest::SetUp();
    testing::storeGrantedSession();
  }

  // What a call left behind: the events it stored and the requests it sent, by name and content.
  std::vector<std::pair<std::string, json>> effectsOf(const std::function<void()>& call) {
    const std::size_t sentBefore = transport_->count();
    call();
    loop_->runPending();
    std::vector<std::pair<std::string, json>> effects;
    const EventList stored = DatabaseHelper::shared().getEvents(1000).value_or(EventList{});
    for (const auto& event : stored) effects.emplace_back(event->key, json::parse(event->data));
    DatabaseHelper::shared().removeEvents(stored);
    // Batch uploads follow the count of events recorded, not the call.
    for (std::size_t i = sentBefore; i < transport_->count(); ++i) {
      if (const auto sent = transport_->at(i); sent.path() != "/partner/event/log")
        effects.emplace_back(sent.path(), sent.json());
    }
    std::sort(effects.begin(), effects.end());
    return effects;
  }
};

// Each C call does what the facade does with the empty text or the absent value it was read as,
// and says why in a development line.
TEST_F(CInterface, BadArgumentsActAsEmptyOrAbsentValuesAndAreReported) {
  const auto product = std::make_shared<ProductItem>("a", "", "", std::nullopt, 2);
  // the C call, the facade call it amounts to, and the development line ("" for none)
  const std::tuple<std::function<void()>, std::function<void()>, std::string> cases[] = {
      {[] { tavrel_mmp_log_event("e", R"({"a":[1,"x"]})"); },
       [] {
         Nimbrel::logEvent("e", json{{"a", {1, "x"}}});
       },
       ""},
      {[] { tavrel_mmp_log_event(nullptr, "{}"); }, [] { Nimbrel::logEvent("", json::object()); },
       "tavrel_mmp_log_event: name is NULL; taken as empty"},
      {[] { tavrel_mmp_log_event("\xc3\x28", nullptr); },
       [] { Nimbrel::logEvent("", std::nullopt); }, "name is not UTF-8; taken as empty"},
      {[] { tavrel_mmp_log_event("e", "{\"a\": "); }, [] { Nimbrel::logEvent("e", std::nullopt); },
       "data_json is not JSON; taken as absent"},
      {[] { tavrel_mmp_log_event("e", "[1]"); }, [] { Nimbrel::logEvent("e", std::nullopt); },
       "data_json is not a JSON object"},
      {[] { tavrel_mmp_log_event("e", "{\"a\":\"\xff\"}"); },
       [] { Nimbrel::logEvent("e", std::nullopt); }, "data_json is not UTF-8"},
      {[] { tavrel_mmp_set_current_screen(nullptr); }, [] { Nimbrel::setCurrentScreen(""); },
       "screen_name is NULL"},
      {[] { tavrel_mmp_set_revenue(nullptr, 5, "\xe2\x82", "7"); },
       [] { Nimbrel::setRevenue("", 5, "", std::nullopt); }, "currency is not UTF-8"},
      {[] {
         tavrel_mmp_set_product_list("cart", R"([{"p_id":"a","p_quantity":2},{"p_name":"b"}])");
       },
       [&] { Nimbrel::setProductList("cart", {product}); },
       R"(products without "p_id" left out: 1)"},
      {[] { tavrel_mmp_set_product_list(nullptr, R"({"p_id":"a"})"); },
       [] { Nimbrel::setProductList("", {}); }, "products_json is not a JSON array"},
      {[] { tavrel_mmp_record_error(nullptr, "\xff"); }, [] { Nimbrel::recordError("", ""); },
       "stack_trace is not UTF-8"},
      {[] { tavrel_mmp_set_user_info(R"({"userId":42,"age":31,"other":1})"); },
       [] { Nimbrel::setUserInfo(UserInfo::create("", "", "", "", "", 31, "", "", "")); },
       R"(user_json member "userId" is of another kind; taken as "")"},
      {[] { tavrel_mmp_set_user_info(nullptr); }, [] { Nimbrel::setUserInfo(nullptr); },
       "user_json is NULL; taken as absent"},
      {[] { tavrel_mmp_set_user_info("{bad"); }, [] { Nimbrel::setUserInfo(nullptr); },
       "user_json is not JSON"},
      {[] { tavrel_mmp_create_link(nullptr, nullptr, nullptr); },
       [] { DeepLinkBuilder().create(json::object(), nullptr); }, "params_json is NULL"},
      {[] { tavrel_mmp_shorten_link("\xc0", nullptr, "s", nullptr, nullptr); },
       [] { DeepLinkBuilder().createShortLink("", "", "s", nullptr); }, "name is NULL"},
      {[] { tavrel_mmp_set_consent("later"); }, [] {}, "none of \"pending\""},
      {[] { tavrel_mmp_set_global_properties("[1]"); }, [] {}, "json is not a JSON object"},
  };
  for (const auto& [cCall, facadeCall, line] : cases) {
    SCOPED_TRACE(line);
    decltype(effectsOf(cCall)) effects;
    const std::string log = testing::captureLog([&] { effects = effectsOf(cCall); });
    EXPECT_FALSE(effects.empty() && line.empty()) << "a well-formed call that did nothing";
    EXPECT_EQ(effects, effectsOf(facadeCall));
    if (line.empty()) {
      EXPECT_EQ(log.find("tavrel_mmp_"), std::string::npos) << log;
    } else {
      EXPECT_NE(log.find(line), std::string::npos) << log;
    }
  }
}

// A host's store that fails every read.
struct FailingStore : platform::PreferencesStore {
  std::optional<platform::PreferenceValue> value(const std::string&) override {
    throw std::runtime_error("unreadable");
  }
  void setText(const std::string&, const std::string&) override {}
  void setBytes(const std::string&, const std::vector<std::uint8_t>&) override {}
  void remove(const std::string&) override {}
  bool flush() override { return false; }
};

TEST_F(CInterface, BothInterfacesSayOffWhileTheChoiceCannotBeRead) {
  platform::installPreferencesStore(std::make_shared<FailingStore>());
  EXPECT_FALSE(Nimbrel::isTrackingEnabled());
  EXPECT_EQ(tavrel_mmp_is_tracking_enabled(), 0);
}

TEST_F(CInterface, StartOptionsAreReadFromJson) {
  // the options; then development mode, automatic screen tracking, crash capture (its fault
  // handler and terminate hook, once installed, stay), and whether the options were reported
  const std::tuple<const char*, bool, bool, bool, bool> cases[] = {
      {R"({"showLog":true,"autoTrackingScreen":false,"crashReporting":false})", true, false, false,
       false},
      {R"({"crashReporting":"no"})", false, true, true, true},  // not a boolean: the default
      {R"({"bundleId":"com.c.app","appVersion":7,"dataDirectory":null})", false, true, true,
       true},  // a text member of another kind stays unset
      {"{}", false, true, true, false},
      {nullptr, true, true, true, false},  // the two-argument start keeps development mode
      {"{", true, true, true, true},       // not JSON: as NULL
  };
  struct sigaction hostFault {};
  ::sigaction(SIGSEGV, nullptr, &hostFault);
  const std::terminate_handler hostTerminate = std::get_terminate();
  for (const auto& [options, devMode, tracking, capture, reported] : cases) {
    SCOPED_TRACE(options ? options : "NULL");
    const auto toolkit = std::make_shared<testing::CountingUIToolkit>();
    toolkit->setKeyWindow(std::make_shared<platform::HeadlessWindow>());
    platform::installUIToolkit(toolkit);
    tavrel_mmp_set_dev_mode(1);
    const std::string log = testing::captureStdout([&] { tavrel_mmp_init("P", "S", options); });
    loop_->runPending();
    EXPECT_EQ(Logger::devMode(), devMode);
    EXPECT_EQ(toolkit->observerCount(), tracking ? 1u : 0u);
    struct sigaction fault {};
    ::sigaction(SIGSEGV, nullptr, &fault);
    EXPECT_EQ(fault.sa_sigaction != hostFault.sa_sigaction, capture);
    EXPECT_EQ(std::get_terminate() != hostTerminate, capture);
    EXPECT_EQ(log.find("tavrel_mmp_init: options_json") != std::string::npos, reported) << log;
  }
  EXPECT_EQ(platform::bundleInfo().bundleIdentifier(), "com.c.app");
  EXPECT_EQ(platform::bundleInfo().shortVersion(), "1.0.0");
}

// The texts a link request's completion received.
struct LinkOutcome {
  int calls = 0;
  std::vector<json> results, errors;
  static void record(const char* result, const char* error, void* user) {
    auto& outcome = *static_cast<LinkOutcome*>(user);
    ++outcome.calls;
    if (result) outcome.results.push_back(json::parse(result));
    if (error) outcome.errors.push_back(json::parse(error));
  }
};

TEST_F(CInterface, EachLinkRequestCompletesOnceWithExactlyOneText) {
  const std::string granted =
      R"({"responseCode":200,"responseText":"OK","data":{"short_link":"S","long_link":"L"}})";
  const std::function<void(LinkOutcome&)> requests[] = {
      [](LinkOutcome& o) { tavrel_mmp_create_link(R"({"fields":[]})", LinkOutcome::record, &o); },
      [](LinkOutcome& o) {
        tavrel_mmp_shorten_link("https://a", "n", "", LinkOutcome::record, &o);
      },
  };
  // how the service answers (none: the transport fails), and the one text expected
  const std::tuple<std::optional<std::string>, json, json> answers[] = {
      {granted, {{"shortLink", "S"}, {"longLink", "L"}}, nullptr},
      {R"({"responseCode":409,"responseText":"taken"})",
       nullptr,
       {{"code", "409"}, {"message", "taken"}}},
      {std::nullopt, nullptr, {{"code", "0"}, {"message", "Couldn't connect to server"}}},
  };
  for (const auto& request : requests) {
    for (const auto& [answer, result, error] : answers) {
      SCOPED_TRACE(answer.value_or("no answer"));
      LinkOutcome outcome;
      request(outcome);
      loop_->runPending();
      ASSERT_EQ(outcome.calls, 0);
      const std::size_t sent = transport_->count() - 1;
      answer ? transport_->respond(sent, *answer) : transport_->fail(sent);
      loop_->runPending();
      EXPECT_EQ(outcome.calls, 1);
      EXPECT_EQ(outcome.results, result.is_null() ? std::vector<json>{} : std::vector{result});
      EXPECT_EQ(outcome.errors, error.is_null() ? std::vector<json>{} : std::vector{error});
    }
  }
  // No request can be formed: the error comes before the call returns.
  const std::string deep = std::string(600, '[') + std::string(600, ']');
  LinkOutcome refused;
  tavrel_mmp_create_link(("{\"a\":" + deep + "}").c_str(), LinkOutcome::record, &refused);
  EXPECT_EQ(refused.calls, 1);
  EXPECT_TRUE(refused.results.empty());
  ASSERT_EQ(refused.errors.size(), 1u);
  EXPECT_EQ(refused.errors[0]["code"], "0");
}

}  // namespace
}  // namespace tavrel_mmp
