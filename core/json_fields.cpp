#include "core/json_fields.h"

#include <cmath>
#include <limits>

namespace tavrel_mmp {

std::optional<nlohmann::json> parseJsonBytes(const std::vector<std::uint8_t>& bytes,
                                             std::string* error) {
  try {
    return nlohmann::json::parse(bytes.begin(), bytes.end());
  } catch (const nlohmann::json::exception& e) {
    if (error) *error = e.what();
    return std::nullopt;
  }
}

JsonFieldReader::JsonFieldReader(const nlohmann::json& object, std::string context)
    : object_(object), context_(std::move(context)) {
  if (!object_.is_object()) fail("expected a JSON object");
}

void JsonFieldReader::fail(std::string message) {
  if (error_.empty()) error_ = context_ + ": " + message;
}

const nlohmann::json* JsonFieldReader::member(const char* key, bool required) {
  if (!ok()) return nullptr;
  auto it = object_.find(key);
  if (it == object_.end() || it->is_null()) {
    if (required) {
      fail(it == object_.end() ? std::string("keyNotFound \"") + key + "\""
                               : std::string("valueNotFound \"") + key + "\" is null");
    }
    return nullptr;
  }
  return &*it;
}

namespace {

// An integer, or a float with an integral value within range (JSON has one number type);
// text, booleans and fractions are not integers.
std::optional<std::int64_t> asInt64(const nlohmann::json& value) {
  if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    const auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (!std::isfinite(d) || std::trunc(d) != d) return std::nullopt;
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return std::nullopt;
    return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::int64_t> JsonFieldReader::requiredInt64(const char* key) {
  const nlohmann::json* value = member(key, true);
  if (!value) return std::nullopt;
  auto result = asInt64(*value);
  if (!result) fail(std::string("typeMismatch \"") + key + "\" is not an integer");
  return result;
}

std::optional<std::int64_t> JsonFieldReader::optionalInt64(const char* key) {
  const nlohmann::json* value = member(key, false);
  if (!value) return std::nullopt;
  auto result = asInt64(*value);
  if (!result) fail(std::string("typeMismatch \"") + key + "\" is not an integer");
  return result;
}

std::optional<std::string> JsonFieldReader::requiredString(const char* key) {
  const nlohmann::json* value = member(key, true);
  if (!value) return std::nullopt;
  if (!value->is_string()) {
    fail(std::string("typeMismatch \"") + key + "\" is not a string");
    return std::nullopt;
  }
  return value->get<std::string>();
}

const nlohmann::json* JsonFieldReader::optionalObject(const char* key) {
  const nlohmann::json* value = member(key, false);
  if (!value) return nullptr;
  if (!value->is_object()) {
    fail(std::string("typeMismatch \"") + key + "\" is not an object");
    return nullptr;
  }
  return value;
}

}  // namespace tavrel_mmp
