#include "net/http_client.h"

#include "core/common.h"
#include "core/logger.h"
#include "core/no_destructor.h"
#include "core/unix_time.h"
#include "net/url_text.h"
#include "settings/base_url.h"
#include "settings/storage_helper.h"
#include "settings/tracking_consent.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/clock.h"

namespace tavrel_mmp {
namespace {

constexpr const char* kSigningSalt = "KPVXRTE@BHMWQZLYN";
constexpr const char* kAuthPathSuffix = "/partner/auth";

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string renderHeaders(const HeaderList& headers) {
  if (headers.empty()) return "(no headers)";
  nlohmann::json map = nlohmann::json::object();
  for (const auto& [name, value] : headers) map[name] = value;
  return map.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

HttpClient& HttpClient::shared() {
  static NoDestructor<HttpClient> instance;
  return instance.get();
}

std::string HttpClient::joinUrl(const std::string& baseUrl, const std::string& with) {
  // Case-sensitive on purpose: "HTTP..." is treated as a path.
  if (with.compare(0, 4, "http") == 0) return with;
  return baseUrl + with;
}

bool HttpClient::isParseableUrl(const std::string& urlText) {
  return isWellFormedUrlReference(urlText);
}

HeaderList HttpClient::signedHeaders(std::int64_t ts, const SigningIdentity& identity) {
  const std::string signatureText =
      identity.partnerCode + identity.appId + identity.deviceId + std::to_string(ts) + kSigningSalt;
  const std::string h = Common::sha256(signatureText);
  const std::string v = h.substr(h.size() - 10) + h.substr(0, 10);
  return {{"t", std::to_string(ts)},
          {"v", v},
          {"Content-Type", "application/json"},
          {"Platform", "iOS"}};
}

HeaderList HttpClient::sessionHeaders(const std::optional<AuthData>& session) {
  if (!session || !session->data) return {};
  return {{"Authorization", session->data->token},
          {"Content-Type", "application/json"},
          {"Platform", "iOS"}};
}

void HttpClient::post(const std::string& with, const std::optional<PropertyDictionary>& params,
                      HttpCompletion completion) {
  const std::string urlText = joinUrl(BaseUrl::get(), with);
  if (!endsWith(urlText, kAuthPathSuffix)) {
    return send(urlText, params, sessionHeaders(StorageHelper::shared().getAuthData()),
                std::move(completion));
  }
  const SigningIdentity identity{
      StorageHelper::shared().getPartnerCode(),
      platform::bundleInfo().bundleIdentifier().value_or(""),
      StorageHelper::shared().getDeviceId().value_or(""),
  };
  send(urlText, params, signedHeaders(unixSeconds(platform::clock().now()), identity),
       std::move(completion));
}

void HttpClient::postForHost(const std::string& with,
                             const std::optional<PropertyDictionary>& params,
                             HttpCompletion completion) {
  send(joinUrl(BaseUrl::get(), with), params, sessionHeaders(StorageHelper::shared().getAuthData()),
       std::move(completion), Sender::host);
}

void HttpClient::post(const std::string& with, const std::optional<PropertyDictionary>& params,
                      const std::optional<AuthData>& session, HttpCompletion completion) {
  send(joinUrl(BaseUrl::get(), with), params, sessionHeaders(session), std::move(completion));
}

void HttpClient::postSigned(const std::string& with, const PropertyDictionary& params,
                            const SigningIdentity& identity, HttpCompletion completion) {
  send(joinUrl(BaseUrl::get(), with), params,
       signedHeaders(unixSeconds(platform::clock().now()), identity), std::move(completion));
}

void HttpClient::send(const std::string& urlText, const std::optional<PropertyDictionary>& params,
                      HeaderList headers, HttpCompletion completion, Sender sender) {
  if (!isParseableUrl(urlText)) {
    if (completion) completion(std::nullopt, HttpError{"Invalid URL", 0, "Invalid URL"});
    return;
  }
  // A bare path is what an empty base URL leaves (no app secret yet, or one that does not match
  // the partner code): it names no service, so nothing is handed to the transport.
  if (!namesAHost(urlText)) {
    if (completion) {
      completion(std::nullopt, HttpError{"Invalid URL", 0, "No service address: " + urlText});
    }
    return;
  }

  platform::HttpRequest request;
  request.url = urlText;
  request.method = "POST";
  request.timeoutSeconds = kRequestTimeoutSeconds;
  Logger::debug("---- POST URL ----");
  Logger::debug(urlText);

  if (params) {
    Logger::debug("---- PARAMS ----");
    Logger::log(*params);
    // Text that is not valid UTF-8 is replaced rather than failing the body: a request that
    // can never be encoded would otherwise be retried forever.
    request.body = params->dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  request.headers = std::move(headers);
  // Asked when its turn comes: a request of an installation forgotten before it could leave
  // stays where it is, and so does one of the library's own once tracking is off.
  request.stillWanted = [epoch = TrackingConsent::epoch(), sender] {
    return TrackingConsent::sameInstallation(epoch) &&
           (sender == Sender::host || TrackingConsent::isEnabled());
  };
  Logger::debug("---- HEADER ----");
  Logger::debug(renderHeaders(request.headers));

  platform::httpTransport().send(std::move(request), std::move(completion));
}

}  // namespace tavrel_mmp
