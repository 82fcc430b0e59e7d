// A stored event record, its columns from the input (as a damaged or foreign events file could
// hold them): id, key, time, session, realtime, predecessor and data, separated by NUL bytes.
// The data text is read back as the upload reads it, and written again as recording writes it.
#include <charconv>

#include "events/event_data.h"
#include "fuzz_support.h"

using namespace tavrel_mmp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest = fuzz::textOf(data, size);
  std::string_view columns[6];
  for (auto& column : columns) std::tie(column, rest) = fuzz::splitAt(rest, '\0');
  const auto& [id, key, timeText, sessionId, realtime, preEvent] = columns;
  std::int64_t time = 0;
  std::from_chars(timeText.data(), timeText.data() + timeText.size(), time);
  const auto record =
      std::make_shared<EventData>(std::string(id), std::string(key), time, std::string(sessionId),
                                  realtime == "1", std::string(rest), std::string(preEvent));

  // The upload shape always serialises: its text is valid UTF-8 whatever the columns hold.
  const AuthData session{200, "OK", SessionData{"s1", "token", 3600}};
  const auto batch = EventData::convertToArray({record, record}, session);
  PropertyDictionary(batch).dump();

  // What recording writes reads back as the same dictionary.
  const auto dictionary = EventData::jsonStringToDict(record->data);
  if (!dictionary) return 0;
  const std::string written = EventData::toJsonString(*dictionary);
  if (written != "{}") fuzz::require(EventData::jsonStringToDict(written) == dictionary);
  return 0;
}
