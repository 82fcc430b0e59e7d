#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

// Parses bytes as JSON; none (and a description in `error`) when they are not JSON.
std::optional<nlohmann::json> parseJsonBytes(const std::vector<std::uint8_t>& bytes,
                                             std::string* error = nullptr);

// Reads typed members of a JSON object with strict JSON types: a number given as text, a
// fraction where an integer is required, or a null in a required member is an error. The first
// error wins and later reads return none.
class JsonFieldReader {
 public:
  JsonFieldReader(const nlohmann::json& object, std::string context);

  std::optional<std::int64_t> requiredInt64(const char* key);
  std::optional<std::int64_t> optionalInt64(const char* key);  // absent or null: none, no error
  std::optional<std::string> requiredString(const char* key);
  // Absent or null: nullptr and no error; present but not an object: an error.
  const nlohmann::json* optionalObject(const char* key);

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  const nlohmann::json* member(const char* key, bool required);
  void fail(std::string message);

  const nlohmann::json& object_;
  std::string context_;
  std::string error_;
};

}  // namespace tavrel_mmp
