// Event payload text and the upload shape of a stored record.
#include <cmath>
#include <string>

#include "core/json_depth.h"
#include "core/logger.h"
#include "core/utf8.h"
#include "events/event_data.h"
#include "settings/storage_helper.h"

namespace tavrel_mmp {
namespace {

using json = nlohmann::json;

// nlohmann writes NaN and infinities as null and binary values as an object without
// complaint; both would silently change what the host recorded, so they count as failures.
std::optional<std::string> unrepresentableValue(const json& value) {
  switch (value.type()) {
    case json::value_t::number_float:
      if (!std::isfinite(value.get_ref<const json::number_float_t&>())) {
        return "invalid number (NaN or infinity) in JSON write";
      }
      return std::nullopt;
    case json::value_t::binary:
      return "invalid type (binary data) in JSON write";
    case json::value_t::discarded:
      return "invalid type (discarded value) in JSON write";
    case json::value_t::object:
    case json::value_t::array:
      for (const auto& element : value) {
        if (auto problem = unrepresentableValue(element)) return problem;
      }
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

void logSerialisationFailure(const std::string& description) {
  Logger::log("Error converting dictionary to JSON string: " + description);
}

}  // namespace

std::string EventData::toJsonString(const PropertyDictionary& dictionary) {
  if (dictionary.is_null()) return "{}";
  if (!dictionary.is_object()) {
    logSerialisationFailure("the value is not a JSON object");
    return "{}";
  }
  if (dictionary.empty()) return "{}";
  if (nestedDeeperThan(dictionary)) {
    logSerialisationFailure("the value nests deeper than " + std::to_string(kMaxJsonDepth) +
                            " levels");
    return "{}";
  }
  if (auto problem = unrepresentableValue(dictionary)) {
    logSerialisationFailure(*problem);
    return "{}";
  }
  try {
    // The strict handler throws on text that is not valid UTF-8 (type_error 316).
    return dictionary.dump();
  } catch (const json::exception& e) {
    logSerialisationFailure(e.what());
    return "{}";
  }
}

std::optional<PropertyDictionary> EventData::jsonStringToDict(const std::string& jsonString) {
  json parsed;
  try {
    // Stored text is read as UTF-8 with ill-formed bytes replaced, as a platform string would.
    parsed = json::parse(toValidUtf8(jsonString));
  } catch (const json::exception& e) {
    Logger::log(std::string("Error converting JSON string to dictionary: ") + e.what());
    return std::nullopt;
  }
  if (!parsed.is_object()) return std::nullopt;
  // The text comes from the events file, which need not be what recording wrote there: a value
  // nested deeper than recording lets through would overflow the stack once copied or written.
  if (nestedDeeperThan(parsed)) {
    Logger::log("Error converting JSON string to dictionary: nested deeper than " +
                std::to_string(kMaxJsonDepth) + " levels");
    return std::nullopt;
  }
  return parsed;
}

PropertyDictionary EventData::convertToDictionary(const EventData& event) {
  return convertToDictionary(event, StorageHelper::shared().getAuthData());
}

PropertyDictionary EventData::convertToDictionary(const EventData& event,
                                                  const std::optional<AuthData>& session) {
  json entries = json::array();
  if (auto dictionary = jsonStringToDict(event.data)) {
    for (auto& [key, value] : dictionary->items()) {
      entries.push_back(json{{"key", key}, {"value", value}});
    }
  }
  // Text columns may hold anything the host passed (or anything a damaged file holds); the
  // upload shape carries valid UTF-8 only, so serialising a body can never fail on a record.
  json out = json::object();
  out["id"] = toValidUtf8(event.id);
  out["key"] = toValidUtf8(event.key);
  out["time"] = event.time;
  out["sessionId"] = toValidUtf8(event.getSessionId(session));
  out["realtime"] = event.realtime;
  out["data"] = std::move(entries);
  out["preEvent"] = toValidUtf8(event.preEvent);
  return out;
}

std::vector<PropertyDictionary> EventData::convertToArray(
    const std::vector<std::shared_ptr<EventData>>& events, const std::optional<AuthData>& session) {
  std::vector<PropertyDictionary> out;
  out.reserve(events.size());
  for (const auto& event : events) out.push_back(convertToDictionary(*event, session));
  return out;
}

}  // namespace tavrel_mmp
