#include "tavrel_mmp/deep_link_builder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "local_service/local_service.h"
#include "net/http_client.h"
#include "session/session_manager.h"
#include "session/storage_helper.h"
#include "support/fake_transport.h"
#include "support/pipeline_fixture.h"
#include "support/test_support.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;
using std::nullopt;

using Text = std::optional<std::string>;

// Everything one request handed to its completion (published by the count).
struct Delivered {
  std::atomic<int> calls{0};
  std::shared_ptr<DeepLinkBuilderResult> result;
  std::shared_ptr<DeepLinkBuilderError> error;
  std::thread::id thread;
  DeepLinkBuilder::Completion completion() {
    return [this](auto r, auto e) {
      result = std::move(r);
      error = std::move(e);
      thread = std::this_thread::get_id();
      ++calls;
    };
  }
};

json ios(Text bundleID, Text appStoreID, Text appStoreURL = nullopt, Text schema = nullopt) {
  DeepLinkIOSParameters p(bundleID, appStoreID);
  std::tie(p.appStoreURL, p.customSchema) = std::tuple(appStoreURL, schema);
  return p.buildParams();
}

json android(Text packageName, Text playStoreURL, Text schema = nullopt) {
  DeepLinkAndroidParameters p(packageName);
  std::tie(p.playStoreURL, p.customSchema) = std::tuple(playStoreURL, schema);
  return p.buildParams();
}

TEST(DeepLinkParameters, BuildOnlyTheKeysOfSetFields) {
  DeepLinkNimbrelParameters campaign("s", "c", "m", "cp", "r");
  std::tie(campaign.name, campaign.term, campaign.content) = std::tuple("n", "t", "ct");
  const std::vector<std::tuple<const char*, json, const char*>> cases = {
      {"empty iOS set", ios(nullopt, nullopt), "{}"},
      {"empty Android set", android(nullopt, nullopt), "{}"},
      {"empty App Store id", ios(nullopt, ""),
       R"({"appstore_id":"","ios_store":"https://apps.apple.com/app/id?mt=8"})"},
      {"every iOS field", ios("com.a", "7", nullopt, "a://"),
       R"({"bundle_id":"com.a","appstore_id":"7","ios_store":"https://apps.apple.com/app/id7?mt=8",
           "ios_custom_protocol":"a://"})"},
      {"App Store URL without id", ios(nullopt, nullopt, "https://apps.apple.com/us/app/id9"),
       R"({"ios_store":"https://apps.apple.com/us/app/id9"})"},
      {"bare-host App Store URL", ios(nullopt, "7", "apps.apple.com/app/id9"),
       R"({"appstore_id":"7","ios_store":"https://apps.apple.com/app/id7?mt=8"})"},
      {"other-host App Store URL", ios(nullopt, "7", "https://example.com/app/id9"),
       R"({"appstore_id":"7","ios_store":"https://apps.apple.com/app/id7?mt=8"})"},
      {"every Android field", android("com.b", "http://play.google.com/x", "b://"),
       R"({"package_name":"com.b","android_store":"http://play.google.com/x",
           "android_custom_protocol":"b://"})"},
      {"capital-scheme Play Store URL", android("com.b", "HTTPS://play.google.com/x"),
       R"({"package_name":"com.b",
           "android_store":"https://play.google.com/store/apps/details?id=com.b"})"},
      {"campaign source only",
       DeepLinkNimbrelParameters("news", nullopt, nullopt, nullopt, nullopt).buildParams(),
       R"({"utm_source":"news"})"},
      {"every campaign field", campaign.buildParams(),
       R"({"name":"n","utm_source":"s","code":"c","utm_medium":"m","utm_campaign":"cp",
           "utm_term":"t","utm_content":"ct","redirect_url":"r"})"},
  };
  for (const auto& [name, built, expected] : cases) EXPECT_EQ(built, json::parse(expected)) << name;
}

class DeepLinkBuilderFakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installIsolatedPlatform(dir_.path());
    platform::installHttpTransport(transport_);
    SessionManager::setBaseUrl("http://svc.test");
  }
  testing::TempDir dir_;
  std::shared_ptr<testing::FakeTransport> transport_ = std::make_shared<testing::FakeTransport>();
};

TEST_F(DeepLinkBuilderFakeTest, EveryRequestGivesExactlyOneOutcomePerAnswer) {
  auto answer = [](const std::string& code, const std::string& rest = "") {
    return R"({"responseCode":)" + code + R"(,"responseText":"T")" + rest + "}";
  };
  const std::string links = R"(,"data":{"short_link":"S","long_link":"L"})";
  struct Case {
    const char* name;
    std::optional<std::string> body;
    std::optional<HttpError> error;
    std::string code;                    // "" for a result
    std::optional<std::string> message;  // none: any non-empty description
  };
  const std::vector<Case> cases = {
      {"298", answer("298", links), nullopt, ""},
      {"299", answer("299", links), nullopt, "299", "T"},
      {"199", answer("199"), nullopt, "199", "T"},
      {"data null", answer("200", R"(,"data":null)"), nullopt, "0", "data is null"},
      {"data missing", answer("200"), nullopt, "0", "data is null"},
      {"no long_link", answer("200", R"(,"data":{"short_link":"S"})"), nullopt, "0"},
      {"data is text", answer("200", R"(,"data":"S")"), nullopt, "0"},
      {"code as text", answer(R"("200")", links), nullopt, "0"},
      {"no responseText", R"({"responseCode":200})", nullopt, "0"},
      {"not JSON", "<html>", nullopt, "0"},
      {"transport error", nullopt, HttpError{"curl", 7, "No route"}, "0", "No route"},
      {"nothing at all", nullopt, nullopt, "0", ""},
  };
  const json hostBody = {{"list", {1, nullptr}}, {"q", "a\"b\n\xC3\xA9"}};
  const std::vector<std::tuple<std::function<void(DeepLinkBuilder&, DeepLinkBuilder::Completion)>,
                               std::string, json>>
      requests = {
          {[&](auto& b, auto done) { b.create(hostBody, std::move(done)); },
           "/partner/deeplink/create", hostBody},
          {[](auto& b, auto done) { b.create(std::move(done)); },
           "/partner/deeplink/create",
           {{"fields", json::array()}}},
          {[](auto& b, auto done) { b.createShortLink("l", "n", "", std::move(done)); },
           "/partner/deeplink/shorten-link",
           {{"name", "n"}, {"short_link_id", ""}, {"redirect_url", "l"}}},
      };
  for (const auto& c : cases) {
    for (const auto& [start, path, body] : requests) {
      SCOPED_TRACE(std::string(c.name) + " " + path);
      transport_->clear();
      DeepLinkBuilder builder;
      Delivered delivered;
      start(builder, delivered.completion());
      ASSERT_EQ(transport_->count(), 1u);
      EXPECT_EQ(transport_->at(0).path(), path);
      EXPECT_EQ(transport_->at(0).json(), body);
      ASSERT_EQ(delivered.calls.load(), 0);
      if (c.body) {
        transport_->respond(0, *c.body);
      } else if (c.error) {
        transport_->fail(0, *c.error);
      } else {
        transport_->respondNothing(0);
      }
      ASSERT_EQ(delivered.calls.load(), 1);
      ASSERT_NE(!delivered.result, !delivered.error);
      if (c.code.empty()) {
        ASSERT_TRUE(delivered.result);
        EXPECT_EQ(delivered.result->shortLink + delivered.result->longLink, "SL");
        continue;
      }
      ASSERT_TRUE(delivered.error);
      EXPECT_EQ(delivered.error->code, c.code);
      if (c.message) EXPECT_EQ(delivered.error->message, *c.message);
      if (!c.message) EXPECT_FALSE(delivered.error->message.empty());
    }
  }
}

TEST_F(DeepLinkBuilderFakeTest, UnformableRequestCompletesOnceBeforeReturningEvenIfHostThrows) {
  SessionManager::setBaseUrl("http://svc.test/has space");
  DeepLinkBuilder builder;
  Delivered delivered;
  builder.create(delivered.completion());
  EXPECT_EQ(delivered.calls.load(), 1);
  EXPECT_EQ(delivered.thread, std::this_thread::get_id());
  ASSERT_TRUE(delivered.error);
  EXPECT_EQ(delivered.error->code, "0");

  int calls = 0;
  EXPECT_NO_THROW(builder.createShortLink("l", "n", "s", [&](auto, auto) {
    ++calls;
    throw std::runtime_error("host bug");
  }));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(transport_->count(), 0u);
}

// Over libcurl against the local measurement service, with a session it granted.
TEST(DeepLinkBuilderService, CreatesAndShortensLinksWithTheServiceAnswers) {
  testing::TempDir dir;
  testing::installIsolatedPlatform(dir.path(), "com.tavrel.links");
  testing::installCurlTransport();
  tools::LocalService service;
  ASSERT_TRUE(service.start());
  SessionManager::setBaseUrl(service.baseUrl());
  ASSERT_TRUE(testing::signInWithoutSessionStart("LINKS"));
  auto waitFor = [](Delivered& delivered) {
    EXPECT_TRUE(testing::waitUntil([&] { return delivered.calls.load() > 0; }));
    EXPECT_NE(delivered.thread, std::this_thread::get_id());
    return delivered.result;
  };

  const std::string awkward = "say \"hi\"\n\xC3\xA9t\xC3\xA9 \xE2\x9C\x93 & =";
  DeepLinkBuilder builder;
  builder.iOSParameters = std::make_shared<DeepLinkIOSParameters>("com.a", nullopt);
  builder.nimbrelParameters =
      std::make_shared<DeepLinkNimbrelParameters>(awkward, nullopt, nullopt, nullopt, nullopt);
  Delivered created;
  builder.create(created.completion());
  const auto made = waitFor(created);
  ASSERT_TRUE(made);
  const json answered = {{"short_link", made->shortLink}, {"long_link", made->longLink}};
  EXPECT_EQ(service.linksMade(), std::vector<json>{answered});
  const json body = service.requests("/partner/deeplink/create").at(0).json();
  json fields = json::object();
  for (const json& field : body["fields"]) fields[field["key"].get<std::string>()] = field["value"];
  EXPECT_EQ(fields, (json{{"bundle_id", "com.a"}, {"utm_source", awkward}}));

  Delivered shortened;
  builder.createShortLink(made->longLink, "spring", "sale", shortened.completion());
  const auto shortLink = waitFor(shortened);
  ASSERT_TRUE(shortLink);
  EXPECT_EQ(shortLink->shortLink, service.baseUrl() + "/s/sale");
  EXPECT_EQ(shortLink->longLink, made->longLink);
}

}  // namespace
}  // namespace tavrel_mmp
