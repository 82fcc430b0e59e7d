// The JSON POST client: URL checks and the header set of each call.
#include <gtest/gtest.h>

#include "local_service/local_service.h"
#include "net/http_client.h"
#include "net/url_text.h"
#include "settings/storage_helper.h"
#include "support/test_support.h"

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

}  // namespace
}  // namespace tavrel_mmp
