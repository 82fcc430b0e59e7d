// The public facade end to end: what each operation makes reach the measurement service, and
// what the start-up options change.
#include "tavrel_mmp/nimbrel.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>

#include "core/common.h"
#include "core/logger.h"
#include "events/database_helper.h"
#include "settings/storage_helper.h"
#include "support/recording_ui.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel_deep_link_delegate.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/headless_ui_toolkit.h"
#include "tavrel_mmp/platform/ui_toolkit.h"

namespace tavrel_mmp {
namespace {

using nlohmann::json;

class FacadeEndToEnd : public testing::ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    ASSERT_TRUE(start());
  }
  // The data of each event with this name that reached the service.
  std::vector<Data> arrivedData(const std::string& key) {
    std::vector<Data> out;
    for (const auto& stored : arrived(key)) out.push_back(dataOf(stored.event));
    return out;
  }
};

TEST_F(FacadeEndToEnd, EventsArriveUnderTheirFixedNamesWithTheirFixedKeys) {
  Nimbrel::setCurrentScreen("Checkout");
  Nimbrel::setCurrentScreen("Checkout");  // not deduplicated on this path
  auto shoe = std::make_shared<ProductItem>("p1", "Shoe", "img", "12.50", 2);
  shoe->addCategory(std::make_shared<ProductCategory>("c1", "Feet"));
  Nimbrel::setProductList("home", {shoe});
  Nimbrel::setRevenue("o-1", 19.99, "USD",
                      PropertyDictionary{{"amount", "1"}, {"currency", "EUR"}, {"coupon", "C"}});
  Nimbrel::setRevenue("", -1, "", std::nullopt);
  Nimbrel::logEvent("urgent", PropertyDictionary{{"nbRealtime", true}});

  EXPECT_EQ(arrivedData("tvr_mmp_screen_view"),
            (std::vector<Data>(2, Data{{"screen_name", "Checkout"}})));
  const auto products = arrivedData("tvr_mmp_products");
  ASSERT_EQ(products.size(), 1u);
  ASSERT_TRUE(products[0].size() == 1 && products[0].at("products").is_string());
  EXPECT_EQ(json::parse(products[0].at("products").get<std::string>()),
            (json{{"products", {shoe->toDictionary()}}, {"p_group", "home"}}));
  auto revenue = arrivedData("tvr_mmp_revenue");
  std::sort(revenue.begin(), revenue.end());
  EXPECT_EQ(revenue,
            (std::vector<Data>{
                {{"orderId", ""}, {"amount", -1.0}, {"currency", ""}},
                {{"orderId", "o-1"}, {"amount", 19.99}, {"currency", "USD"}, {"coupon", "C"}}}));
  const auto urgent = arrived("urgent");
  ASSERT_EQ(urgent.size(), 1u);
  EXPECT_EQ(urgent[0].timesReceived, 1);
  EXPECT_EQ(urgent[0].event["realtime"], true);
  // In the upload shape, with the session.
  const auto checkout = arrived("tvr_mmp_screen_view").at(0).event;
  EXPECT_EQ(checkout["sessionId"], StorageHelper::shared().getAuthData()->data->sessionId);
  EXPECT_TRUE(checkout["time"].is_number_integer() && checkout["realtime"] == false);
}

// A fresh application with one window showing a root screen, at first its key window or not.
struct Application {
  explicit Application(bool keyWindow) {
    window->setRootViewController(root);
    if (keyWindow) toolkit->setKeyWindow(window);
    platform::installUIToolkit(toolkit);
  }
  std::shared_ptr<testing::CountingUIToolkit> toolkit =
      std::make_shared<testing::CountingUIToolkit>();
  std::shared_ptr<platform::HeadlessWindow> window = std::make_shared<platform::HeadlessWindow>();
  std::shared_ptr<platform::HeadlessViewController> root =
      std::make_shared<platform::HeadlessViewController>("Root");
};

using FacadeStart = testing::OfflineTest;

// An empty partner code starts nothing but crash capture, and takes the host's identity (it
// places the crash files); a value that is refused is said and the platform's stays. Flush then
// answers at once: no credentials, so no session to wait for.
TEST_F(FacadeStart, AnEmptyPartnerCodeTakesTheIdentityAndOnlyInstallsCrashCapture) {
  Application app(true);
  struct sigaction fault {};
  fault.sa_handler = SIG_DFL;
  ::sigaction(SIGSEGV, &fault, nullptr);
  using Text = std::optional<std::string>;
  // bundleId, appVersion, dataDirectory given; then the identifier and version in force, and
  // the development line ("" for none)
  const std::tuple<Text, Text, Text, std::string, std::string, std::string> cases[] = {
      {"../up", "", "relative/dir", "com.tavrel.test", "1.0.0",
       "The option bundleId would name a path"},
      {"", std::nullopt, std::nullopt, "com.tavrel.test", "1.0.0", "The option bundleId is empty"},
      {"a/b", "2\n", std::nullopt, "com.tavrel.test", "1.0.0", "appVersion holds a control"},
      {std::nullopt, std::nullopt, "", "com.tavrel.test", "1.0.0",
       "The option dataDirectory is empty"},
      {"com.example.app", "2.5.0", dir_.path() + "/data", "com.example.app", "2.5.0", ""},
  };
  for (const auto& [bundleId, appVersion, dataDirectory, id, version, line] : cases) {
    SCOPED_TRACE(line);
    auto options = std::make_shared<NimbrelOptions>();
    std::tie(options->bundleId, options->appVersion, options->dataDirectory) =
        std::tie(bundleId, appVersion, dataDirectory);
    const std::string log = testing::captureLog([&] { Nimbrel::intSDK("", "secret", options); });
    EXPECT_EQ(platform::bundleInfo().bundleIdentifier(), id);
    EXPECT_EQ(platform::bundleInfo().shortVersion(), version);
    EXPECT_EQ(log.find("The option") == std::string::npos, line.empty()) << log;
    if (!line.empty()) EXPECT_NE(log.find(line), std::string::npos) << log;
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() + "/data"));
  Logger::setDevMode(true);
  Nimbrel::intSDK("", "secret", std::make_shared<NimbrelOptions>());  // showLog false
  loop_->runPending();
  EXPECT_TRUE(Logger::devMode()) << "the options were applied";
  EXPECT_EQ(app.toolkit->observerCount(), 0u);
  EXPECT_FALSE(StorageHelper::shared().getValue("MMP_PartnerCode"));
  EXPECT_FALSE(StorageHelper::shared().getValue("MMP_AppSecret"));
  ::sigaction(SIGSEGV, nullptr, &fault);
  EXPECT_NE(fault.sa_handler, SIG_DFL) << "no crash capture";

  Nimbrel::logEvent("unsent", std::nullopt);
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(Nimbrel::flush(std::chrono::seconds(30)));
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  EXPECT_EQ(transport_->count(), 0u);
}

// Each newly opened URL reaches the latest callback, once, also when a second delivery comes
// while the first one runs.
TEST_F(FacadeStart, EachNewlyOpenedUrlReachesTheLatestCallbackOnce) {
  struct Delegate : NimbrelDeepLinkDelegate {
    std::string deeplink() const override {
      if (!interleaved) interleaved = true, const_cast<Delegate*>(this)->handleDeeplink("app://b");
      return NimbrelDeepLinkDelegate::deeplink();
    }
    mutable bool interleaved = false;
  } delegate;
  std::vector<std::string> first, second;
  Nimbrel::handleDeeplink([&](const std::string& link) { first.push_back(link); });
  for (const char* url : {"app://one", "app://one"})  // the same URL again is no news
    EXPECT_TRUE(NimbrelDeepLinkDelegate::shared().application(nullptr, URL(url), json::object()));
  Nimbrel::handleDeeplink([&](const std::string& link) { second.push_back(link); });
  EXPECT_TRUE(second.empty()) << "called when registered";
  delegate.handleDeeplink("app://a");
  if (!delegate.interleaved) delegate.handleDeeplink("app://b");
  std::sort(second.begin(), second.end());
  EXPECT_EQ(first, std::vector<std::string>{"app://one"});
  EXPECT_EQ(second, (std::vector<std::string>{"app://a", "app://b"}));
  Nimbrel::handleDeeplink(nullptr);  // the callbacks above do not outlive this test
}

}  // namespace
}  // namespace tavrel_mmp
