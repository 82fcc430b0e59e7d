// The live page's endpoints: the page itself, a JSON picture of the service for it to poll, and
// the fault switches. They live under "/_live/", which the library never calls, and are not
// recorded as requests.
#include <algorithm>
#include <cmath>

#include "local_service/json_nesting.h"
#include "local_service/live_page.h"
#include "local_service/local_service_impl.h"

namespace tavrel_mmp::tools {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kShownNames = 100;
constexpr std::size_t kShownSessions = 50;
constexpr std::size_t kShownRequests = 30;
constexpr std::size_t kShownReports = 20;
constexpr double kMaxDelaySeconds = 600;

constexpr std::pair<Fault::Kind, const char*> kKindNames[] = {
    {Fault::Kind::responseCode, "responseCode"},
    {Fault::Kind::notJson, "notJson"},
    {Fault::Kind::closeConnection, "closeConnection"},
    {Fault::Kind::closeWithoutAnswer, "closeWithoutAnswer"},
    {Fault::Kind::delay, "delay"},
};

const char* nameOf(Fault::Kind kind) {
  for (const auto& [k, name] : kKindNames) {
    if (k == kind) return name;
  }
  return "?";
}

std::optional<Fault::Kind> kindNamed(const std::string& name) {
  for (const auto& [kind, k] : kKindNames) {
    if (name == k) return kind;
  }
  return std::nullopt;
}

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::round(std::chrono::duration<double>(to - from).count() * 10) / 10;
}

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

std::string textMember(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

void sendJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  // Paths and names are the clients' bytes and need not be UTF-8.
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

// A number member within [low, high], or `fallback` when absent; none when out of range.
std::optional<double> numberMember(const json& body, const char* key, double fallback, double low,
                                   double high) {
  const auto found = body.find(key);
  if (found == body.end()) return fallback;
  if (!found->is_number()) return std::nullopt;
  const double value = found->get<double>();
  if (!(value >= low && value <= high)) return std::nullopt;
  return value;
}

}  // namespace

void LocalService::Impl::installLiveEndpoints(httplib::Server& on) {
  on.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    // Everything the page needs is inline; it may talk to this service and nothing else.
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                   "connect-src 'self'; img-src data:");
    const std::string_view html = livePageHtml();
    res.set_content(html.data(), html.size(), "text/html; charset=utf-8");
  });
  on.Get("/_live/state", [this](const httplib::Request&, httplib::Response& res) {
    sendJson(res, 200, liveState());
  });
  on.Post("/_live/switch", [this](const httplib::Request& req, httplib::Response& res) {
    // Only a script of the same origin may send JSON here: a page elsewhere would need a
    // preflight this service never grants, and a plain form cannot set this type.
    if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
      return sendJson(res, 415, {{"error", "send application/json"}});
    }
    if (const auto error = applySwitch(req.body)) return sendJson(res, 400, {{"error", *error}});
    sendJson(res, 200, {{"ok", true}});
  });
  const auto unknown = [](const httplib::Request&, httplib::Response& res) {
    sendJson(res, 404, {{"error", "no such live endpoint"}});
  };
  on.Get("/_live/.*", unknown).Post("/_live/.*", unknown);
}

json LocalService::Impl::liveState() const {
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(mutex);
  json state = {{"version", version},
                {"uptime", secondsBetween(startedAt, now)},
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
  state["retained"] = {{"count", requestLog.retained().size()},
                       {"bytes", requestLog.retainedBodyBytes()}};
  state["recentRequests"] =
      newestFirst(requestLog.retained(), kShownRequests, [&](const RequestLog::Entry& entry) {
        const RecordedRequest& request = *entry.request;
        return json{{"at", secondsBetween(startedAt, request.receivedAt)},
                    {"method", request.method},
                    {"path", request.path},
                    {"bytes", request.body.size()},
                    {"outcome", entry.outcome}};
      });

  for (const auto& [path, fault] : faults) {
    state["faults"][path] = {{"kind", nameOf(fault.kind)},
                             {"httpStatus", fault.httpStatus},
                             {"responseCode", fault.responseCode},
                             {"delaySeconds", fault.delaySeconds},
                             {"times", fault.times}};
  }

  state["events"] = {
      {"accepted", events.size()},
      {"duplicates", duplicates},
      {"byName", topCounts(eventTally.byName, kShownNames)},
      {"bySession", topCounts(eventTally.bySession, kShownSessions)},
      {"recent", newestFirst(eventTally.recent, EventTally::kRecent, [&](const auto& arrival) {
         return json{{"at", secondsBetween(startedAt, arrival.at)},
                     {"name", arrival.name},
                     {"session", arrival.sessionId},
                     {"id", arrival.id}};
       })}};

  state["heartbeats"] = {
      {"count", heartbeatCount},
      {"answer", heartbeatData ? *heartbeatData : json()},
      {"recent", newestFirst(recentHeartbeats, kRecentHeartbeats,
                             [&](Clock::time_point at) { return secondsBetween(startedAt, at); })}};

  state["crashes"] = {{"count", crashes.size()},
                      {"recent", newestFirst(crashes, kShownReports, [](const json& report) {
                         const std::string trace = textMember(report, "stackTrace");
                         return json{{"hash", textMember(report, "hash")},
                                     {"platform", textMember(report, "platform")},
                                     {"appVersion", textMember(report, "appVersion")},
                                     {"firstLine", trace.substr(0, trace.find('\n'))}};
                       })}};
  state["links"] = {{"count", links.size()},
                    {"recent", newestFirst(links, kShownReports, [](const json& link) {
                       return json{{"short", textMember(link, "short_link")},
                                   {"long", textMember(link, "long_link")}};
                     })}};
  return state;
}

std::optional<std::string> LocalService::Impl::applySwitch(const std::string& body) {
  const json change = parseBodyOrNull(body);
  if (!change.is_object()) return "the switch is not a JSON object";
  if (change.value("clearAll", false) == true) {
    std::lock_guard lock(mutex);
    faults.clear();
    ++version;
    return std::nullopt;
  }
  const std::string path = textMember(change, "path");
  if (path.empty() || path.front() != '/' || path.rfind("/_live", 0) == 0 || path.size() > 2048) {
    return "\"path\" must be a path the library may call";
  }
  const std::string kindName = textMember(change, "kind");
  std::optional<Fault> fault;
  if (kindName != "none") {
    const auto kind = kindNamed(kindName);
    const auto httpStatus = numberMember(change, "httpStatus", 500, 100, 599);
    const auto responseCode = numberMember(change, "responseCode", 500, -1e15, 1e15);
    const auto delay = numberMember(change, "delaySeconds", 3, 0, kMaxDelaySeconds);
    const auto times = numberMember(change, "times", -1, -1, 1e9);
    if (!kind) return "unknown \"kind\" \"" + kindName + "\"";
    if (!httpStatus || !responseCode || !delay || !times) {
      return "\"httpStatus\" (100-599), \"responseCode\", \"delaySeconds\" (0-600) or \"times\" "
             "is out of range";
    }
    fault = Fault{.kind = *kind,
                  .responseCode = static_cast<std::int64_t>(*responseCode),
                  .httpStatus = static_cast<int>(*httpStatus),
                  .delaySeconds = *delay,
                  .times = static_cast<int>(*times)};
  }
  std::lock_guard lock(mutex);
  if (fault) {
    faults[path] = *fault;
  } else {
    faults.erase(path);
  }
  ++version;
  return std::nullopt;
}

}  // namespace tavrel_mmp::tools
