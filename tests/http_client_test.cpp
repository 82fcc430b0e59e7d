#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "local_service/local_service.h"
#include "net/http_client.h"
#include "net/result_data.h"
#include "session/session_manager.h"
#include "session/storage_helper.h"
#include "support/fake_transport.h"
#include "support/sha256_hex.h"
#include "support/test_support.h"

namespace tavrel_mmp {
namespace {

using testing::bytes;

TEST(HttpClientUrl, JoinsWithoutAddingOrRemovingSeparators) {
  EXPECT_EQ(HttpClient::joinUrl("https://h.example/api", "/partner/event/log"),
            "https://h.example/api/partner/event/log");
  EXPECT_EQ(HttpClient::joinUrl("https://h.example/api/", "/partner/event/log"),
            "https://h.example/api//partner/event/log");
  EXPECT_EQ(HttpClient::joinUrl("https://base", "https://other.example/x"),
            "https://other.example/x");
  EXPECT_EQ(HttpClient::joinUrl("https://base", "HTTPS://other.example/x"),
            "https://baseHTTPS://other.example/x");
  EXPECT_EQ(HttpClient::joinUrl("", "/partner/auth"), "/partner/auth");
}

TEST(HttpClientUrl, RecognisesUnparseableText) {
  for (const char* good :
       {"https://h.example/a/b?c=d#e", "http://127.0.0.1:8080/x", "/bare/path", "http://[::1]:80/x",
        "https://h.example/%20x", "https://baseHTTPS://o"}) {
    EXPECT_TRUE(HttpClient::isParseableUrl(good)) << good;
  }
  for (const char* bad : {"", "http://h.example/a b", "http://h.example/%zz", "http://h:port/x",
                          "http://h.example/\"q\"", "1http://x", "http://h.example/a#b#c",
                          "http://h.example/\xC3\xA9", "http://h.example/{x}"}) {
    EXPECT_FALSE(HttpClient::isParseableUrl(bad)) << bad;
  }
}

class HttpClientFakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installIsolatedPlatform(dir_.path());
    platform::installHttpTransport(transport_);
    SessionManager::setBaseUrl("http://svc.test/base");
  }
  testing::TempDir dir_;
  std::shared_ptr<testing::FakeTransport> transport_ = std::make_shared<testing::FakeTransport>();
};

TEST_F(HttpClientFakeTest, InvalidUrlCompletesSynchronouslyAndSendsNothing) {
  SessionManager::setBaseUrl("http://svc.test/has space");
  std::thread::id completedOn;
  std::optional<HttpError> error;
  HttpClient::shared().post("/partner/event/log", nlohmann::json::object(), [&](auto body, auto e) {
    completedOn = std::this_thread::get_id();
    EXPECT_FALSE(body);
    error = e;
  });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "Invalid URL");
  EXPECT_EQ(error->code, 0);
  EXPECT_EQ(completedOn, std::this_thread::get_id());
  EXPECT_EQ(transport_->count(), 0u);
}

TEST_F(HttpClientFakeTest, BodyIsPrettyPrintedAndAbsentWithoutParams) {
  HttpClient::shared().post("/partner/event/log", nlohmann::json{{"events", {1, 2}}}, nullptr);
  HttpClient::shared().post("/partner/event/log", std::nullopt, nullptr);
  // Text that is not UTF-8 is replaced, never a reason to drop the body.
  HttpClient::shared().post("/x", nlohmann::json{{"k", "a\xFF"}}, nullptr);
  const auto first = transport_->at(0);
  ASSERT_TRUE(first.request.body);
  EXPECT_NE(first.request.body->find('\n'), std::string::npos);
  EXPECT_EQ(first.json(), (nlohmann::json{{"events", {1, 2}}}));
  EXPECT_FALSE(transport_->at(1).request.body);
  EXPECT_EQ(transport_->at(2).json()["k"], "a\xEF\xBF\xBD");
}

TEST_F(HttpClientFakeTest, AuthenticationCallNeverCarriesTheToken) {
  StorageHelper::shared().saveAuthData(
      bytes(R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s","token":"T",)"
            R"("sessionExpireTimeInSeconds":1}})"));
  HttpClient::shared().post("/public/partner/auth", nlohmann::json::object(), nullptr);
  HttpClient::shared().post("http://full.test/partner/auth", nlohmann::json::object(), nullptr);
  for (std::size_t i : {0u, 1u}) {
    const auto sent = transport_->at(i);
    EXPECT_FALSE(sent.header("Authorization"));
    EXPECT_TRUE(sent.header("t"));
    EXPECT_TRUE(sent.header("v"));
  }
  // No partner code persisted: the signature text starts with the application identifier.
  const auto sent = transport_->at(0);
  const std::string h =
      testing::sha256Hex("com.tavrel.test" + StorageHelper::shared().getDeviceId() +
                         *sent.header("t") + "KPVXRTE@BHMWQZLYN");
  EXPECT_EQ(*sent.header("v"), h.substr(54) + h.substr(0, 10));

  StorageHelper::shared().removeAuthData();
  HttpClient::shared().post("/partner/event/log", nlohmann::json::object(), nullptr);
  EXPECT_TRUE(transport_->at(2).request.headers.empty());
}

// The same paths end to end: libcurl over loopback to the local measurement service.
class HttpClientServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installIsolatedPlatform(dir_.path(), "com.tavrel.e2e");
    platform::installHttpTransport(transport());
    ASSERT_TRUE(service_.start());
    SessionManager::setBaseUrl(service_.baseUrl());
  }

  struct Outcome {
    std::optional<std::vector<std::uint8_t>> body;
    std::optional<HttpError> error;
    std::thread::id thread;
  };
  Outcome postAndWait(const std::string& with, const std::optional<PropertyDictionary>& params) {
    std::atomic<bool> done{false};
    Outcome outcome;
    HttpClient::shared().post(with, params, [&](auto body, auto error) {
      outcome = {std::move(body), std::move(error), std::this_thread::get_id()};
      done = true;
    });
    EXPECT_TRUE(testing::waitUntil([&] { return done.load(); }, std::chrono::seconds(20)));
    EXPECT_NE(outcome.thread, std::this_thread::get_id());
    return outcome;
  }

  // One real transport for the whole process, whatever earlier tests installed.
  static std::shared_ptr<platform::HttpTransport> transport() {
    static auto* curl = new std::shared_ptr<platform::HttpTransport>(platform::makeCurlTransport());
    return *curl;
  }

  testing::TempDir dir_;
  tools::LocalService service_;
};

TEST_F(HttpClientServiceTest, SignedAuthenticationIsAcceptedByTheService) {
  StorageHelper::shared().savePartnerCode("E2E");
  const auto outcome =
      postAndWait("/public/partner/auth",
                  PropertyDictionary{{"partnerCode", "E2E"},
                                     {"appId", "com.tavrel.e2e"},
                                     {"deviceId", StorageHelper::shared().getDeviceId()}});
  ASSERT_TRUE(outcome.body);
  const auto result = ResultData::decode(*outcome.body);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->responseCode, 200);

  const auto received = service_.requests("/public/partner/auth");
  ASSERT_EQ(received.size(), 1u);
  const auto& request = received[0];
  EXPECT_FALSE(request.header("authorization"));
  EXPECT_EQ(request.header("content-type"), "application/json");
  EXPECT_EQ(request.header("platform"), "iOS");
  const std::string h = testing::sha256Hex(
      "E2E"
      "com.tavrel.e2e" +
      StorageHelper::shared().getDeviceId() + *request.header("t") + "KPVXRTE@BHMWQZLYN");
  EXPECT_EQ(request.header("v"), h.substr(54) + h.substr(0, 10));
}

TEST_F(HttpClientServiceTest, TokenSetAndDoubleSlashReachTheService) {
  StorageHelper::shared().saveAuthData(
      bytes(R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s","token":"TKN",)"
            R"("sessionExpireTimeInSeconds":1}})"));
  SessionManager::setBaseUrl(service_.baseUrl() + "/");
  postAndWait("/partner/device-info/update", PropertyDictionary{{"a", 1}});
  const auto received = service_.requests();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].path, "//partner/device-info/update");
  EXPECT_EQ(received[0].header("authorization"), "TKN");
  EXPECT_EQ(received[0].header("content-type"), "application/json");
  EXPECT_EQ(received[0].header("platform"), "iOS");
  EXPECT_FALSE(received[0].header("t"));
  EXPECT_EQ(received[0].json(), (nlohmann::json{{"a", 1}}));
}

TEST_F(HttpClientServiceTest, NoSessionMeansNoHeadersAtAll) {
  postAndWait("/partner/device-info/update", PropertyDictionary{{"a", 1}});
  const auto received = service_.requests();
  ASSERT_EQ(received.size(), 1u);
  for (const char* name : {"authorization", "content-type", "platform", "t", "v"}) {
    EXPECT_FALSE(received[0].header(name)) << name;
  }
  EXPECT_EQ(received[0].json(), (nlohmann::json{{"a", 1}}));
}

TEST_F(HttpClientServiceTest, ErrorStatusWithJsonArrivesAsABody) {
  tools::Fault fault;
  fault.kind = tools::Fault::Kind::responseCode;
  fault.responseCode = 500;
  fault.httpStatus = 500;
  service_.setFault("/partner/event/log", fault);
  const auto outcome = postAndWait("/partner/event/log", PropertyDictionary{{"events", {}}});
  ASSERT_TRUE(outcome.body);
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(ResultData::decode(*outcome.body)->responseCode, 500);
}

TEST_F(HttpClientServiceTest, TransportFailuresArriveAsErrors) {
  const int port = service_.port();
  service_.stop();  // nothing listens there any more
  SessionManager::setBaseUrl("http://127.0.0.1:" + std::to_string(port));
  auto outcome = postAndWait("/partner/event/log", PropertyDictionary{{"events", {}}});
  EXPECT_FALSE(outcome.body);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->domain, "curl");

  // Empty base URL: a bare path names no host, and the transport says so later.
  SessionManager::setBaseUrl("");
  outcome = postAndWait("/partner/event/log", std::nullopt);
  EXPECT_FALSE(outcome.body);
  EXPECT_TRUE(outcome.error);
}

}  // namespace
}  // namespace tavrel_mmp
