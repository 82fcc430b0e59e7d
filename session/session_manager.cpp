#include "session/session_manager.h"

#include <atomic>
#include <mutex>

#include "core/common.h"
#include "core/logger.h"
#include "core/utf8.h"
#include "net/http_client.h"
#include "session/session_start.h"
#include "session/storage_helper.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp {
namespace {

// The base URL is read by every request on any thread; the lock only guards the copy.
struct BaseUrlHolder {
  std::mutex mutex;
  std::string value;
};

BaseUrlHolder& holder() {
  static auto* h = new BaseUrlHolder();
  return *h;
}

// An authentication answer is a few hundred bytes; one far larger is refused rather than kept
// and decoded again by every later request.
constexpr std::size_t kMaxAuthAnswerBytes = 64 * 1024;

// At most one authentication is in flight: calls made meanwhile join it instead of sending
// their own, so a burst of events before the first answer starts one session, not one each.
std::atomic<bool>& authInFlight() {
  static auto* flag = new std::atomic<bool>(false);
  return *flag;
}

void finishAuthentication() {
  authInFlight().store(false);
}

void authCompletion(std::optional<std::vector<std::uint8_t>> body, std::optional<HttpError>) {
  if (!body) return finishAuthentication();
  if (body->size() > kMaxAuthAnswerBytes) {
    Logger::log("Authentication answer of " + std::to_string(body->size()) +
                " bytes refused (more than " + std::to_string(kMaxAuthAnswerBytes) + ")");
    return finishAuthentication();
  }
  const std::string text(body->begin(), body->end());
  Logger::log(isValidUtf8(text) ? text : std::string("Khong lay duoc du lieu"));

  std::string error;
  const auto auth = AuthData::decode(*body, &error);
  if (!auth) {
    Logger::log(error);
    return finishAuthentication();
  }
  if (auth->responseCode != 200) {
    StorageHelper::shared().removeAuthData();
    return finishAuthentication();
  }
  Logger::log(auth->data ? auth->data->token : std::string());
  StorageHelper::shared().saveAuthData(*body);
  // Cleared only once the record is stored, so no event in between asks for another session.
  finishAuthentication();
  SessionStart::begin(*auth);
}

void sendAuthentication(const std::string& partnerCode) {
  try {
    PropertyDictionary body = {
        {"partnerCode", partnerCode},
        {"appId", platform::bundleInfo().bundleIdentifier().value_or("")},
        {"deviceId", StorageHelper::shared().getDeviceId()},
    };
    HttpClient::shared().post("/public/partner/auth", body, &authCompletion);
  } catch (...) {
    finishAuthentication();
    throw;
  }
}

}  // namespace

std::string SessionManager::baseUrl() {
  std::lock_guard<std::mutex> lock(holder().mutex);
  return holder().value;
}

void SessionManager::setBaseUrl(const std::string& value) {
  std::lock_guard<std::mutex> lock(holder().mutex);
  holder().value = value;
}

void SessionManager::auth(const std::string& partnerCode, const std::string& appSecret) {
  const std::string derived = Common::decrypt(appSecret, partnerCode);
  setBaseUrl(derived);
  Logger::log("baseUrl " + derived);
  authWithBaseUrl(partnerCode, appSecret, derived);
}

void SessionManager::authWithBaseUrl(const std::string& partnerCode, const std::string&,
                                     const std::string& baseUrl) {
  setBaseUrl(baseUrl);
  bool idle = false;
  if (!authInFlight().compare_exchange_strong(idle, true)) {
    Logger::log("Authentication already in flight; waiting for its answer");
    return;
  }
  // Built and sent on the main loop: the device identifier may have to wait for the settings
  // file to be read, which the host's thread must not.
  try {
    platform::mainLoop().post([partnerCode] { sendAuthentication(partnerCode); });
  } catch (...) {
    finishAuthentication();  // a request that never left must not block every later one
    throw;
  }
}

void SessionManager::retry() {
  if (authInFlight().load()) return;  // the answer on its way settles it
  auto& storage = StorageHelper::shared();
  const std::string partnerCode = storage.getPartnerCode();
  const std::string appSecret = storage.getAppSecret();
  std::string current = baseUrl();
  if (current.empty()) {
    current = storage.getBaseUrl();
    setBaseUrl(current);
  }
  if (partnerCode.empty() || appSecret.empty()) return;
  if (!current.empty() && current.compare(0, 4, "http") == 0) {
    authWithBaseUrl(partnerCode, appSecret, current);
  } else {
    auth(partnerCode, appSecret);
  }
}

}  // namespace tavrel_mmp
