// The picture of the service the live page polls: counts, installations, deep links, refused
// events and the fault switches. The requests and event receptions themselves, with their
// payloads, come from live_logs.cpp.
#include <algorithm>
#include <cmath>

#include "local_service/live_json.h"
#include "local_service/local_service_impl.h"

namespace tavrel_mmp::tools {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kShownNames = 100;
constexpr std::size_t kShownSessions = 50;
constexpr std::size_t kShownReports = 20;
constexpr std::size_t kShownRefusedEvents = 50;

// The `limit` largest counts, largest first (ties by name).
json topCounts(const std::map<std::string, std::size_t>& counts, std::size_t limit) {
  std::vector<std::pair<std::string, std::size_t>> rows(counts.begin(), counts.end());
  std::stable_sort(rows.begin(), rows.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  if (rows.size() > limit) rows.resize(limit);
  json out = json::array();
  for (const auto& [name, count] : rows) out.push_back({name, count});
  return out;
}

// The last `limit` of `items`, newest first.
template <typename Items, typename Convert>
json newestFirst(const Items& items, std::size_t limit, Convert convert) {
  json out = json::array();
  for (auto it = items.rbegin(); it != items.rend() && out.size() < limit; ++it) {
    out.push_back(convert(*it));
  }
  return out;
}

json indentedOrNull(const json& value) {
  return value.is_null() ? json() : json(indentedForPage(value));
}

}  // namespace

json LocalService::Impl::liveState() const {
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(mutex);
  json state = {{"version", version},
                {"uptime", std::round(std::chrono::duration<double>(now - startedAt).count())},
                {"sessionsGranted", tokens.size()},
                {"routes", json::array()},
                {"faults", json::object()},
                {"baseUrl", urlWithPort(port)}};
  for (const auto& [path, route] : routes()) state["routes"].push_back(path);

  json paths = json::array();
  for (const auto& [path, totals] : requestLog.totals()) {
    paths.push_back({{"path", path},
                     {"count", totals.count},
                     {"bytes", totals.bytes},
                     {"faulted", totals.faulted}});
  }
  state["paths"] = std::move(paths);
  state["requestLog"] = {{"count", requestLog.retained().size()},
                         {"bytes", requestLog.retainedBodyBytes()},
                         {"first", requestLog.firstSequence()},
                         {"next", requestLog.nextSequence()}};

  for (const auto& [path, fault] : faults) {
    state["faults"][path] = {{"kind", faultKindName(fault.kind)},
                             {"httpStatus", fault.httpStatus},
                             {"responseCode", fault.responseCode},
                             {"delaySeconds", fault.delaySeconds},
                             {"times", fault.times}};
  }

  state["events"] = {{"accepted", events.size()},
                     {"duplicates", duplicates},
                     {"byName", topCounts(eventTally.byName, kShownNames)},
                     {"bySession", topCounts(eventTally.bySession, kShownSessions)},
                     {"first", eventTally.firstSequence()},
                     {"next", eventTally.nextSequence}};

  json refused = json::array();
  for (const EventRefusals::Refused* event : refusedEvents.mostRefused(kShownRefusedEvents)) {
    refused.push_back({{"id", textMember(event->event, "id")},
                       {"name", textMember(event->event, "key")},
                       {"session", textMember(event->event, "sessionId")},
                       {"refusals", event->refusals},
                       {"forContent", event->forContent},
                       {"setAside", event->setAside()},
                       {"lastAnswer", event->lastAnswer},
                       {"at", event->lastAtMs},
                       {"payload", indentedForPage(event->event)}});
  }
  state["refusedEvents"] = {{"count", refusedEvents.size()},
                            {"setAsideAfter", EventRefusals::kSetAsideAfter},
                            {"shown", std::move(refused)}};

  json shownInstallations = json::array();
  for (const auto& [deviceId, installation] : installations.installations()) {
    shownInstallations.push_back({{"deviceId", deviceId},
                                  {"partnerCode", installation.partnerCode},
                                  {"bundleId", installation.bundleId},
                                  {"appVersion", installation.appVersion},
                                  {"os", installation.os},
                                  {"userId", installation.userId},
                                  {"sessions", installation.sessions},
                                  {"lastSessionId", installation.lastSessionId},
                                  {"lastSeen", installation.lastSeenMs},
                                  {"report", indentedOrNull(installation.lastDeviceReport)},
                                  {"profile", indentedOrNull(installation.lastProfile)},
                                  {"profileAt", installation.profileAtMs}});
  }
  state["installations"] = std::move(shownInstallations);

  state["deepLinks"] = {
      {"deferredAnswer", verifyData ? indentedForPage(*verifyData) : "no \"data\""},
      {"recent", newestFirst(deepLinks, kRecentDeepLinks, [](const json& link) { return link; })}};

  state["heartbeats"] = {
      {"count", heartbeatCount},
      {"answer", heartbeatData ? *heartbeatData : json()},
      {"recent", newestFirst(recentHeartbeats, kRecentHeartbeats,
                             [&](Clock::time_point at) { return wallClockMs(at); })}};

  state["crashes"] = {{"count", crashes.size()},
                      {"recent", newestFirst(crashes, kShownReports, [](const json& report) {
                         const std::string trace = textMember(report, "stackTrace");
                         return json{{"hash", textMember(report, "hash")},
                                     {"platform", textMember(report, "platform")},
                                     {"appVersion", textMember(report, "appVersion")},
                                     {"firstLine", trace.substr(0, trace.find('\n'))},
                                     {"payload", indentedForPage(report)}};
                       })}};
  state["links"] = {{"count", links.size()},
                    {"recent", newestFirst(links, kShownReports, [](const json& link) {
                       return json{{"short", textMember(link, "short_link")},
                                   {"long", textMember(link, "long_link")}};
                     })}};
  return state;
}

}  // namespace tavrel_mmp::tools
