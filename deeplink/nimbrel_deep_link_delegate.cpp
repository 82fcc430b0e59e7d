#include "tavrel_mmp/nimbrel_deep_link_delegate.h"

#include "core/logger.h"
#include "platform/per_process.h"
#include "tavrel_mmp/deep_link_handler.h"

namespace tavrel_mmp {

NimbrelDeepLinkDelegate& NimbrelDeepLinkDelegate::shared() {
  // A forked child keeps the link delivered last when no vanished thread holds its lock.
  static platform::PerProcess<NimbrelDeepLinkDelegate> instance(
      &NimbrelDeepLinkDelegate::mutex_,
      [](auto& made, const auto& inherited) { made.deeplink_ = inherited.deeplink_; });
  return instance.get();
}

std::string NimbrelDeepLinkDelegate::deeplink() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return deeplink_;
}

void NimbrelDeepLinkDelegate::setDeeplink(const std::string& deeplink) {
  std::lock_guard<std::mutex> lock(mutex_);
  deeplink_ = deeplink;
}

bool NimbrelDeepLinkDelegate::accept(const std::string& url) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (url.empty() || url == deeplink_) return false;
  deeplink_ = url;
  return true;
}

bool NimbrelDeepLinkDelegate::application(const std::shared_ptr<platform::UIToolkit>&,
                                          const URL& url, const PropertyDictionary&) {
  handleDeeplink(url.absoluteString());
  return true;
}

void NimbrelDeepLinkDelegate::handleDeeplink(const std::string& url) {
  if (accept(url)) deliverDeepLink(url);
}

void NimbrelDeepLinkDelegate::checkDeepLink() {
  deliverDeepLink(deeplink());
}

void NimbrelDeepLinkDelegate::deliverDeepLink(const std::string& url) {
  if (url.empty()) return;
  DeepLinkHandler::setDeepLink(url);
  if (const auto callback = DeepLinkHandler::handleDeeplink()) {
    try {
      callback(url);
    } catch (...) {
      Logger::log("The deep-link callback threw; the link is kept all the same");
    }
  }
}

}  // namespace tavrel_mmp
