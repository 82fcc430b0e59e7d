#include "settings/auth_data.h"

#include "core/json_fields.h"
#include "core/logger.h"

namespace tavrel_mmp {

std::optional<AuthData> AuthData::decode(const std::vector<std::uint8_t>& bytes,
                                         std::string* error) {
  const auto json = parseJsonBytes(bytes, error);
  if (!json) return std::nullopt;

  JsonFieldReader reader(*json, "AuthData");
  AuthData result;
  const auto code = reader.requiredInt64("responseCode");
  const auto text = reader.requiredString("responseText");
  const nlohmann::json* data = reader.optionalObject("data");
  if (reader.ok() && data != nullptr) {
    JsonFieldReader session(*data, "SessionData");
    SessionData decoded;
    const auto sessionId = session.requiredString("sessionId");
    const auto token = session.requiredString("token");
    const auto expire = session.requiredInt64("sessionExpireTimeInSeconds");
    decoded.deeplinkExpired = session.optionalInt64("deeplinkExpired");
    decoded.deferredDeeplinkExpired = session.optionalInt64("deferredDeeplinkExpired");
    if (!session.ok()) {
      if (error) *error = session.error();
      return std::nullopt;
    }
    decoded.sessionId = *sessionId;
    decoded.token = *token;
    Logger::addSecret(decoded.token);  // never whole in a log line
    decoded.sessionExpireTimeInSeconds = *expire;
    result.data = std::move(decoded);
  }
  if (!reader.ok()) {
    if (error) *error = reader.error();
    return std::nullopt;
  }
  result.responseCode = *code;
  result.responseText = *text;
  return result;
}

}  // namespace tavrel_mmp
