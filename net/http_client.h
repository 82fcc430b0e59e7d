#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/no_destructor.h"
#include "settings/auth_data.h"
#include "tavrel_mmp/platform/http_transport.h"
#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Who signs the authentication call: the values its body carries, read once for both.
struct SigningIdentity {
  std::string partnerCode;
  std::string appId;
  std::string deviceId;
};

// The one JSON POST client of the library. Every request is the library's own unless sent with
// `postForHost`: one that has not left when tracking goes off is withdrawn by the transport, and
// so is any request of an installation forgotten before it left.
class HttpClient {
 public:
  // No request waits longer for its whole exchange.
  static constexpr double kRequestTimeoutSeconds = 60.0;

  static HttpClient& shared();

  // `with` is a path joined to the base URL, or a full URL when it starts with "http". A URL
  // ending in "/partner/auth" is signed with the stored partner code and device identifier;
  // every other request carries the stored session's token, read now.
  void post(const std::string& with, const std::optional<PropertyDictionary>& params,
            HttpCompletion completion);
  // As `post`, for a request the host asked for (a link): it leaves whatever the tracking choice.
  void postForHost(const std::string& with, const std::optional<PropertyDictionary>& params,
                   HttpCompletion completion);
  // The same with the session the caller read once for the whole request, so that a body built
  // from that reading and the token never come from two different records.
  void post(const std::string& with, const std::optional<PropertyDictionary>& params,
            const std::optional<AuthData>& session, HttpCompletion completion);
  // The authentication call, signed with exactly the identity its body carries.
  void postSigned(const std::string& with, const PropertyDictionary& params,
                  const SigningIdentity& identity, HttpCompletion completion);

  static std::string joinUrl(const std::string& baseUrl, const std::string& with);
  static bool isParseableUrl(const std::string& urlText);
  // The signed header set of the authentication call, for the given moment and identity.
  static HeaderList signedHeaders(std::int64_t ts, const SigningIdentity& identity);
  // The token header set of a session, or none without one.
  static HeaderList sessionHeaders(const std::optional<AuthData>& session);

 private:
  friend class NoDestructor<HttpClient>;
  HttpClient() = default;
  enum class Sender { library, host };
  void send(const std::string& urlText, const std::optional<PropertyDictionary>& params,
            HeaderList headers, HttpCompletion completion, Sender sender = Sender::library);
};

}  // namespace tavrel_mmp
