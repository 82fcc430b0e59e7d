// What the live page lists with payloads: the retained requests (headers and bodies) and the
// event receptions (each event's upload object). The page asks for what came after the last it
// has, so every poll carries only what is new.
#include <algorithm>

#include "local_service/json_nesting.h"
#include "local_service/live_json.h"
#include "local_service/local_service_impl.h"

namespace tavrel_mmp::tools {
namespace {

using nlohmann::json;

// One answer carries at most this many rows, or about this many bytes of payload; the page
// asks again for the rest.
constexpr std::size_t kRowsPerAnswer = 250;
constexpr std::size_t kPayloadBytesPerAnswer = 4u << 20;
constexpr std::size_t kShownProperties = 20;
constexpr std::size_t kShownPropertyBytes = 200;

// A body as the page shows it: JSON indented with its members in the order they came, anything
// else as it is; "cut" when the page has only its start.
json shownBody(const std::string& body) {
  std::string text = body;
  bool isJson = false;
  if (body.size() <= kShownPayloadBytes && !nestsDeeperThan(body)) {
    const auto parsed = nlohmann::ordered_json::parse(body, nullptr, false);
    if (!parsed.is_discarded()) {
      text = parsed.dump(2, ' ', false, json::error_handler_t::replace);
      isJson = true;
    }
  }
  const bool cut = text.size() > kShownPayloadBytes;
  return {{"text", cutForPage(std::move(text))}, {"json", isJson}, {"cut", cut}};
}

// An uploaded event's properties, [key, value as JSON text]: a text value shows its quotes, so
// "9.5" and 9.5 read differently.
json propertiesOf(const json& event) {
  json out = json::array();
  const auto data = event.find("data");
  if (data == event.end() || !data->is_array()) return out;
  for (const json& entry : *data) {
    if (out.size() == kShownProperties) break;
    if (!entry.is_object() || !entry.contains("value")) continue;
    std::string value = entry["value"].dump(-1, ' ', false, json::error_handler_t::replace);
    if (value.size() > kShownPropertyBytes) value = value.substr(0, kShownPropertyBytes) + "\u2026";
    out.push_back({textMember(entry, "key"), value});
  }
  return out;
}

}  // namespace

json LocalService::Impl::liveRequests(std::uint64_t from,
                                      const std::vector<std::uint64_t>& unanswered) const {
  // Copied out under the lock (the requests are shared, not copied) and formatted after it.
  std::vector<RequestLog::Entry> entries;
  json out = json::object();
  {
    std::lock_guard lock(mutex);
    out["first"] = requestLog.firstSequence();
    out["next"] = requestLog.nextSequence();
    std::size_t bytes = 0;
    for (const RequestLog::Entry& entry : requestLog.retained()) {
      if (entry.sequence < from) continue;
      if (entries.size() == kRowsPerAnswer || bytes > kPayloadBytesPerAnswer) break;
      entries.push_back(entry);
      bytes += std::min(entry.request->body.size(), kShownPayloadBytes);
    }
    out["answers"] = json::object();
    for (const std::uint64_t sequence : unanswered) {
      const RequestLog::Entry* entry = requestLog.find(sequence);
      if (entry && !entry->outcome.empty()) {
        out["answers"][std::to_string(sequence)] = {{"outcome", entry->outcome},
                                                    {"refused", entry->refused}};
      }
    }
  }
  json rows = json::array();
  for (const RequestLog::Entry& entry : entries) {
    const RecordedRequest& request = *entry.request;
    json headers = json::array();
    for (const auto& [name, value] : request.headers) headers.push_back({name, value});
    rows.push_back({{"sequence", entry.sequence},
                    {"at", wallClockMs(request.receivedAt)},
                    {"method", request.method},
                    {"path", request.path},
                    {"bytes", request.body.size()},
                    {"outcome", entry.outcome},
                    {"refused", entry.refused},
                    {"headers", std::move(headers)},
                    {"body", shownBody(request.body)}});
  }
  out["requests"] = std::move(rows);
  return out;
}

json LocalService::Impl::liveEvents(std::uint64_t from) const {
  std::lock_guard lock(mutex);
  json rows = json::array();
  std::size_t bytes = 0;
  for (const EventTally::Arrival& arrival : eventTally.recent) {
    if (arrival.sequence < from) continue;
    if (rows.size() == kRowsPerAnswer || bytes > kPayloadBytesPerAnswer) break;
    json row = {{"sequence", arrival.sequence},
                {"at", arrival.atMs},
                {"name", arrival.name},
                {"session", arrival.sessionId},
                {"id", arrival.id},
                {"sender", arrival.sender},
                {"repeat", arrival.repeat},
                {"time", nullptr},
                {"properties", json::array()},
                {"payload", ""}};
    if (const auto stored = events.find(arrival.id); stored != events.end()) {
      const json& event = stored->second.event;
      if (const auto time = event.find("time"); time != event.end() && time->is_number()) {
        row["time"] = *time;
      }
      row["properties"] = propertiesOf(event);
      row["payload"] = indentedForPage(event);
      bytes += row["payload"].get_ref<const std::string&>().size();
    }
    rows.push_back(std::move(row));
  }
  return {{"first", eventTally.firstSequence()},
          {"next", eventTally.nextSequence},
          {"events", std::move(rows)}};
}

std::optional<std::string> LocalService::Impl::retainedBody(std::uint64_t sequence) const {
  std::lock_guard lock(mutex);
  const RequestLog::Entry* entry = requestLog.find(sequence);
  if (!entry) return std::nullopt;
  return entry->request->body;
}

}  // namespace tavrel_mmp::tools
