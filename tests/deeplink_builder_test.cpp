#include "tavrel_mmp/deep_link_builder.h"

#include <gtest/gtest.h>

#include <atomic>

#include "net/http_client.h"
#include "secret/secret_generator.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;
using std::nullopt;
using Text = std::optional<std::string>;

// Everything one request handed to its completion (on whichever thread: `calls` is counted
// after the outcome is written).
struct Delivered {
  std::atomic<int> calls = 0;
  std::shared_ptr<DeepLinkBuilderResult> result;
  std::shared_ptr<DeepLinkBuilderError> error;
  DeepLinkBuilder::Completion completion() {
    return [this](auto r, auto e) { result = r, error = e, ++calls; };
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
  const std::pair<json, const char*> cases[] = {
      {ios(nullopt, nullopt), "{}"},
      {ios(nullopt, ""), R"({"appstore_id":"","ios_store":"https://apps.apple.com/app/id?mt=8"})"},
      {ios("com.a", "7", nullopt, "a://"),
       R"({"bundle_id":"com.a","appstore_id":"7","ios_store":"https://apps.apple.com/app/id7?mt=8",
           "ios_custom_protocol":"a://"})"},
      {ios(nullopt, nullopt, "https://apps.apple.com/us/app/id9"),
       R"({"ios_store":"https://apps.apple.com/us/app/id9"})"},
      {ios(nullopt, "7", "apps.apple.com/app/id9"),  // a bare host is no App Store URL
       R"({"appstore_id":"7","ios_store":"https://apps.apple.com/app/id7?mt=8"})"},
      {ios(nullopt, "7", "https://example.com/app/id9"),
       R"({"appstore_id":"7","ios_store":"https://apps.apple.com/app/id7?mt=8"})"},
      {android("com.b", "http://play.google.com/x", "b://"),
       R"({"package_name":"com.b","android_store":"http://play.google.com/x",
           "android_custom_protocol":"b://"})"},
      {android("com.b", "HTTPS://play.google.com/x"),  // the scheme is matched as written
       R"({"package_name":"com.b",
           "android_store":"https://play.google.com/store/apps/details?id=com.b"})"},
      // Identifiers stay one path segment or query value, whatever they hold.
      {ios(nullopt, "7/../x?y#"),
       R"({"appstore_id":"7/../x?y#","ios_store":"https://apps.apple.com/app/id7%2F..%2Fx%3Fy%23?mt=8"})"},
      {android("com.b&id=evil", nullopt),
       R"({"package_name":"com.b&id=evil",
           "android_store":"https://play.google.com/store/apps/details?id=com.b%26id%3Devil"})"},
      {campaign.buildParams(),
       R"({"name":"n","utm_source":"s","code":"c","utm_medium":"m","utm_campaign":"cp",
           "utm_term":"t","utm_content":"ct","redirect_url":"r"})"},
  };
  for (const auto& [built, expected] : cases) EXPECT_EQ(built, json::parse(expected)) << expected;
}

using DeepLinkBuilderTest = testing::OfflineTest;

TEST_F(DeepLinkBuilderTest, EveryRequestGivesExactlyOneOutcomePerAnswer) {
  auto answer = [](const std::string& code, const std::string& rest = "") {
    return R"({"responseCode":)" + code + R"(,"responseText":"T")" + rest + "}";
  };
  const std::string links = R"(,"data":{"short_link":"S","long_link":"L"})";
  const std::optional<HttpError> noRoute = HttpError{"curl", 7, "No route"};
  // the answer (none: `error`, or nothing at all), and the error code ("": a result) and message
  const std::tuple<Text, std::optional<HttpError>, std::string, Text> cases[] = {
      {answer("298", links), nullopt, "", nullopt},
      {answer("299", links), nullopt, "299", "T"},
      {answer("199"), nullopt, "199", "T"},
      {answer("200", R"(,"data":null)"), nullopt, "0", "data is null"},
      {answer("200"), nullopt, "0", "data is null"},
      {answer("200", R"(,"data":{"short_link":"S"})"), nullopt, "0", nullopt},
      {answer(R"("200")", links), nullopt, "0", nullopt},
      {"<html>", nullopt, "0", nullopt},
      {nullopt, noRoute, "0", "No route"},
      {nullopt, nullopt, "0", ""},
  };
  const json hostBody = {{"list", {1, nullptr}}, {"q", "a\"b\n\xC3\xA9"}};
  using Start = std::function<void(DeepLinkBuilder&, DeepLinkBuilder::Completion)>;
  const std::tuple<Start, std::string, json> requests[] = {
      {[&](auto& b, auto done) { b.create(hostBody, done); }, "/partner/deeplink/create", hostBody},
      {[](auto& b, auto done) {
         b.iOSParameters = std::make_shared<DeepLinkIOSParameters>("com.a", nullopt);
         b.create(done);
       },
       "/partner/deeplink/create",
       json::parse(R"({"fields":[{"key":"bundle_id","value":"com.a"}]})")},
      {[](auto& b, auto done) { b.createShortLink("l", "n", "", done); },
       "/partner/deeplink/shorten-link",
       {{"name", "n"}, {"short_link_id", ""}, {"redirect_url", "l"}}},
  };
  for (const auto& [body, error, code, message] : cases) {
    for (const auto& [start, path, sent] : requests) {
      SCOPED_TRACE(body.value_or("no body") + " " + path);
      DeepLinkBuilder builder;
      Delivered delivered;
      start(builder, delivered.completion());
      const std::size_t index = transport_->count() - 1;
      EXPECT_EQ(transport_->at(index).path(), path);
      EXPECT_EQ(transport_->at(index).json(), sent);
      ASSERT_EQ(delivered.calls.load(), 0);
      body    ? transport_->respond(index, *body)
      : error ? transport_->fail(index, *error)
              : transport_->respondNothing(index);
      ASSERT_EQ(delivered.calls.load(), 1);
      if (code.empty()) {
        ASSERT_TRUE(delivered.result && !delivered.error);
        EXPECT_EQ(delivered.result->shortLink + delivered.result->longLink, "SL");
        continue;
      }
      ASSERT_TRUE(delivered.error && !delivered.result);
      EXPECT_EQ(delivered.error->code, code);
      if (message) EXPECT_EQ(delivered.error->message, *message);
      if (!message) EXPECT_FALSE(delivered.error->message.empty());
    }
  }
}

using DeepLinkBuilderEndToEnd = testing::ServiceTest;

// Before the start no service is known: a request ends before the call returns, once, even when
// the host's completion throws. Right after the start it waits, never on the host's thread, for
// the authentication on its way and goes out with the session that brings; a refusal ends it,
// and an authentication that never ends holds it no longer than the transport's time-out.
TEST_F(DeepLinkBuilderEndToEnd, ALinkWaitsForTheAuthenticationOnItsWay) {
  int calls = 0;
  EXPECT_NO_THROW(DeepLinkBuilder().createShortLink("l", "n", "s", [&](auto, auto error) {
    calls += error && error->code == "0";
    throw std::runtime_error("host bug");
  }));
  EXPECT_EQ(calls, 1);
  enum Authentication { refused, stalled, accepted };
  const std::pair<Authentication, std::string> cases[] = {
      {refused, "refused the authentication"}, {stalled, "Unauthorized"}, {accepted, ""}};
  for (const auto& [authentication, message] : cases) {
    const auto links = service_.requests("/partner/deeplink/create").size();
    service_.setAuthRefusal(authentication == refused ? std::optional(401) : std::nullopt);
    Nimbrel::intSDK("P", tools::makeAppSecret(service_.baseUrl(), "P"), nullptr);
    Delivered delivered;
    DeepLinkBuilder().create(json::object(), delivered.completion());
    EXPECT_EQ(delivered.calls.load(), 0) << message;
    authentication == stalled ? time_.clock->advance(HttpClient::kRequestTimeoutSeconds + 1)
                              : (void)time_.loop->runPending();
    ASSERT_TRUE(testing::waitUntil([&] { return delivered.calls > 0; }) &&
                testing::curlTransport().waitIdle());
    EXPECT_EQ(delivered.calls.load(), 1);
    EXPECT_EQ(service_.requests("/partner/deeplink/create").size() - links,
              authentication == refused ? 0u : 1u);
    EXPECT_EQ(!!delivered.result, authentication == accepted);  // the service knew the token
    if (authentication == accepted) continue;
    ASSERT_TRUE(delivered.error) << message;
    EXPECT_EQ(delivered.error->code, "401");
    EXPECT_NE(delivered.error->message.find(message), std::string::npos)
        << delivered.error->message;
  }
}

}  // namespace
}  // namespace tavrel_mmp
