#include "session/session_manager.h"

#include <cstdint>
#include <mutex>

#include "core/common.h"
#include "core/logger.h"
#include "core/utf8.h"
#include "net/http_client.h"
#include "net/service_answer.h"
#include "net/url_text.h"
#include "platform/per_process.h"
#include "session/session_callback.h"
#include "session/session_start.h"
#include "settings/authentication_progress.h"
#include "settings/base_url.h"
#include "settings/storage_helper.h"
#include "settings/tracking_consent.h"
#include "tavrel_mmp/deep_link_handler.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp {
namespace {

// An authentication answer is a few hundred bytes; one far larger is refused rather than kept
// and decoded again by every later request.
constexpr std::size_t kMaxAuthAnswerBytes = 64 * 1024;
constexpr const char* kAuthPath = "/public/partner/auth";

// The credentials one authentication is built from, taken together when it is asked for.
struct Credentials {
  std::string partnerCode;
  std::string appSecret;
  std::string baseUrl;
  bool operator==(const Credentials&) const = default;
};

// At most one authentication per set of credentials is in flight: calls made meanwhile with the
// same credentials join it, so a burst of events before the first answer starts one session, not
// one each. A call with other credentials supersedes it: it authenticates with its own, and only
// the answer to the latest request is taken. A forked child has none in flight: the parent's
// answer never reaches it.
struct AuthState {
  std::mutex mutex;
  std::uint64_t latest = 0;  // generation of the latest request
  std::optional<Credentials> inFlight;
};

AuthState& authState() {
  static platform::PerProcess<AuthState> state;
  return state.get();
}

// Ends request `generation` unless a later one took its place, first changing the stored record
// as its answer says (under the same lock, so that an event arriving in between neither finds
// the old record nor a request still in flight); true when it was the latest. What waited for
// the authentication (a link request) then goes on, with `outcome`, outside the lock.
template <class ChangeRecord>
bool finishAuthentication(std::uint64_t generation, const AuthenticationOutcome& outcome,
                          ChangeRecord changeRecord) {
  {
    std::lock_guard<std::mutex> lock(authState().mutex);
    if (generation != authState().latest) return false;
    changeRecord();
    authState().inFlight.reset();
  }
  AuthenticationProgress::end(generation, outcome);
  return true;
}

bool finishAuthentication(std::uint64_t generation) {
  return finishAuthentication(generation, {}, [] {});
}

bool isLatest(std::uint64_t generation) {
  std::lock_guard<std::mutex> lock(authState().mutex);
  return generation == authState().latest;
}

void handleAnswer(std::uint64_t generation, const std::optional<std::vector<std::uint8_t>>& body) {
  if (!isLatest(generation)) {
    Logger::log("An authentication answer for earlier credentials is ignored");
    return;
  }
  if (!TrackingConsent::isEnabled()) {
    // Switched off while the request was on its way: no session is kept or started.
    Logger::log("Tracking is off: the authentication answer is ignored");
    return (void)finishAuthentication(generation);
  }
  if (!body) return (void)finishAuthentication(generation);
  if (body->size() > kMaxAuthAnswerBytes) {
    Logger::log("Authentication answer of " + std::to_string(body->size()) +
                " bytes refused (more than " + std::to_string(kMaxAuthAnswerBytes) + ")");
    return (void)finishAuthentication(generation);
  }
  // Decoded before it is logged: the token it carries is known to the logger by then.
  const auto answer = readServiceAnswer<AuthData>(body, std::nullopt, &acceptsOnly200);
  const std::string text(body->begin(), body->end());
  Logger::debug(isValidUtf8(text) ? text : std::string("Khong lay duoc du lieu"));
  switch (answer.outcome) {
    case AnswerOutcome::noAnswer:
    case AnswerOutcome::undecodable:
      Logger::log(answer.problem);
      finishAuthentication(generation);
      return;
    case AnswerOutcome::refused:
      if (finishAuthentication(generation,
                               {answer.envelope->responseCode, answer.envelope->responseText},
                               [] { StorageHelper::shared().removeAuthData(); })) {
        SessionCallback::report(
            {false, {}, answer.envelope->responseCode, answer.envelope->responseText});
      }
      return;
    case AnswerOutcome::accepted:
      break;
  }
  const AuthData& auth = *answer.envelope;
  Logger::debug(auth.data ? auth.data->token : std::string());
  if (finishAuthentication(generation, {}, [&] { StorageHelper::shared().saveAuthData(*body); })) {
    SessionCallback::report({true, auth.data ? auth.data->sessionId : std::string(),
                             auth.responseCode, auth.responseText});
    SessionStart::begin(auth);
  }
}

// The credentials whose app secret does not decrypt under their partner code: deriving again
// gives the same, so it is said once and not tried again.
struct Mismatch {
  std::mutex mutex;
  std::optional<std::pair<std::string, std::string>> credentials;
};

Mismatch& mismatch() {
  static platform::PerProcess<Mismatch> state(
      &Mismatch::mutex,
      [](auto& made, const auto& inherited) { made.credentials = inherited.credentials; });
  return state.get();
}

bool knownMismatch(const std::string& partnerCode, const std::string& appSecret) {
  std::lock_guard<std::mutex> lock(mismatch().mutex);
  return mismatch().credentials == std::pair(partnerCode, appSecret);
}

void rememberMismatch(const std::string& partnerCode, const std::string& appSecret) {
  std::lock_guard<std::mutex> lock(mismatch().mutex);
  mismatch().credentials = std::pair(partnerCode, appSecret);
}

// The two session-start reports: their answers are only logged.
void logBody(const std::optional<std::vector<std::uint8_t>>& body, const char* notText) {
  if (!body) return;
  const std::string text(body->begin(), body->end());
  Logger::debug(isValidUtf8(text) ? text : std::string(notText));
}

// Runs on the main loop: reading the device identifier may wait for the settings file.
void sendAuthentication(const Credentials& credentials, std::uint64_t generation) {
  if (!isLatest(generation)) return;
  if (!TrackingConsent::isEnabled()) return (void)finishAuthentication(generation);
  const std::optional<std::string> deviceId = StorageHelper::shared().getDeviceId();
  if (!deviceId) {
    // Never a made-up identifier: the next event asks again once the settings can be read.
    Logger::log("The settings cannot be read yet; authentication waits for the next event");
    return (void)finishAuthentication(generation);
  }
  const SigningIdentity identity{credentials.partnerCode,
                                 platform::bundleInfo().bundleIdentifier().value_or(""), *deviceId};
  const PropertyDictionary body = {
      {"partnerCode", identity.partnerCode},
      {"appId", identity.appId},
      {"deviceId", identity.deviceId},
  };
  HttpClient::shared().postSigned(
      HttpClient::joinUrl(credentials.baseUrl, kAuthPath), body, identity,
      [generation](auto answer, auto) { handleAnswer(generation, answer); });
}

}  // namespace

void SessionManager::auth(const std::string& partnerCode, const std::string& appSecret) {
  if (knownMismatch(partnerCode, appSecret)) return BaseUrl::set("");
  const std::string derived = Common::decrypt(appSecret, partnerCode);
  BaseUrl::set(derived);
  Logger::log("baseUrl " + derived);
  if (!namesAHost(derived)) {
    // Said once: every later event asks again with the same credentials.
    rememberMismatch(partnerCode, appSecret);
    return Logger::error(
        derived.empty() ? "The app secret does not match the partner code: nothing will be sent"
                        : "The app secret holds no service address (\"" + derived +
                              "\"): nothing will be sent");
  }
  authWithBaseUrl(partnerCode, appSecret, derived);
}

void SessionManager::authWithBaseUrl(const std::string& partnerCode, const std::string& appSecret,
                                     const std::string& baseUrl) {
  BaseUrl::set(baseUrl);
  if (!TrackingConsent::isEnabled()) return Logger::log("Tracking is off: no authentication");
  Credentials credentials{partnerCode, appSecret, baseUrl};
  std::uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(authState().mutex);
    if (authState().inFlight == credentials) {
      Logger::log("Authentication already in flight; waiting for its answer");
      return;
    }
    generation = ++authState().latest;
    authState().inFlight = credentials;
    AuthenticationProgress::begin(generation);
  }
  try {
    platform::mainLoop().post([credentials = std::move(credentials), generation] {
      try {
        sendAuthentication(credentials, generation);
      } catch (...) {
        finishAuthentication(generation);  // a request that never left must not block later ones
        throw;
      }
    });
  } catch (...) {
    finishAuthentication(generation);
    throw;
  }
}

void SessionManager::forgetSession() {
  std::uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(authState().mutex);
    generation = ++authState().latest;  // an answer on its way belongs to the forgotten one
    authState().inFlight.reset();
    StorageHelper::shared().removeAuthData();
  }
  AuthenticationProgress::end(generation, {});
}

void SessionManager::retry() {
  if (!TrackingConsent::isEnabled()) return;
  {
    std::lock_guard<std::mutex> lock(authState().mutex);
    if (authState().inFlight) return;  // the answer on its way settles it
  }
  auto& storage = StorageHelper::shared();
  const std::string partnerCode = storage.getPartnerCode();
  const std::string appSecret = storage.getAppSecret();
  std::string current = BaseUrl::get();
  if (current.empty()) {
    current = storage.getBaseUrl();
    BaseUrl::set(current);
  }
  if (partnerCode.empty() || appSecret.empty()) return;
  if (!current.empty() && current.compare(0, 4, "http") == 0) {
    authWithBaseUrl(partnerCode, appSecret, current);
  } else {
    auth(partnerCode, appSecret);
  }
}

void SessionManager::updateInfo(const std::optional<PropertyDictionary>& data) {
  // A device update belongs to a session: the service refuses one without it, and the next
  // session start reports the device anyway, with the user id kept meanwhile.
  const std::optional<AuthData> session = StorageHelper::shared().getAuthData();
  if (!session || !session->data) {
    return Logger::log("No session yet: the device is reported at the session start");
  }
  HttpClient::shared().post(
      "/partner/device-info/update", data, session,
      [](std::optional<std::vector<std::uint8_t>> body, std::optional<HttpError>) {
        logBody(body, "Khong lay duoc du lieu");
      });
}

void SessionManager::sendSessionDeeplink() {
  DeepLinkHandler::initDeeplink();
  const std::string deeplink = DeepLinkHandler::getLastDeepLink();
  if (deeplink.empty()) return;
  HttpClient::shared().post("/partner/session-deeplink", PropertyDictionary{{"deeplink", deeplink}},
                            [](std::optional<std::vector<std::uint8_t>> body,
                               std::optional<HttpError>) { logBody(body, "No data"); });
}

}  // namespace tavrel_mmp
