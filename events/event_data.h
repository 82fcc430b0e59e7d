#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "settings/auth_data.h"
#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

// One recorded event; immutable once built and shared by reference.
class EventData {
 public:
  EventData(std::string id, std::string key, std::int64_t time, std::string sessionId,
            bool realtime, std::optional<std::string> data = std::nullopt,
            std::optional<std::string> preEvent = std::nullopt);

  const std::string id;
  const std::string key;
  const std::int64_t time;  // Unix seconds
  const std::string sessionId;
  const bool realtime;
  const std::string data;  // compact JSON text, "{}" when empty
  const std::string preEvent;

  // `sessionId`, or the stored session's identifier when it is empty, or "".
  std::string getSessionId() const;
  // The same against a session the caller read (none: no session).
  std::string getSessionId(const std::optional<AuthData>& stored) const;

  // `data` JSON null for none.
  static std::shared_ptr<EventData> makeEvent(const std::string& key, const std::string& sessionId,
                                              bool realtime, const PropertyDictionary& data);
  // Compact JSON text of an object; "{}" for none (JSON null), an empty object, or anything that
  // cannot be carried faithfully (with a development line).
  static std::string toJsonString(const PropertyDictionary& dictionary);
  static std::optional<PropertyDictionary> jsonStringToDict(const std::string& jsonString);
  static PropertyDictionary convertToDictionary(const EventData& event);
  // The upload shapes of a batch, every record without a session of its own taking `session`'s:
  // one reading for the whole request.
  static PropertyDictionary convertToDictionary(const EventData& event,
                                                const std::optional<AuthData>& session);
  static std::vector<PropertyDictionary> convertToArray(
      const std::vector<std::shared_ptr<EventData>>& events,
      const std::optional<AuthData>& session);

  // The identifier most recently taken into the predecessor chain ("" at process start).
  static std::string savedPreEvent();
  // The next event has no predecessor (the installation starts over).
  static void forgetPredecessor();
};

using EventList = std::vector<std::shared_ptr<EventData>>;

}  // namespace tavrel_mmp
