// The live page's endpoints: the page itself, what it polls (the service's state, the requests
// and the event receptions after those it has, a retained body whole), the fault switches and
// the clearing of what was received. They live under "/_live/", which the library never calls,
// and are not recorded as requests.
#include <charconv>

#include "local_service/json_nesting.h"
#include "local_service/live_json.h"
#include "local_service/live_page.h"
#include "local_service/local_service_impl.h"

namespace tavrel_mmp::tools {
namespace {

using nlohmann::json;
constexpr double kMaxDelaySeconds = 600;
constexpr std::size_t kMaxUnansweredAsked = 200;

constexpr std::pair<Fault::Kind, const char*> kKindNames[] = {
    {Fault::Kind::responseCode, "responseCode"},
    {Fault::Kind::notJson, "notJson"},
    {Fault::Kind::closeConnection, "closeConnection"},
    {Fault::Kind::closeWithoutAnswer, "closeWithoutAnswer"},
    {Fault::Kind::delay, "delay"},
};

// A sequence number in the query ("from=12"); 0 when absent, none when it is not a number.
std::optional<std::uint64_t> sequenceParameter(const httplib::Request& req, const char* name) {
  if (!req.has_param(name)) return 0;
  const std::string text = req.get_param_value(name);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "unanswered=3,5,8": the requests the page still shows without an answer.
std::optional<std::vector<std::uint64_t>> sequenceList(const std::string& text) {
  std::vector<std::uint64_t> out;
  for (const char* at = text.data(); at < text.data() + text.size();) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(at, text.data() + text.size(), value);
    if (error != std::errc()) return std::nullopt;
    if (out.size() < kMaxUnansweredAsked) out.push_back(value);
    at = end;
    if (at < text.data() + text.size() && *at++ != ',') return std::nullopt;
  }
  return out;
}

// Only a script of the same origin may send JSON: a page elsewhere would need a preflight this
// service never grants, and a plain form cannot set this type.
bool sentAsJson(const httplib::Request& req) {
  return req.get_header_value("Content-Type").rfind("application/json", 0) == 0;
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

const char* faultKindName(Fault::Kind kind) {
  for (const auto& [k, name] : kKindNames) {
    if (k == kind) return name;
  }
  return "?";
}

std::optional<Fault::Kind> faultKindNamed(const std::string& name) {
  for (const auto& [kind, k] : kKindNames) {
    if (name == k) return kind;
  }
  return std::nullopt;
}

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
  on.Get("/_live/requests", [this](const httplib::Request& req, httplib::Response& res) {
    const auto from = sequenceParameter(req, "from");
    const auto unanswered = sequenceList(req.get_param_value("unanswered"));
    if (!from || !unanswered) return sendJson(res, 400, {{"error", "bad sequence numbers"}});
    sendJson(res, 200, liveRequests(*from, *unanswered));
  });
  on.Get("/_live/events", [this](const httplib::Request& req, httplib::Response& res) {
    const auto from = sequenceParameter(req, "from");
    if (!from) return sendJson(res, 400, {{"error", "bad sequence number"}});
    sendJson(res, 200, liveEvents(*from));
  });
  on.Get("/_live/body", [this](const httplib::Request& req, httplib::Response& res) {
    const auto sequence = sequenceParameter(req, "sequence");
    const auto body = sequence ? retainedBody(*sequence) : std::nullopt;
    if (!body) return sendJson(res, 404, {{"error", "no such request is kept"}});
    // The client's bytes, shown as text and never run.
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Content-Security-Policy", "default-src 'none'");
    res.set_content(*body, "text/plain; charset=utf-8");
  });
  on.Post("/_live/switch", [this](const httplib::Request& req, httplib::Response& res) {
    if (!sentAsJson(req)) return sendJson(res, 415, {{"error", "send application/json"}});
    if (const auto error = applySwitch(req.body)) return sendJson(res, 400, {{"error", *error}});
    sendJson(res, 200, {{"ok", true}});
  });
  on.Post("/_live/clear", [this](const httplib::Request& req, httplib::Response& res) {
    if (!sentAsJson(req)) return sendJson(res, 415, {{"error", "send application/json"}});
    clearReceived();
    sendJson(res, 200, {{"ok", true}});
  });
  const auto unknown = [](const httplib::Request&, httplib::Response& res) {
    sendJson(res, 404, {{"error", "no such live endpoint"}});
  };
  on.Get("/_live/.*", unknown).Post("/_live/.*", unknown);
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
    const auto kind = faultKindNamed(kindName);
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

void LocalService::Impl::clearReceived() {
  std::lock_guard lock(mutex);
  requestLog.clear();
  events.clear();
  duplicates = 0;
  eventTally.clear();
  refusedEvents.clear();
  heartbeatCount = 0;
  recentHeartbeats.clear();
  links.clear();
  crashes.clear();
  installations.clear();
  deepLinks.clear();
  ++version;
}

}  // namespace tavrel_mmp::tools
