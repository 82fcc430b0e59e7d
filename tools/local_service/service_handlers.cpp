// The measurement API: recording, fault injection and the routes the library calls.
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "local_service/connection_closer.h"
#include "local_service/json_nesting.h"
#include "local_service/local_service_impl.h"
#include "local_service/text.h"

namespace tavrel_mmp::tools {
namespace {

using nlohmann::json;

std::string randomHex(std::size_t byteCount) {
  std::vector<unsigned char> bytes(byteCount);
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw std::runtime_error("RAND_bytes failed");
  }
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
  }
  return out;
}

json envelope(std::int64_t code, const std::string& text) {
  return {{"responseCode", code}, {"responseText", text}};
}

bool isStringMember(const json& object, const char* key) {
  return object.contains(key) && object[key].is_string();
}

// Everything but the unreserved characters as %XX, so any text fits in a query.
std::string percentEncode(const std::string& text) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out += {'%', digits[c >> 4], digits[c & 0x0F]};
    }
  }
  return out;
}

// The parameters of a link to create: the builder's {"fields": [{"key", "value"}...]}, or any
// other object whose members are the parameters. None when the body is neither.
std::optional<std::vector<std::pair<std::string, std::string>>> linkParameters(const json& body) {
  if (!body.is_object()) return std::nullopt;
  std::vector<std::pair<std::string, std::string>> parameters;
  const auto fields = body.find("fields");
  if (fields != body.end() && fields->is_array()) {
    for (const json& field : *fields) {
      if (!field.is_object() || !isStringMember(field, "key") || !isStringMember(field, "value")) {
        return std::nullopt;
      }
      parameters.emplace_back(field["key"], field["value"]);
    }
    return parameters;
  }
  for (const auto& [key, value] : body.items()) {
    parameters.emplace_back(key, value.is_string() ? value.get<std::string>() : value.dump());
  }
  return parameters;
}

void send(httplib::Response& res, const Reply& reply) {
  res.status = reply.httpStatus;
  res.set_content(reply.body.dump(), "application/json");
}

std::string seconds(double value) {
  std::string text = std::to_string(value);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text;
}

// "HTTP 200, code 401" between `before` and `after`; refused unless its code is 200.
Outcome outcomeOf(const Reply& reply, const std::string& before, const std::string& after,
                  bool faulted) {
  Outcome outcome{before + "HTTP " + std::to_string(reply.httpStatus), faulted, true, std::nullopt};
  const auto code = reply.body.find("responseCode");
  if (code != reply.body.end()) {
    outcome.text += ", code " + code->dump();
    if (code->is_number_integer()) outcome.responseCode = code->get<std::int64_t>();
  }
  outcome.text += after;
  outcome.refused = outcome.responseCode != 200;
  return outcome;
}

}  // namespace

const std::map<std::string, LocalService::Impl::Route>& LocalService::Impl::routes() {
  static const std::map<std::string, Route> table = {
      {"/public/partner/auth", &Impl::authenticate},
      {"/partner/event/log", &Impl::logEvents},
      {"/partner/online-user/log", &Impl::heartbeat},
      {"/partner/device-info/update", &Impl::acknowledgeSession},
      {"/partner/session-deeplink", &Impl::acknowledgeSession},
      {"/partner/unified-deeplink/verify", &Impl::verifyDeeplink},
      {"/partner/deeplink/create", &Impl::createLink},
      {"/partner/deeplink/shorten-link", &Impl::shortenLink},
      {"/partner/crash/log", &Impl::logCrash},
  };
  return table;
}

void LocalService::Impl::handle(const httplib::Request& req, httplib::Response& res) {
  const std::uint64_t sequence = record(req);
  std::string delayed;
  if (const std::optional<Fault> fault = takeFault(req.path)) {
    switch (fault->kind) {
      case Fault::Kind::responseCode: {
        const Reply reply{fault->httpStatus, envelope(fault->responseCode, "Injected failure")};
        noteOutcome(sequence, req, outcomeOf(reply, "", " (injected)", true));
        return send(res, reply);
      }
      case Fault::Kind::notJson:
        noteOutcome(sequence, req, {"not JSON (injected)", true, true, std::nullopt});
        res.set_content("<html>garbage</html>", "text/html");
        return;
      case Fault::Kind::closeWithoutAnswer:
        // Whatever httplib then tries to write finds the connection shut.
        if (shutDownConnection(req.local_port, req.remote_port)) {
          noteOutcome(sequence, req,
                      {"closed without answering (injected)", true, true, std::nullopt});
          return;
        }
        [[fallthrough]];  // not found: the nearest thing, an answer cut short
      case Fault::Kind::closeConnection:
        noteOutcome(sequence, req, {"answer cut short (injected)", true, true, std::nullopt});
        // A provider that fails before writing the promised body makes httplib close the
        // socket, leaving the client short.
        res.set_content_provider(
            64, "application/json",
            [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
        return;
      case Fault::Kind::delay:
        sleepUnlessStopped(fault->delaySeconds);
        delayed = "delayed " + seconds(fault->delaySeconds) + " s (injected), then ";
        break;
    }
  }
  Reply reply{404, envelope(404, "Not found")};
  const auto route = routes().find(req.path);
  if (req.method == "POST" && route != routes().end()) {
    // Refused before anything recursive (copying, dumping) touches the parsed value.
    reply = nestsDeeperThan(req.body)
                ? Reply{200, envelope(400, "Bad request: nested deeper than " +
                                               std::to_string(kMaxBodyNesting) + " levels")}
                : (this->*route->second)(req);
  }
  noteOutcome(sequence, req, outcomeOf(reply, delayed, "", !delayed.empty()));
  send(res, reply);
}

std::uint64_t LocalService::Impl::record(const httplib::Request& req) {
  auto recorded = std::make_shared<RecordedRequest>();
  recorded->method = req.method;
  recorded->path = req.path;
  for (const auto& [name, value] : req.headers) {
    if (!isConnectionInfo(name)) recorded->headers.emplace_back(lower(name), value);
  }
  recorded->body = req.body;
  recorded->receivedAt = std::chrono::steady_clock::now();
  std::lock_guard listenerLock(listenerMutex);
  std::uint64_t sequence = 0;
  {
    std::lock_guard lock(mutex);
    sequence = requestLog.add(recorded);
    ++version;
  }
  changed.notify_all();
  // The log may drop its copy meanwhile; this one lives until the listener returns.
  if (listener) listener(*recorded);
  return sequence;
}

void LocalService::Impl::noteOutcome(std::uint64_t sequence, const httplib::Request& req,
                                     const Outcome& outcome) {
  // A refused batch's events, for the page to tell those the service keeps refusing.
  json refusedBatch;
  if (outcome.refused && req.path == "/partner/event/log") {
    const json body = parseBodyOrNull(req.body);
    if (body.is_object()) refusedBatch = body.value("events", json());
  }
  const std::int64_t atMs = wallClockMs(std::chrono::steady_clock::now());
  std::lock_guard lock(mutex);
  requestLog.noteOutcome(sequence, req.path, outcome.text, outcome.faulted, outcome.refused);
  if (refusedBatch.is_array()) {
    json neverAccepted = json::array();
    for (json& event : refusedBatch) {
      const auto id = event.is_object() ? event.find("id") : event.end();
      if (id != event.end() && id->is_string() && !events.contains(id->get<std::string>())) {
        neverAccepted.push_back(std::move(event));
      }
    }
    refusedEvents.noteRefused(neverAccepted, outcome.text, outcome.responseCode, atMs);
  }
  ++version;
}

std::optional<Fault> LocalService::Impl::takeFault(const std::string& path) {
  std::lock_guard lock(mutex);
  const auto found = faults.find(path);
  if (found == faults.end()) return std::nullopt;
  Fault fault = found->second;
  if (fault.times == 0 || (fault.times > 0 && --found->second.times == 0)) faults.erase(found);
  ++version;
  if (fault.times == 0) return std::nullopt;
  return fault;
}

void LocalService::Impl::sleepUnlessStopped(double seconds) {
  std::unique_lock lock(mutex);
  changed.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stopping; });
}

bool LocalService::Impl::authorized(const httplib::Request& req) const {
  if (!req.has_header("Authorization")) return false;
  const std::string token = req.get_header_value("Authorization");
  std::lock_guard lock(mutex);
  return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

Reply LocalService::Impl::authenticate(const httplib::Request& req) {
  const Reply invalid{200, envelope(401, "Invalid signature")};
  const json body = parseBodyOrNull(req.body);
  if (!req.has_header("t") || !req.has_header("v") || !body.is_object() ||
      !isStringMember(body, "partnerCode") || !isStringMember(body, "appId") ||
      !isStringMember(body, "deviceId")) {
    return invalid;
  }
  const std::string t = req.get_header_value("t");
  if (t.empty() ||
      !std::all_of(t.begin(), t.end(), [](unsigned char c) { return std::isdigit(c); })) {
    return invalid;
  }
  const std::string expected =
      expectedSignature(body["partnerCode"], body["appId"], body["deviceId"], t);
  if (req.get_header_value("v") != expected) return invalid;

  const std::int64_t atMs = wallClockMs(std::chrono::steady_clock::now());
  std::lock_guard lock(mutex);
  if (authRefusal) return {200, envelope(*authRefusal, "Refused")};
  const std::string token = randomHex(32);
  const std::string sessionId = randomHex(16);
  tokens.push_back(token);
  installations.noteSession(body, token, sessionId, atMs);
  json data = {{"sessionId", sessionId},
               {"token", token},
               {"sessionExpireTimeInSeconds", sessionExpireTimeInSeconds}};
  if (deeplinkExpired) data["deeplinkExpired"] = *deeplinkExpired;
  json answer = envelope(200, "OK");
  answer["data"] = std::move(data);
  return {200, std::move(answer)};
}

Reply LocalService::Impl::logEvents(const httplib::Request& req) {
  if (!authorized(req)) return {200, envelope(401, "Unauthorized")};
  json body = parseBodyOrNull(req.body);
  const Reply bad{200, envelope(400, "Bad request")};
  if (!body.is_object() || !body.contains("events") || !body["events"].is_array()) return bad;
  for (const json& event : body["events"]) {
    if (!event.is_object() || !isStringMember(event, "id")) return bad;
  }
  const std::string token = req.get_header_value("Authorization");
  const auto now = std::chrono::steady_clock::now();
  const Delivery delivery{req.get_header_value("User-Agent"), now};
  const std::int64_t atMs = wallClockMs(now);
  {
    std::lock_guard lock(mutex);
    for (const json& event : body["events"]) {
      if (refusedEventKey && event.value("key", json()) == *refusedEventKey) {
        return {200, envelope(refusedEventCode, "Refused event " + *refusedEventKey)};
      }
    }
    for (json& event : body["events"]) {
      std::string id = event["id"];
      const auto text = [&](const char* key) {
        return isStringMember(event, key) ? event[key].get<std::string>() : std::string("?");
      };
      const auto found = events.find(id);
      const bool repeat = found != events.end();
      eventTally.add({.id = id,
                      .name = text("key"),
                      .sessionId = text("sessionId"),
                      .sender = delivery.sender,
                      .atMs = atMs,
                      .repeat = repeat});
      if (repeat) {
        ++duplicates;
        ++found->second.timesReceived;
        found->second.deliveries.push_back(delivery);
        continue;
      }
      refusedEvents.noteAccepted(id);
      events.emplace(std::move(id), StoredEvent{std::move(event), token, 1, {delivery}});
    }
    ++version;
  }
  changed.notify_all();
  return {200, envelope(200, "OK")};
}

Reply LocalService::Impl::heartbeat(const httplib::Request& req) {
  if (!authorized(req)) return {200, envelope(401, "Unauthorized")};
  json answer = envelope(200, "OK");
  std::lock_guard lock(mutex);
  ++heartbeatCount;
  recentHeartbeats.push_back(std::chrono::steady_clock::now());
  if (recentHeartbeats.size() > kRecentHeartbeats) recentHeartbeats.pop_front();
  if (heartbeatData) answer["data"] = *heartbeatData;
  return {200, std::move(answer)};
}

Reply LocalService::Impl::createLink(const httplib::Request& req) {
  if (!authorized(req)) return {200, envelope(401, "Unauthorized")};
  const auto parameters = linkParameters(parseBodyOrNull(req.body));
  if (!parameters) return {200, envelope(400, "Bad request")};
  std::string query;
  for (const auto& [key, value] : *parameters) {
    if (!query.empty()) query += '&';
    query += percentEncode(key) + '=' + percentEncode(value);
  }
  return madeLink(baseUrl() + "/s/" + randomHex(4), baseUrl() + "/l?" + query);
}

Reply LocalService::Impl::shortenLink(const httplib::Request& req) {
  if (!authorized(req)) return {200, envelope(401, "Unauthorized")};
  const json body = parseBodyOrNull(req.body);
  if (!body.is_object() || !isStringMember(body, "name") ||
      !isStringMember(body, "short_link_id") || !isStringMember(body, "redirect_url")) {
    return {200, envelope(400, "Bad request")};
  }
  std::string slug = body["short_link_id"];
  if (slug.empty()) slug = randomHex(4);
  return madeLink(baseUrl() + "/s/" + percentEncode(slug), body["redirect_url"]);
}

Reply LocalService::Impl::madeLink(const std::string& shortLink, const std::string& longLink) {
  const json data = {{"short_link", shortLink}, {"long_link", longLink}};
  {
    std::lock_guard lock(mutex);
    links.push_back(data);
  }
  json answer = envelope(200, "OK");
  answer["data"] = data;
  return {200, std::move(answer)};
}

Reply LocalService::Impl::acknowledgeSession(const httplib::Request& req) {
  if (!authorized(req)) return {200, envelope(401, "Unauthorized")};
  json body = parseBodyOrNull(req.body);
  if (!body.is_object()) return {200, envelope(400, "Bad request")};
  const std::string token = req.get_header_value("Authorization");
  if (req.path == "/partner/session-deeplink") {
    noteDeepLink("session", token, body.value("deeplink", json()));
  } else {
    const std::int64_t atMs = wallClockMs(std::chrono::steady_clock::now());
    std::lock_guard lock(mutex);
    installations.noteDeviceReport(token, body, req.body.size(), atMs);
    ++version;
  }
  return {200, envelope(200, "OK")};
}

Reply LocalService::Impl::verifyDeeplink(const httplib::Request& req) {
  if (!authorized(req)) return {200, envelope(401, "Unauthorized")};
  json answer = envelope(200, "OK");
  {
    std::lock_guard lock(mutex);
    if (verifyData) answer["data"] = *verifyData;
  }
  // What the library takes from the answer: "deeplink" of "data"; none when there is none.
  const auto data = answer.find("data");
  noteDeepLink(
      "deferred", req.get_header_value("Authorization"),
      data != answer.end() && data->is_object() ? data->value("deeplink", json()) : json());
  return {200, std::move(answer)};
}

void LocalService::Impl::noteDeepLink(const char* kind, const std::string& token, json link) {
  const std::int64_t atMs = wallClockMs(std::chrono::steady_clock::now());
  std::lock_guard lock(mutex);
  // The client's bytes: a long one is kept as the start of its text.
  if (const std::string text = link.dump(-1, ' ', false, json::error_handler_t::replace);
      text.size() > kMaxDeepLinkBytes) {
    link = text.substr(0, kMaxDeepLinkBytes) + "\u2026";
  }
  deepLinks.push_back({{"kind", kind},
                       {"at", atMs},
                       {"deviceId", installations.deviceOf(token)},
                       {"link", std::move(link)}});
  if (deepLinks.size() > kRecentDeepLinks) deepLinks.pop_front();
  ++version;
}

Reply LocalService::Impl::logCrash(const httplib::Request& req) {
  if (!authorized(req)) return {200, envelope(401, "Unauthorized")};
  json body = parseBodyOrNull(req.body);
  for (const char* key :
       {"platform", "hash", "deviceModel", "osVersion", "appVersion", "stackTrace"}) {
    if (!body.is_object() || !isStringMember(body, key)) return {200, envelope(400, "Bad request")};
  }
  std::lock_guard lock(mutex);
  crashes.push_back(std::move(body));
  return {200, envelope(200, "OK")};
}

std::string LocalService::Impl::baseUrl() const {
  std::lock_guard lock(mutex);
  return urlWithPort(port);
}

std::int64_t LocalService::Impl::wallClockMs(std::chrono::steady_clock::time_point at) const {
  const auto wall = startedAtWallClock +
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(at - startedAt);
  return std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count();
}

std::string LocalService::Impl::urlWithPort(int portNumber) const {
  const bool secure = options.certificatePath && options.privateKeyPath;
  // A wildcard bind is reached through loopback.
  const std::string host = options.host == "0.0.0.0" ? "127.0.0.1" : options.host;
  return std::string(secure ? "https" : "http") + "://" + host + ":" + std::to_string(portNumber);
}

}  // namespace tavrel_mmp::tools
