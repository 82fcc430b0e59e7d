// The JSON POST client: URL checks and the header set of each call.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "local_service/local_service.h"
#include "net/http_client.h"
#include "net/url_text.h"
#include "settings/base_url.h"
#include "settings/storage_helper.h"
#include "support/scripted_server.h"
#include "support/test_support.h"
#include "tavrel_mmp/deep_link_builder.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/platform/curl_transport.h"

namespace tavrel_mmp {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

// Only a scheme and a host name a service; a bare path is what an empty base URL leaves.
TEST(HttpClientUrl, RecognisesUnparseableTextAndTextNamingNoService) {
  for (const char* service : {"https://h.example/a/b?c=d#e", "http://[::1]:80/x", "HTTP://u@h:1"})
    EXPECT_TRUE(HttpClient::isParseableUrl(service) && namesAHost(service)) << service;
  for (const char* none : {"/bare/path", "file:/x", "http:///x", "http://:80/x"})
    EXPECT_TRUE(HttpClient::isParseableUrl(none) && !namesAHost(none)) << none;
  for (const char* bad : {"", "http://h.example/a b", "http://h.example/%zz", "http://h:port/x",
                          "1http://x", "http://h.example/a#b#c", "http://h.example/\xC3\xA9"})
    EXPECT_FALSE(HttpClient::isParseableUrl(bad)) << bad;
}

using HttpClientTest = testing::OfflineTest;

TEST_F(HttpClientTest, EachCallCarriesItsHeaderSet) {
  clock_->set(1'700'000'000.75);
  StorageHelper::shared().savePartnerCode("PC");
  const std::string v = tools::expectedSignature(
      "PC", "com.tavrel.test", *StorageHelper::shared().getDeviceId(), "1700000000");
  const Headers signedSet = {
      {"t", "1700000000"}, {"v", v}, {"Content-Type", "application/json"}, {"Platform", "iOS"}};
  const Headers tokenSet = {
      {"Authorization", "tok"}, {"Content-Type", "application/json"}, {"Platform", "iOS"}};
  testing::storeGrantedSession();
  const std::pair<std::string, Headers> rows[] = {{"/public/partner/auth", signedSet},
                                                  {"http://full.test/partner/auth", signedSet},
                                                  {"/partner/event/log", tokenSet}};
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    HttpClient::shared().post(rows[i].first, nlohmann::json::object(), nullptr);
    EXPECT_EQ(transport_->at(i).request.headers, rows[i].second) << rows[i].first;
    EXPECT_EQ(transport_->at(i).request.timeoutSeconds, 60.0);
  }
  StorageHelper::shared().removeAuthData();  // no session: no headers at all
  HttpClient::shared().post("/partner/event/log", nlohmann::json::object(), nullptr);
  EXPECT_TRUE(transport_->at(3).request.headers.empty());
}

// Requests waiting inside the transport (every connection it may open busy behind a slow peer)
// when tracking goes off: the library's own never leave, a link the host asked for still does.
TEST(HttpClientConsent, QueuedTrackingRequestsAreWithdrawnWhenTrackingGoesOff) {
  using Server = testing::ScriptedServer;
  testing::TempDir dir;
  testing::installIsolatedPlatform(dir.path());
  Server server({{Server::readRequest(), Server::hold(), Server::write(Server::answer("{}")),
                  Server::readRequest(), Server::write(Server::answer("{}"))}},
                true);
  const auto transport = platform::makeCurlTransport();
  platform::installHttpTransport(transport);
  BaseUrl::set(server.url(""));
  std::atomic<int> completed{0};
  const auto count = [&](auto&&...) { ++completed; };
  constexpr int kConnectionsPerHost = 6;  // the Linux transport's limit
  for (int i = 0; i < kConnectionsPerHost; ++i)
    transport->send({.url = server.url("/busy")}, count);
  ASSERT_TRUE(testing::waitUntil([&] { return server.requests().size() == kConnectionsPerHost; }));
  HttpClient::shared().post("/partner/event/log", nlohmann::json::object(), count);
  DeepLinkBuilder().create(nlohmann::json::object(), count);
  Nimbrel::setTrackingEnabled(false);
  server.release();
  ASSERT_TRUE(testing::waitUntil([&] { return completed == kConnectionsPerHost + 2; }));
  std::multiset<std::string> paths;
  for (const auto& request : server.requests())
    paths.insert(request.substr(5, request.find(' ', 5) - 5));
  std::multiset<std::string> expected = {"/partner/deeplink/create"};
  for (int i = 0; i < kConnectionsPerHost; ++i) expected.insert("/busy");
  EXPECT_EQ(paths, expected);
}

}  // namespace
}  // namespace tavrel_mmp
