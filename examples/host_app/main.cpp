// A small host application: starts the library, reports a session's worth of activity and
// receives a deep link. Without a reachable measurement service the library keeps the events
// for later and the host carries on; nothing here waits for the network.
//
//   tavrel_mmp_host_app [PARTNER_CODE [APP_SECRET]]
#include <atomic>
#include <iostream>
#include <memory>
#include <string>

#include <tavrel_mmp/tavrel_mmp.h>

namespace {

constexpr const char* kDefaultPartnerCode = "HOST_APP_PARTNER";
// Not a real app secret: no service address can be derived from it.
constexpr const char* kDefaultAppSecret = "host-app-placeholder-secret";
constexpr const char* kDeepLink = "hostapp://promo/spring?code=SPRING24";

}  // namespace

int main(int argc, char** argv) {
  using tavrel_mmp::Nimbrel;
  using tavrel_mmp::PropertyDictionary;

  const std::string partnerCode = argc > 1 ? argv[1] : kDefaultPartnerCode;
  const std::string appSecret = argc > 2 ? argv[2] : kDefaultAppSecret;

  // A host that must run with the release its headers came from checks the library it loaded.
  if (Nimbrel::version() != TAVREL_MMP_VERSION_STRING) {
    std::cerr << "host_app: built with tavrel_mmp " << TAVREL_MMP_VERSION_STRING
              << ", running with " << Nimbrel::version() << "\n";
    return 1;
  }
  std::cout << "host_app: tavrel_mmp " << Nimbrel::version() << "\n";

  Nimbrel::setDevMode(true);
  Nimbrel::intSDK(partnerCode, appSecret);

  Nimbrel::logEvent("app_opened", PropertyDictionary{{"source", "host_app"}});
  Nimbrel::setCurrentScreen("Home");

  Nimbrel::setRevenue("order-1001", 19.99, "EUR", PropertyDictionary{{"coupon", "SPRING"}});

  auto shoe = std::make_shared<tavrel_mmp::ProductItem>("sku-1", "Running shoe",
                                                        "https://example.com/shoe.png", "59.90", 2);
  shoe->addCategory(std::make_shared<tavrel_mmp::ProductCategory>("c-7", "Footwear"));
  auto socks = std::make_shared<tavrel_mmp::ProductItem>("sku-2", "Socks", "");
  Nimbrel::setProductList("cart", {shoe, socks});

  Nimbrel::setUserInfo(tavrel_mmp::UserInfo::create("user-42", "Ada", "female", "ada@example.com",
                                                    "+3100000000", 36, "NL", "Utrecht", ""));

  // A tracking link's fields; `create` would ask the service for the link itself.
  tavrel_mmp::DeepLinkBuilder link;
  link.iOSParameters =
      std::make_shared<tavrel_mmp::DeepLinkIOSParameters>("com.example.hostapp", "123456789");
  link.nimbrelParameters = std::make_shared<tavrel_mmp::DeepLinkNimbrelParameters>(
      "newsletter", "SPRING24", "email", "spring", "https://example.com/spring");
  std::cout << "host_app: link fields " << link.buildParams().dump() << "\n";

  // The library calls back with every new link the host forwards to it (and, once a service has
  // answered, with a deferred one, possibly on another thread and after main returns: the
  // callback owns what it touches).
  auto delivered = std::make_shared<std::atomic<bool>>(false);
  Nimbrel::handleDeeplink([delivered](const std::string& deeplink) {
    std::cout << "host_app: deep link received: " << deeplink << "\n";
    if (deeplink == kDeepLink) delivered->store(true);
  });
  tavrel_mmp::NimbrelDeepLinkDelegate::shared().handleDeeplink(kDeepLink);

  if (!delivered->load()) {
    std::cerr << "host_app: the deep link did not reach the callback\n";
    return 1;
  }
  return 0;
}
