#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrel_mmp {

struct SessionData {
  std::string sessionId;
  std::string token;
  std::int64_t sessionExpireTimeInSeconds = 0;
  std::optional<std::int64_t> deeplinkExpired;
  std::optional<std::int64_t> deferredDeeplinkExpired;
};

// The authentication answer: {"responseCode", "responseText", "data"?}.
struct AuthData {
  std::int64_t responseCode = 0;
  std::string responseText;
  std::optional<SessionData> data;

  // Strict decoding; none with the reason in `error` when the bytes are not an AuthData.
  static std::optional<AuthData> decode(const std::vector<std::uint8_t>& bytes,
                                        std::string* error = nullptr);
};

}  // namespace tavrel_mmp
