#include "tavrel_mmp/deep_link_handler.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include "core/json_fields.h"
#include "core/logger.h"
#include "core/unix_time.h"
#include "core/utf8.h"
#include "deeplink/deferred_deep_link.h"
#include "deeplink/deferred_link_callback.h"
#include "device/device_info.h"
#include "net/http_client.h"
#include "platform/per_process.h"
#include "session/session_manager.h"
#include "settings/storage_helper.h"
#include "settings/tracking_consent.h"
#include "tavrel_mmp/platform/clock.h"
#include "tavrel_mmp/platform/device_facts.h"

namespace tavrel_mmp {
namespace {

constexpr const char* kVerifyPath = "/partner/unified-deeplink/verify";
constexpr const char* kVerifyPrefix = "/partner/unified-deeplink/verify: ";
constexpr std::int64_t kSecondsPerDay = 86400;

// The three in-memory values, under one lock that is never held while calling the host or
// the network. A forked child keeps them when no vanished thread holds that lock (the links are
// in the settings too; the callback would have to be set again).
struct State {
  std::mutex mutex;
  std::string lastDeepLink;
  std::string currentDeepLink;
  DeepLinkHandler::Callback callback;
};

State& state() {
  static platform::PerProcess<State> s(&State::mutex, [](auto& made, const auto& inherited) {
    made.lastDeepLink = inherited.lastDeepLink;
    made.currentDeepLink = inherited.currentDeepLink;
    made.callback = inherited.callback;
  });
  return s.get();
}

std::int64_t now() {
  return unixSeconds(platform::clock().now());
}

// now + days in seconds, saturating instead of overflowing.
std::int64_t expiryAfter(std::int64_t start, std::int64_t days) {
  if (days > INT64_MAX / kSecondsPerDay) return INT64_MAX;
  const std::int64_t seconds = days * kSecondsPerDay;
  return start > INT64_MAX - seconds ? INT64_MAX : start + seconds;
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

void handleVerifyAnswer(const std::optional<std::vector<std::uint8_t>>& body, std::uint64_t epoch) {
  DeferredDeepLink::endQuestion();
  if (!TrackingConsent::sameInstallation(epoch) || !TrackingConsent::isEnabled()) {
    // The answer belongs to a forgotten installation, or came after tracking was switched off:
    // it changes nothing (a question still open is asked again later).
    return Logger::log(std::string(kVerifyPrefix) + "answer ignored");
  }
  if (!body) {
    DeferredDeepLink::answerLost();
    return;
  }
  DeferredDeepLink::answered();
  const std::string text(body->begin(), body->end());
  Logger::debug(kVerifyPrefix + (isValidUtf8(text) ? text : std::string("No data")));
  std::string parseError;
  const auto json = parseJsonBytes(*body, &parseError);
  if (!json) {
    Logger::log(kVerifyPrefix + parseError);
    return DeferredLinkCallback::report(std::nullopt);
  }
  const auto data = json->is_object() ? json->find("data") : json->end();
  std::optional<std::string> deferred;
  if (!json->is_object() || data == json->end() || !data->is_object()) {
    Logger::log(std::string(kVerifyPrefix) + "Failed to convert JSON data to dictionary.");
  } else if (const auto link = data->find("deeplink"); link != data->end() && link->is_string()) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().lastDeepLink = state().currentDeepLink = link->get<std::string>();
    if (!state().currentDeepLink.empty()) deferred = state().currentDeepLink;
  }
  DeferredLinkCallback::report(deferred);
  std::string current;
  DeepLinkHandler::Callback callback;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    current = state().currentDeepLink;
    callback = state().callback;
  }
  if (!callback || current.empty()) return;
  // Two answers (two processes, or a question asked again) never hand a link over twice.
  if (!DeferredDeepLink::claimHandOver()) {
    Logger::log(std::string(kVerifyPrefix) +
                "a link was handed over for this installation already");
    return;
  }
  try {
    callback(current);
  } catch (...) {
    Logger::log("The deep-link callback threw; the link is reported all the same");
  }
  SessionManager::sendSessionDeeplink();
}

}  // namespace

void DeepLinkHandler::setDeepLink(const std::string& url) {
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().lastDeepLink = state().currentDeepLink = url;
  }
  if (!url.empty()) StorageHelper::shared().saveDeeplink(url);
}

void DeepLinkHandler::initDeeplink() {
  const std::int64_t current = now();
  auto& storage = StorageHelper::shared();
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().lastDeepLink.empty()) {
      const std::int64_t expiry = storage.getDeeplinkExpireTime();
      // expiry - now >= 1, compared without a subtraction that could overflow.
      if (expiry > current) {
        state().lastDeepLink = storage.getDeeplink();
        return;
      }
    }
  }
  storage.saveDeeplinkExpireTime(0);
  storage.saveDeeplink("");
}

void DeepLinkHandler::saveDeeplink(std::int64_t deeplinkCountDate) {
  auto& storage = StorageHelper::shared();
  const std::string stored = storage.getDeeplink();
  const std::int64_t current = now();
  if (deeplinkCountDate < 1) return;
  const std::string last = getLastDeepLink();
  if (storage.getDeeplinkExpireTime() != 0 && stored == last) return;
  storage.saveDeeplink(last);
  storage.saveDeeplinkExpireTime(expiryAfter(current, deeplinkCountDate));
  // A window lost with the process would start again at the next start and report the link
  // beyond its days.
  if (!storage.flush()) Logger::log("The retained deep link is not yet on disk");
}

void DeepLinkHandler::getUDL() {
  if (!DeferredDeepLink::beginQuestion()) {
    Logger::log(std::string(kVerifyPrefix) + "a question is in flight already");
    return;
  }
  const std::uint64_t epoch = TrackingConsent::epoch();
  PropertyDictionary body = PropertyDictionary::object();
  body["platform"] = deviceIdentifier();
  if (const auto address = ipAddress()) body["ip_address"] = *address;
  body["version"] = osVersion();
  body["os"] = osName();
  try {
    HttpClient::shared().post(
        kVerifyPath, body,
        [epoch](std::optional<std::vector<std::uint8_t>> answer, std::optional<HttpError>) {
          handleVerifyAnswer(answer, epoch);
        });
  } catch (...) {
    DeferredDeepLink::endQuestion();  // a question that never left must not block later ones
    throw;
  }
}

void DeepLinkHandler::forget() {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().lastDeepLink.clear();
  state().currentDeepLink.clear();
}

std::string DeepLinkHandler::getLastDeepLink() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().lastDeepLink;
}

std::string DeepLinkHandler::getCurrentDeepLink() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().currentDeepLink;
}

DeepLinkHandler::Callback DeepLinkHandler::handleDeeplink() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().callback;
}

void DeepLinkHandler::setHandleDeeplink(Callback callback) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().callback = std::move(callback);
}

std::string DeepLinkHandler::deviceIdentifier() {
  return lowered(toValidUtf8(platform::deviceFacts().model()));
}

std::string DeepLinkHandler::osVersion() {
  return lowered(toValidUtf8(platform::deviceFacts().systemVersion()));
}

std::string DeepLinkHandler::osName() {
  return lowered(toValidUtf8(platform::deviceFacts().systemName()));
}

std::optional<std::string> DeepLinkHandler::ipAddress() {
  if (auto wifi = DeviceInfo::getIPAddress(Network::wifi)) return wifi;
  return DeviceInfo::getIPAddress(Network::cellular);
}

}  // namespace tavrel_mmp
