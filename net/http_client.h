#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tavrel_mmp/platform/http_transport.h"
#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

// The one JSON POST client of the library.
class HttpClient {
 public:
  static HttpClient& shared();

  // `with` is a path joined to the base URL, or a full URL when it starts with "http".
  void post(const std::string& with, const std::optional<PropertyDictionary>& params,
            HttpCompletion completion);

  // Exposed for tests.
  static std::string joinUrl(const std::string& baseUrl, const std::string& with);
  static bool isParseableUrl(const std::string& urlText);
  // The signed header set of the authentication call, for the given moment.
  static std::vector<std::pair<std::string, std::string>> signedHeaders(std::int64_t ts);

 private:
  HttpClient() = default;
};

}  // namespace tavrel_mmp
