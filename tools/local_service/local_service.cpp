#include "local_service/local_service.h"

#include <httplib.h>
#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace tavrel_mmp::tools {
namespace {

using nlohmann::json;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

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

json parseOrNull(const std::string& text) {
  json parsed = json::parse(text, nullptr, false);
  return parsed.is_discarded() ? json(nullptr) : parsed;
}

json envelope(std::int64_t code, const std::string& text) {
  return {{"responseCode", code}, {"responseText", text}};
}

bool isStringMember(const json& object, const char* key) {
  return object.contains(key) && object[key].is_string();
}

// Pseudo-headers httplib adds about the peer; they were not sent by the client.
bool isConnectionInfo(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

struct Reply {
  int httpStatus = 200;
  json body;
};

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

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  const std::string wanted = lower(name);
  for (const auto& [key, value] : headers) {
    if (lower(key) == wanted) return value;
  }
  return std::nullopt;
}

nlohmann::json RecordedRequest::json() const {
  return parseOrNull(body);
}

struct LocalService::Impl {
  using Route = Reply (Impl::*)(const httplib::Request&);

  explicit Impl(LocalServiceOptions o) : options(std::move(o)) {}

  const LocalServiceOptions options;

  std::mutex lifecycle;  // serialises start() and stop()
  std::unique_ptr<httplib::Server> server;
  std::thread thread;

  mutable std::mutex mutex;
  // Signalled when a request or event arrives and when stop() begins.
  mutable std::condition_variable changed;
  int port = 0;
  bool stopping = false;
  std::vector<RecordedRequest> requests;
  std::map<std::string, Fault> faults;
  std::optional<std::int64_t> authRefusal;
  std::optional<std::int64_t> deeplinkExpired = 7;
  std::int64_t sessionExpireTimeInSeconds = 86400;
  std::vector<std::string> tokens;
  std::map<std::string, StoredEvent> events;
  std::size_t duplicates = 0;
  std::optional<json> heartbeatData = json{{"second", 30}};
  std::vector<json> links;  // the "data" of every link answer
  std::optional<json> verifyData = json::object();
  std::vector<json> crashes;

  // Held across recording and notifying so the listener sees requests in arrival order.
  std::mutex listenerMutex;
  std::function<void(const RecordedRequest&)> listener;

  static const std::map<std::string, Route>& routes() {
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

  void handle(const httplib::Request& req, httplib::Response& res) {
    record(req);
    if (const std::optional<Fault> fault = takeFault(req.path)) {
      switch (fault->kind) {
        case Fault::Kind::responseCode:
          return send(res, {fault->httpStatus, envelope(fault->responseCode, "Injected failure")});
        case Fault::Kind::notJson:
          res.set_content("<html>garbage</html>", "text/html");
          return;
        case Fault::Kind::closeConnection:
          // httplib cannot drop a connection from a handler, but a provider that fails before
          // writing the promised body makes it close the socket, leaving the client short.
          res.set_content_provider(
              64, "application/json",
              [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
          return;
        case Fault::Kind::delay:
          sleepUnlessStopped(fault->delaySeconds);
          break;
      }
    }
    const auto route = routes().find(req.path);
    if (req.method != "POST" || route == routes().end()) {
      return send(res, {404, envelope(404, "Not found")});
    }
    send(res, (this->*route->second)(req));
  }

  static void send(httplib::Response& res, const Reply& reply) {
    res.status = reply.httpStatus;
    res.set_content(reply.body.dump(), "application/json");
  }

  void record(const httplib::Request& req) {
    RecordedRequest recorded{req.method, req.path, {}, req.body};
    for (const auto& [name, value] : req.headers) {
      if (!isConnectionInfo(name)) recorded.headers.emplace_back(lower(name), value);
    }
    std::lock_guard listenerLock(listenerMutex);
    {
      std::lock_guard lock(mutex);
      requests.push_back(recorded);
    }
    changed.notify_all();
    if (listener) listener(recorded);
  }

  std::optional<Fault> takeFault(const std::string& path) {
    std::lock_guard lock(mutex);
    const auto found = faults.find(path);
    if (found == faults.end()) return std::nullopt;
    Fault fault = found->second;
    if (fault.times == 0 || (fault.times > 0 && --found->second.times == 0)) faults.erase(found);
    if (fault.times == 0) return std::nullopt;
    return fault;
  }

  void sleepUnlessStopped(double seconds) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stopping; });
  }

  bool authorized(const httplib::Request& req) const {
    if (!req.has_header("Authorization")) return false;
    const std::string token = req.get_header_value("Authorization");
    std::lock_guard lock(mutex);
    return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
  }

  Reply authenticate(const httplib::Request& req) {
    const Reply invalid{200, envelope(401, "Invalid signature")};
    const json body = parseOrNull(req.body);
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

    std::lock_guard lock(mutex);
    if (authRefusal) return {200, envelope(*authRefusal, "Refused")};
    const std::string token = randomHex(32);
    tokens.push_back(token);
    json data = {{"sessionId", randomHex(16)},
                 {"token", token},
                 {"sessionExpireTimeInSeconds", sessionExpireTimeInSeconds}};
    if (deeplinkExpired) data["deeplinkExpired"] = *deeplinkExpired;
    json answer = envelope(200, "OK");
    answer["data"] = std::move(data);
    return {200, std::move(answer)};
  }

  Reply logEvents(const httplib::Request& req) {
    if (!authorized(req)) return {200, envelope(401, "Unauthorized")};
    const json body = parseOrNull(req.body);
    const Reply bad{200, envelope(400, "Bad request")};
    if (!body.is_object() || !body.contains("events") || !body["events"].is_array()) return bad;
    for (const json& event : body["events"]) {
      if (!event.is_object() || !isStringMember(event, "id")) return bad;
    }
    const std::string token = req.get_header_value("Authorization");
    {
      std::lock_guard lock(mutex);
      for (const json& event : body["events"]) {
        const auto [stored, inserted] =
            events.try_emplace(event["id"].get<std::string>(), StoredEvent{event, token, 0});
        if (!inserted) ++duplicates;
        ++stored->second.timesReceived;
      }
    }
    changed.notify_all();
    return {200, envelope(200, "OK")};
  }

  Reply heartbeat(const httplib::Request& req) {
    if (!authorized(req)) return {200, envelope(401, "Unauthorized")};
    json answer = envelope(200, "OK");
    std::lock_guard lock(mutex);
    if (heartbeatData) answer["data"] = *heartbeatData;
    return {200, std::move(answer)};
  }

  Reply createLink(const httplib::Request& req) {
    if (!authorized(req)) return {200, envelope(401, "Unauthorized")};
    const auto parameters = linkParameters(parseOrNull(req.body));
    if (!parameters) return {200, envelope(400, "Bad request")};
    std::string query;
    for (const auto& [key, value] : *parameters) {
      if (!query.empty()) query += '&';
      query += percentEncode(key) + '=' + percentEncode(value);
    }
    return madeLink(baseUrl() + "/s/" + randomHex(4), baseUrl() + "/l?" + query);
  }

  Reply shortenLink(const httplib::Request& req) {
    if (!authorized(req)) return {200, envelope(401, "Unauthorized")};
    const json body = parseOrNull(req.body);
    if (!body.is_object() || !isStringMember(body, "name") ||
        !isStringMember(body, "short_link_id") || !isStringMember(body, "redirect_url")) {
      return {200, envelope(400, "Bad request")};
    }
    std::string slug = body["short_link_id"];
    if (slug.empty()) slug = randomHex(4);
    return madeLink(baseUrl() + "/s/" + percentEncode(slug), body["redirect_url"]);
  }

  Reply madeLink(const std::string& shortLink, const std::string& longLink) {
    const json data = {{"short_link", shortLink}, {"long_link", longLink}};
    {
      std::lock_guard lock(mutex);
      links.push_back(data);
    }
    json answer = envelope(200, "OK");
    answer["data"] = data;
    return {200, std::move(answer)};
  }

  Reply acknowledgeSession(const httplib::Request& req) {
    if (!authorized(req)) return {200, envelope(401, "Unauthorized")};
    if (!parseOrNull(req.body).is_object()) return {200, envelope(400, "Bad request")};
    return {200, envelope(200, "OK")};
  }

  Reply verifyDeeplink(const httplib::Request& req) {
    if (!authorized(req)) return {200, envelope(401, "Unauthorized")};
    json answer = envelope(200, "OK");
    std::lock_guard lock(mutex);
    if (verifyData) answer["data"] = *verifyData;
    return {200, std::move(answer)};
  }

  Reply logCrash(const httplib::Request& req) {
    if (!authorized(req)) return {200, envelope(401, "Unauthorized")};
    const json body = parseOrNull(req.body);
    for (const char* key :
         {"platform", "hash", "deviceModel", "osVersion", "appVersion", "stackTrace"}) {
      if (!body.is_object() || !isStringMember(body, key))
        return {200, envelope(400, "Bad request")};
    }
    std::lock_guard lock(mutex);
    crashes.push_back(body);
    return {200, envelope(200, "OK")};
  }

  std::string baseUrl() const {
    const bool secure = options.certificatePath && options.privateKeyPath;
    // A wildcard bind is reached through loopback.
    const std::string host = options.host == "0.0.0.0" ? "127.0.0.1" : options.host;
    std::lock_guard lock(mutex);
    return std::string(secure ? "https" : "http") + "://" + host + ":" + std::to_string(port);
  }
};

LocalService::LocalService(LocalServiceOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

LocalService::~LocalService() {
  stop();
}

bool LocalService::start() {
  std::lock_guard lifecycle(impl_->lifecycle);
  if (impl_->server) return true;
  const LocalServiceOptions& options = impl_->options;
  std::unique_ptr<httplib::Server> server;
  if (options.certificatePath && options.privateKeyPath) {
    // TLS writes go through write(2), which raises SIGPIPE when a client has already gone.
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      std::signal(SIGPIPE, SIG_IGN);
    }
    server = std::make_unique<httplib::SSLServer>(options.certificatePath->c_str(),
                                                  options.privateKeyPath->c_str());
  } else {
    server = std::make_unique<httplib::Server>();
  }
  if (!server->is_valid()) return false;
  // httplib's default also sets SO_REUSEPORT, which would let a second service share the port.
  server->set_socket_options([](socket_t sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // Idle keep-alive connections hold a worker until this passes, which would delay stop().
  server->set_keep_alive_timeout(1);
  // Headers and body leave in separate writes; without this, Nagle and delayed ACKs add tens
  // of milliseconds to every answer.
  server->set_tcp_nodelay(true);
  const httplib::Server::Handler handler = [impl = impl_.get()](const httplib::Request& req,
                                                                httplib::Response& res) {
    impl->handle(req, res);
  };
  const std::string anything = ".*";
  server->Post(anything, handler)
      .Get(anything, handler)
      .Put(anything, handler)
      .Patch(anything, handler)
      .Delete(anything, handler)
      .Options(anything, handler);

  int port = options.port != 0 ? options.port : this->port();
  if (port != 0) {
    if (!server->bind_to_port(options.host, port)) return false;
  } else {
    port = server->bind_to_any_port(options.host);
    if (port < 0) return false;
  }

  auto finished = std::make_shared<std::atomic<bool>>(false);
  impl_->thread = std::thread([s = server.get(), finished] {
    s->listen_after_bind();
    *finished = true;
  });
  while (!server->is_running() && !*finished) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!server->is_running()) {
    impl_->thread.join();
    return false;
  }
  {
    std::lock_guard lock(impl_->mutex);
    impl_->port = port;
    impl_->stopping = false;
  }
  impl_->server = std::move(server);
  return true;
}

void LocalService::stop() {
  std::lock_guard lifecycle(impl_->lifecycle);
  if (!impl_->server) return;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->changed.notify_all();
  impl_->server->stop();
  impl_->thread.join();
  impl_->server.reset();
}

int LocalService::port() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->port;
}

std::string LocalService::baseUrl() const {
  return impl_->baseUrl();
}

std::vector<RecordedRequest> LocalService::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

std::vector<RecordedRequest> LocalService::requests(const std::string& path) const {
  std::lock_guard lock(impl_->mutex);
  std::vector<RecordedRequest> matching;
  std::copy_if(impl_->requests.begin(), impl_->requests.end(), std::back_inserter(matching),
               [&](const RecordedRequest& r) { return r.path == path; });
  return matching;
}

void LocalService::clearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
}

void LocalService::setRequestListener(std::function<void(const RecordedRequest&)> listener) {
  std::lock_guard lock(impl_->listenerMutex);
  impl_->listener = std::move(listener);
}

bool LocalService::waitForRequests(const std::string& path, std::size_t count,
                                   std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] {
    return static_cast<std::size_t>(
               std::count_if(impl_->requests.begin(), impl_->requests.end(),
                             [&](const RecordedRequest& r) { return r.path == path; })) >= count;
  });
}

void LocalService::setFault(const std::string& path, Fault fault) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults[path] = fault;
}

void LocalService::clearFault(const std::string& path) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.erase(path);
}

void LocalService::clearAllFaults() {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.clear();
}

void LocalService::setAuthRefusal(std::optional<std::int64_t> responseCode) {
  std::lock_guard lock(impl_->mutex);
  impl_->authRefusal = responseCode;
}

void LocalService::setDeeplinkExpired(std::optional<std::int64_t> days) {
  std::lock_guard lock(impl_->mutex);
  impl_->deeplinkExpired = days;
}

void LocalService::setSessionExpireTimeInSeconds(std::int64_t seconds) {
  std::lock_guard lock(impl_->mutex);
  impl_->sessionExpireTimeInSeconds = seconds;
}

std::vector<std::string> LocalService::grantedTokens() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->tokens;
}

std::size_t LocalService::grantedSessionCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->tokens.size();
}

std::map<std::string, StoredEvent> LocalService::events() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->events;
}

std::size_t LocalService::acceptedEventCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->events.size();
}

std::size_t LocalService::duplicateEventCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->duplicates;
}

bool LocalService::waitForEvents(std::size_t distinctCount,
                                 std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout,
                                 [&] { return impl_->events.size() >= distinctCount; });
}

std::vector<nlohmann::json> LocalService::linksMade() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->links;
}

void LocalService::setHeartbeatData(std::optional<nlohmann::json> data) {
  std::lock_guard lock(impl_->mutex);
  impl_->heartbeatData = std::move(data);
}

void LocalService::setVerifyData(std::optional<nlohmann::json> data) {
  std::lock_guard lock(impl_->mutex);
  impl_->verifyData = std::move(data);
}

std::vector<nlohmann::json> LocalService::crashReports() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->crashes;
}

}  // namespace tavrel_mmp::tools
