#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "local_service/local_service.h"
#include "support/sha256_hex.h"
#include "support/test_support.h"

namespace tavrel_mmp::tools {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kAuth = "/public/partner/auth";
constexpr const char* kEvents = "/partner/event/log";
constexpr const char* kHeartbeat = "/partner/online-user/log";

// Signature written out by hand: tail of the digest first, then its head.
std::string signatureFor(const std::string& t, const std::string& deviceId = "device-1") {
  const std::string h = testing::sha256Hex("PC-1app-1" + deviceId + t + "KPVXRTE@BHMWQZLYN");
  return h.substr(54, 10) + h.substr(0, 10);
}

const json kIdentity = {{"partnerCode", "PC-1"}, {"appId", "app-1"}, {"deviceId", "device-1"}};

class LocalServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start());
    client = std::make_unique<httplib::Client>(service.baseUrl());
  }

  json post(const std::string& path, const std::string& body, httplib::Headers headers = {},
            int expectedStatus = 200) {
    const auto result = client->Post(path.c_str(), headers, body, "application/json");
    if (!result) throw std::runtime_error("transport error: " + httplib::to_string(result.error()));
    EXPECT_EQ(result->status, expectedStatus) << path;
    return json::parse(result->body);
  }

  json authenticate(const std::string& t, const std::string& v, const json& body = kIdentity) {
    return post(kAuth, body.dump(), {{"t", t}, {"v", v}, {"Platform", "iOS"}});
  }

  std::string grantToken() {
    return authenticate("1700000000", signatureFor("1700000000"))["data"]["token"];
  }

  LocalService service;
  std::unique_ptr<httplib::Client> client;
};

TEST_F(LocalServiceTest, GrantsSessionsForCorrectSignatures) {
  EXPECT_EQ(expectedSignature("PC-1", "app-1", "device-9", "42"), signatureFor("42", "device-9"));
  const json first = authenticate("1700000000", signatureFor("1700000000"));
  const json second = authenticate("1700000001", signatureFor("1700000001"));
  EXPECT_EQ(first["responseCode"], 200);
  EXPECT_EQ(first["data"]["sessionExpireTimeInSeconds"], 86400);
  EXPECT_EQ(first["data"]["deeplinkExpired"], 7);
  EXPECT_NE(first["data"]["token"], second["data"]["token"]);
  EXPECT_NE(first["data"]["sessionId"], second["data"]["sessionId"]);
  EXPECT_EQ(service.grantedTokens(),
            (std::vector<std::string>{first["data"]["token"], second["data"]["token"]}));

  service.setSessionExpireTimeInSeconds(60);
  service.setDeeplinkExpired(std::nullopt);
  const json third = authenticate("5", signatureFor("5"));
  EXPECT_EQ(third["data"]["sessionExpireTimeInSeconds"], 60);
  EXPECT_FALSE(third["data"].contains("deeplinkExpired"));
  EXPECT_EQ(service.grantedSessionCount(), 3u);
}

TEST_F(LocalServiceTest, RejectsBadSignaturesAndHonoursRefusal) {
  const std::string t = "1700000000";
  const std::string good = signatureFor(t);
  const std::string swapped = good.substr(10) + good.substr(0, 10);
  json numericDevice = kIdentity;
  numericDevice["deviceId"] = 7;
  EXPECT_EQ(authenticate(t, signatureFor("1700000001"))["responseCode"], 401);
  EXPECT_EQ(authenticate(t, swapped)["responseCode"], 401);
  EXPECT_EQ(authenticate(t, good, numericDevice)["responseCode"], 401);
  EXPECT_EQ(post(kAuth, "not json", {{"t", t}, {"v", good}})["responseCode"], 401);
  EXPECT_EQ(post(kAuth, kIdentity.dump(), {{"v", good}})["responseCode"], 401);
  EXPECT_EQ(post(kAuth, kIdentity.dump(), {{"t", t}})["responseCode"], 401);

  service.setAuthRefusal(403);
  EXPECT_EQ(authenticate(t, good)["responseCode"], 403);
  EXPECT_EQ(service.grantedSessionCount(), 0u);
  service.setAuthRefusal(std::nullopt);
  EXPECT_EQ(authenticate(t, good)["responseCode"], 200);
}

TEST_F(LocalServiceTest, EventLogRequiresGrantedTokenAndWellFormedBatch) {
  const std::string token = grantToken();
  const std::string batch = R"({"events":[{"id":"e1","key":"k"}]})";
  for (const std::string& wrong : {std::string("nope"), "Bearer " + token}) {
    EXPECT_EQ(post(kEvents, batch, {{"Authorization", wrong}})["responseCode"], 401);
    EXPECT_EQ(post(kHeartbeat, "{}", {{"Authorization", wrong}})["responseCode"], 401);
  }
  EXPECT_EQ(post(kEvents, batch)["responseCode"], 401);
  for (const char* malformed : {R"({"events":{}})", R"({"other":[]})", "[]",
                                R"({"events":[{"id":"ok"},{"id":3}]})", R"({"events":[1]})"}) {
    EXPECT_EQ(post(kEvents, malformed, {{"Authorization", token}})["responseCode"], 400)
        << malformed;
  }
  EXPECT_EQ(service.acceptedEventCount(), 0u);
}

TEST_F(LocalServiceTest, StoresEventsByIdAndCountsDuplicates) {
  const std::string token = grantToken();
  const httplib::Headers auth = {{"Authorization", token}};
  EXPECT_EQ(post(kEvents, R"({"events":[{"id":"a","key":"first"},{"id":"b"}]})", auth),
            (json{{"responseCode", 200}, {"responseText", "OK"}}));
  post(kEvents, R"({"events":[{"id":"a","key":"second"},{"id":"c"},{"id":"c"}]})", auth);

  EXPECT_TRUE(service.waitForEvents(3, 1s));
  EXPECT_FALSE(service.waitForEvents(4, 20ms));
  EXPECT_EQ(service.duplicateEventCount(), 2u);
  const auto events = service.events();
  EXPECT_EQ(events.at("a").timesReceived, 2);
  EXPECT_EQ(events.at("a").event["key"], "first");
  EXPECT_EQ(events.at("a").sessionToken, token);
  EXPECT_EQ(events.at("b").timesReceived, 1);
}

TEST_F(LocalServiceTest, HeartbeatAnswersConfiguredData) {
  const httplib::Headers auth = {{"Authorization", grantToken()}};
  EXPECT_EQ(post(kHeartbeat, "{}", auth)["data"], (json{{"second", 30}}));
  for (const json& data : {json{{"second", 60}}, json::object(), json(nullptr)}) {
    service.setHeartbeatData(data);
    const json answer = post(kHeartbeat, "{}", auth);
    ASSERT_TRUE(answer.contains("data"));
    EXPECT_EQ(answer["data"], data);
  }
  service.setHeartbeatData(std::nullopt);
  EXPECT_FALSE(post(kHeartbeat, "{}", auth).contains("data"));
}

TEST_F(LocalServiceTest, ResponseCodeAndNotJsonFaults) {
  service.setFault(kAuth, {Fault::Kind::responseCode, 503, 500, 0.0, 1});
  EXPECT_EQ(post(kAuth, "{}", {}, 500),
            (json{{"responseCode", 503}, {"responseText", "Injected failure"}}));
  EXPECT_EQ(post(kAuth, "{}")["responseCode"], 401);  // applied once only

  service.setFault(kAuth, {.kind = Fault::Kind::notJson});
  for (int i = 0; i < 3; ++i) {
    const auto result = client->Post(kAuth, "{}", "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_TRUE(json::parse(result->body, nullptr, false).is_discarded());
  }
  service.clearAllFaults();
  EXPECT_EQ(post(kAuth, "{}")["responseCode"], 401);
}

TEST_F(LocalServiceTest, CloseConnectionFaultLeavesClientWithoutAnswer) {
  service.setFault(kHeartbeat, {.kind = Fault::Kind::closeConnection, .times = 2});
  for (int i = 0; i < 2; ++i) {
    const auto result = client->Post(kHeartbeat, "{}", "application/json");
    EXPECT_FALSE(result) << result->body;
  }
  EXPECT_EQ(post(kHeartbeat, "{}")["responseCode"], 401);
  EXPECT_EQ(service.requests(kHeartbeat).size(), 3u);
}

TEST_F(LocalServiceTest, DelayFaultAnswersLateAndStopInterruptsIt) {
  service.setFault(kAuth, {.kind = Fault::Kind::delay, .delaySeconds = 0.3, .times = 1});
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(post(kAuth, "{}")["responseCode"], 401);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 300ms);

  service.setFault(kAuth, {.kind = Fault::Kind::delay, .delaySeconds = 60});
  std::thread caller([&] { client->Post(kAuth, "{}", "application/json"); });
  ASSERT_TRUE(service.waitForRequests(kAuth, 2, 2s));
  begin = std::chrono::steady_clock::now();
  service.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  caller.join();
}

}  // namespace
}  // namespace tavrel_mmp::tools
