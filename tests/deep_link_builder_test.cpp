#include "tavrel_mmp/deep_link_builder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

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

// Everything one request handed to its completion.
struct Delivered {
  std::mutex mutex;
  int calls = 0;
  std::shared_ptr<DeepLinkBuilderResult> result;
  std::shared_ptr<DeepLinkBuilderError> error;
  std::thread::id thread;

  DeepLinkBuilder::Completion completion() {
    return [this](auto r, auto e) {
      std::lock_guard lock(mutex);
      ++calls;
      result = std::move(r);
      error = std::move(e);
      thread = std::this_thread::get_id();
    };
  }
  int count() {
    std::lock_guard lock(mutex);
    return calls;
  }
};

struct ParameterCase {
  const char* name;
  std::function<json()> build;
  json expected;
};

TEST(DeepLinkParameters, BuildOnlyTheKeysOfSetFields) {
  const std::vector<ParameterCase> cases = {
      {"empty iOS set", [] { return DeepLinkIOSParameters(nullopt, nullopt).buildParams(); },
       json::object()},
      {"empty Android set", [] { return DeepLinkAndroidParameters(nullopt).buildParams(); },
       json::object()},
      {"empty campaign set",
       [] {
         return DeepLinkNimbrelParameters(nullopt, nullopt, nullopt, nullopt, nullopt)
             .buildParams();
       },
       json::object()},
      {"empty App Store id still derives the store link",
       [] { return DeepLinkIOSParameters(nullopt, "").buildParams(); },
       {{"appstore_id", ""}, {"ios_store", "https://apps.apple.com/app/id?mt=8"}}},
      {"every iOS field",
       [] {
         DeepLinkIOSParameters p("com.a", "123");
         p.customSchema = "app://";
         return p.buildParams();
       },
       {{"bundle_id", "com.a"},
        {"appstore_id", "123"},
        {"ios_store", "https://apps.apple.com/app/id123?mt=8"},
        {"ios_custom_protocol", "app://"}}},
      {"App Store URL without id",
       [] {
         DeepLinkIOSParameters p(nullopt, nullopt);
         p.appStoreURL = "https://apps.apple.com/us/app/x/id9";
         return p.buildParams();
       },
       {{"ios_store", "https://apps.apple.com/us/app/x/id9"}}},
      {"bare-host App Store URL ignored",
       [] {
         DeepLinkIOSParameters p(nullopt, "7");
         p.appStoreURL = "apps.apple.com/app/id9";
         return p.buildParams();
       },
       {{"appstore_id", "7"}, {"ios_store", "https://apps.apple.com/app/id7?mt=8"}}},
      {"other-host App Store URL ignored",
       [] {
         DeepLinkIOSParameters p(nullopt, "7");
         p.appStoreURL = "https://example.com/app/id9";
         return p.buildParams();
       },
       {{"appstore_id", "7"}, {"ios_store", "https://apps.apple.com/app/id7?mt=8"}}},
      {"every Android field",
       [] {
         DeepLinkAndroidParameters p("com.b");
         p.customSchema = "b://";
         p.playStoreURL = "http://play.google.com/store/apps/details?id=other";
         return p.buildParams();
       },
       {{"package_name", "com.b"},
        {"android_store", "http://play.google.com/store/apps/details?id=other"},
        {"android_custom_protocol", "b://"}}},
      {"capital scheme Play Store URL ignored",
       [] {
         DeepLinkAndroidParameters p("com.b");
         p.playStoreURL = "HTTPS://play.google.com/store/apps/details?id=x";
         return p.buildParams();
       },
       {{"package_name", "com.b"},
        {"android_store", "https://play.google.com/store/apps/details?id=com.b"}}},
      {"campaign source only",
       [] {
         return DeepLinkNimbrelParameters("news", nullopt, nullopt, nullopt, nullopt).buildParams();
       },
       {{"utm_source", "news"}}},
      {"every campaign field",
       [] {
         DeepLinkNimbrelParameters p("s", "c", "m", "cp", "https://r");
         p.name = "n";
         p.term = "t";
         p.content = "ct";
         return p.buildParams();
       },
       {{"name", "n"},
        {"utm_source", "s"},
        {"code", "c"},
        {"utm_medium", "m"},
        {"utm_campaign", "cp"},
        {"utm_term", "t"},
        {"utm_content", "ct"},
        {"redirect_url", "https://r"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.build(), c.expected) << c.name;
}

TEST(DeepLinkBuilderParams, FieldsListEveryKeyOfThePresentSets) {
  DeepLinkBuilder builder;
  EXPECT_EQ(builder.buildParams(), (json{{"fields", json::array()}}));

  builder.iOSParameters = std::make_shared<DeepLinkIOSParameters>("com.a", nullopt);
  builder.androidParameters = std::make_shared<DeepLinkAndroidParameters>("com.b");
  builder.nimbrelParameters =
      std::make_shared<DeepLinkNimbrelParameters>("s", nullopt, nullopt, nullopt, nullopt);
  const json fields = builder.buildParams()["fields"];
  json asObject = json::object();
  for (const json& field : fields) {
    ASSERT_EQ(field.size(), 2u);
    asObject[field["key"].get<std::string>()] = field["value"];
  }
  EXPECT_EQ(fields.size(), 4u);
  EXPECT_EQ(asObject,
            (json{{"bundle_id", "com.a"},
                  {"package_name", "com.b"},
                  {"android_store", "https://play.google.com/store/apps/details?id=com.b"},
                  {"utm_source", "s"}}));
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

TEST_F(DeepLinkBuilderFakeTest, RequestsCarryTheirBodiesUnchanged) {
  DeepLinkBuilder builder;
  const json hostBody = {{"anything", {1, "two", nullptr}}, {"quote", "a\"b\n\xC3\xA9"}};
  builder.create(hostBody, nullptr);
  builder.create(nullptr);
  builder.createShortLink("https://long", "", "", nullptr);

  ASSERT_EQ(transport_->count(), 3u);
  EXPECT_EQ(transport_->at(0).path(), "/partner/deeplink/create");
  EXPECT_EQ(transport_->at(0).json(), hostBody);
  EXPECT_EQ(transport_->at(1).path(), "/partner/deeplink/create");
  EXPECT_EQ(transport_->at(1).json(), (json{{"fields", json::array()}}));
  EXPECT_EQ(transport_->at(2).path(), "/partner/deeplink/shorten-link");
  EXPECT_EQ(transport_->at(2).json(),
            (json{{"name", ""}, {"short_link_id", ""}, {"redirect_url", "https://long"}}));
}

struct AnswerCase {
  const char* name;
  std::optional<std::string> body;
  std::optional<HttpError> error;
  std::string code;  // "" for a result
  std::string message;
  bool messageIsExact;  // otherwise `message` must occur in it
};

TEST_F(DeepLinkBuilderFakeTest, EveryAnswerGivesExactlyOneOutcome) {
  const std::string links = R"("data":{"short_link":"S","long_link":"L"})";
  const std::vector<AnswerCase> cases = {
      {"298 is accepted", R"({"responseCode":298,"responseText":"x",)" + links + "}", nullopt, "",
       "", true},
      {"200 is accepted", R"({"responseCode":200,"responseText":"x",)" + links + "}", nullopt, "",
       "", true},
      {"299 is refused", R"({"responseCode":299,"responseText":"Too far",)" + links + "}", nullopt,
       "299", "Too far", true},
      {"199 is refused", R"({"responseCode":199,"responseText":"Early"})", nullopt, "199", "Early",
       true},
      {"negative code", R"({"responseCode":-5,"responseText":"Neg"})", nullopt, "-5", "Neg", true},
      {"data null", R"({"responseCode":200,"responseText":"OK","data":null})", nullopt, "0",
       "data is null", true},
      {"data missing", R"({"responseCode":200,"responseText":"OK"})", nullopt, "0", "data is null",
       true},
      {"data lacks long_link",
       R"({"responseCode":200,"responseText":"OK","data":{"short_link":"S"}})", nullopt, "0",
       "long_link", false},
      {"data is text", R"({"responseCode":200,"responseText":"OK","data":"S"})", nullopt, "0",
       "data", false},
      {"not JSON", "<html>", nullopt, "0", "parse", false},
      {"lacks responseText", R"({"responseCode":200})", nullopt, "0", "responseText", false},
      {"code given as text", R"({"responseCode":"200","responseText":"OK"})", nullopt, "0",
       "responseCode", false},
      {"transport error", nullopt, HttpError{"curl", 7, "Couldn't connect to server"}, "0",
       "Couldn't connect to server", true},
      {"neither body nor error", nullopt, nullopt, "0", "", true},
  };
  const std::vector<std::function<void(DeepLinkBuilder&, DeepLinkBuilder::Completion)>> requests = {
      [](DeepLinkBuilder& b, auto done) {
        b.create(json{{"k", "v"}}, std::move(done));
      },
      [](DeepLinkBuilder& b, auto done) { b.create(std::move(done)); },
      [](DeepLinkBuilder& b, auto done) { b.createShortLink("l", "n", "s", std::move(done)); },
  };
  for (const auto& c : cases) {
    for (std::size_t r = 0; r < requests.size(); ++r) {
      SCOPED_TRACE(std::string(c.name) + ", request " + std::to_string(r));
      transport_->clear();
      DeepLinkBuilder builder;
      Delivered delivered;
      requests[r](builder, delivered.completion());
      ASSERT_EQ(delivered.count(), 0);  // nothing before the answer
      ASSERT_EQ(transport_->count(), 1u);
      if (c.body) {
        transport_->respond(0, *c.body);
      } else if (c.error) {
        transport_->fail(0, *c.error);
      } else {
        transport_->respondNothing(0);
      }
      ASSERT_EQ(delivered.count(), 1);
      ASSERT_NE(!delivered.result, !delivered.error);
      if (c.code.empty()) {
        ASSERT_TRUE(delivered.result);
        EXPECT_EQ(delivered.result->shortLink, "S");
        EXPECT_EQ(delivered.result->longLink, "L");
        continue;
      }
      ASSERT_TRUE(delivered.error);
      EXPECT_EQ(delivered.error->code, c.code);
      if (c.messageIsExact) {
        EXPECT_EQ(delivered.error->message, c.message);
      } else {
        EXPECT_NE(delivered.error->message.find(c.message), std::string::npos)
            << delivered.error->message;
      }
    }
  }
}

TEST_F(DeepLinkBuilderFakeTest, UnformableRequestCompletesOnceBeforeReturningEvenIfHostThrows) {
  SessionManager::setBaseUrl("http://svc.test/has space");
  DeepLinkBuilder builder;
  Delivered delivered;
  builder.create(delivered.completion());
  EXPECT_EQ(delivered.count(), 1);
  EXPECT_EQ(delivered.thread, std::this_thread::get_id());
  ASSERT_TRUE(delivered.error);
  EXPECT_EQ(delivered.error->code, "0");
  EXPECT_EQ(transport_->count(), 0u);

  int calls = 0;
  EXPECT_NO_THROW(builder.createShortLink("l", "n", "s", [&](auto, auto) {
    ++calls;
    throw std::runtime_error("host bug");
  }));
  EXPECT_EQ(calls, 1);
}

// Over libcurl against the local measurement service.
class DeepLinkBuilderServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installIsolatedPlatform(dir_.path(), "com.tavrel.links");
    testing::installCurlTransport();
    ASSERT_TRUE(service_.start());
    SessionManager::setBaseUrl(service_.baseUrl());
  }

  // Signs in through the service and stores the granted session, as an accepted
  // authentication does.
  void authenticate() {
    StorageHelper::shared().savePartnerCode("LINKS");
    std::atomic<bool> done{false};
    HttpClient::shared().post("/public/partner/auth",
                              json{{"partnerCode", "LINKS"},
                                   {"appId", "com.tavrel.links"},
                                   {"deviceId", StorageHelper::shared().getDeviceId()}},
                              [&](auto body, auto) {
                                if (body) StorageHelper::shared().saveAuthData(*body);
                                done = true;
                              });
    ASSERT_TRUE(testing::waitUntil([&] { return done.load(); }));
    ASSERT_TRUE(StorageHelper::shared().getAuthData() &&
                StorageHelper::shared().getAuthData()->data);
  }

  void waitFor(Delivered& delivered) {
    ASSERT_TRUE(testing::waitUntil([&] { return delivered.count() > 0; }));
    EXPECT_EQ(delivered.count(), 1);
    EXPECT_NE(delivered.thread, std::this_thread::get_id());
  }

  testing::TempDir dir_;
  tools::LocalService service_;
};

TEST_F(DeepLinkBuilderServiceTest, CreatesAndShortensLinksWithTheServiceAnswers) {
  authenticate();
  const std::string awkward = "say \"hi\"\n\xC3\xA9t\xC3\xA9 \xE2\x9C\x93 & =";
  DeepLinkBuilder builder;
  builder.nimbrelParameters =
      std::make_shared<DeepLinkNimbrelParameters>("news", nullopt, nullopt, nullopt, nullopt);
  builder.nimbrelParameters->name = awkward;

  Delivered created;
  builder.create(created.completion());
  waitFor(created);
  ASSERT_TRUE(created.result);
  ASSERT_EQ(service_.linksMade().size(), 1u);
  const json made = service_.linksMade()[0];
  EXPECT_EQ(created.result->shortLink, made["short_link"]);
  EXPECT_EQ(created.result->longLink, made["long_link"]);
  EXPECT_EQ(created.result->shortLink.rfind(service_.baseUrl() + "/s/", 0), 0u);
  EXPECT_NE(
      created.result->longLink.find("name=say%20%22hi%22%0A%C3%A9t%C3%A9%20%E2%9C%93%20%26%20%3D"),
      std::string::npos);

  const auto received = service_.requests("/partner/deeplink/create");
  ASSERT_EQ(received.size(), 1u);
  json fields = json::object();
  const json body = received[0].json();
  for (const json& field : body["fields"]) {
    fields[field["key"].get<std::string>()] = field["value"];
  }
  EXPECT_EQ(fields, (json{{"name", awkward}, {"utm_source", "news"}}));

  Delivered shortened;
  builder.createShortLink(created.result->longLink, "spring", "sale", shortened.completion());
  waitFor(shortened);
  ASSERT_TRUE(shortened.result);
  EXPECT_EQ(shortened.result->shortLink, service_.baseUrl() + "/s/sale");
  EXPECT_EQ(shortened.result->longLink, created.result->longLink);
  EXPECT_EQ(service_.linksMade().size(), 2u);
}

TEST_F(DeepLinkBuilderServiceTest, RefusalWithoutSessionArrivesAsTheServiceCode) {
  DeepLinkBuilder builder;
  Delivered delivered;
  builder.create(json{{"k", "v"}}, delivered.completion());
  waitFor(delivered);
  ASSERT_TRUE(delivered.error);
  EXPECT_EQ(delivered.error->code, "401");
  EXPECT_EQ(delivered.error->message, "Unauthorized");
  EXPECT_TRUE(service_.linksMade().empty());
}

}  // namespace
}  // namespace tavrel_mmp
