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

// An answer of the common envelope with a "data" object of its own: {"responseCode": integer,
// "responseText": text, "data"?: object}; absent and null "data" both give none.
template <class Data>
struct EnvelopeWithData {
  std::int64_t responseCode = 0;
  std::string responseText;
  std::optional<Data> data;
};

// Decodes such an answer strictly; `readData(reader)` reads the members of a present "data"
// (named `dataName` in errors) and returns the Data. None, with the first error in `error`,
// when anything is missing or of another type.
template <class Data, class ReadData>
std::optional<EnvelopeWithData<Data>> decodeEnvelopeWithData(const std::vector<std::uint8_t>& bytes,
                                                             const char* name, const char* dataName,
                                                             ReadData readData,
                                                             std::string* error) {
  const auto json = parseJsonBytes(bytes, error);
  if (!json) return std::nullopt;
  JsonFieldReader reader(*json, name);
  auto responseCode = reader.requiredInt64("responseCode");
  auto responseText = reader.requiredString("responseText");
  const nlohmann::json* data = reader.optionalObject("data");
  if (!reader.ok()) {
    if (error) *error = reader.error();
    return std::nullopt;
  }
  EnvelopeWithData<Data> result{*responseCode, std::move(*responseText), std::nullopt};
  if (data != nullptr) {
    JsonFieldReader dataReader(*data, dataName);
    Data decoded = readData(dataReader);
    if (!dataReader.ok()) {
      if (error) *error = dataReader.error();
      return std::nullopt;
    }
    result.data = std::move(decoded);
  }
  return result;
}

}  // namespace tavrel_mmp
