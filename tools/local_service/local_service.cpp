// The service's lifecycle and its accessors for tests and the demo.
#include "local_service/local_service.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <iterator>

#include "local_service/json_nesting.h"
#include "local_service/local_service_impl.h"
#include "local_service/text.h"

namespace tavrel_mmp::tools {

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  const std::string wanted = lower(name);
  for (const auto& [key, value] : headers) {
    if (lower(key) == wanted) return value;
  }
  return std::nullopt;
}

nlohmann::json RecordedRequest::json() const {
  return parseBodyOrNull(body);
}

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
  server->set_payload_max_length(kMaxRequestBodyBytes);
  // Registered first, so they match before the catch-all and are not recorded.
  impl_->installLiveEndpoints(*server);
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
    // Writing to a connection the client has already closed raises SIGPIPE in the writing
    // thread. Blocked here, it stays pending in the service's threads, which inherit this mask,
    // and the host's disposition of SIGPIPE is left as it is.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
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
  std::vector<RecordedRequest> all;
  for (const auto& entry : impl_->requestLog.retained()) all.push_back(*entry.request);
  return all;
}

std::vector<RecordedRequest> LocalService::requests(const std::string& path) const {
  std::lock_guard lock(impl_->mutex);
  std::vector<RecordedRequest> matching;
  for (const auto& entry : impl_->requestLog.retained()) {
    if (entry.request->path == path) matching.push_back(*entry.request);
  }
  return matching;
}

std::map<std::string, PathTotals> LocalService::requestTotals() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requestLog.totals();
}

void LocalService::clearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requestLog.clear();
  ++impl_->version;
}

void LocalService::setRequestListener(std::function<void(const RecordedRequest&)> listener) {
  std::lock_guard lock(impl_->listenerMutex);
  impl_->listener = std::move(listener);
}

bool LocalService::waitForRequests(const std::string& path, std::size_t count,
                                   std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout,
                                 [&] { return impl_->requestLog.countFor(path) >= count; });
}

void LocalService::setFault(const std::string& path, Fault fault) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults[path] = fault;
  ++impl_->version;
}

void LocalService::clearFault(const std::string& path) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.erase(path);
  ++impl_->version;
}

void LocalService::clearAllFaults() {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.clear();
  ++impl_->version;
}

void LocalService::setAuthRefusal(std::optional<std::int64_t> responseCode) {
  std::lock_guard lock(impl_->mutex);
  impl_->authRefusal = responseCode;
}

void LocalService::setRefusedEventKey(std::optional<std::string> key, std::int64_t responseCode) {
  std::lock_guard lock(impl_->mutex);
  impl_->refusedEventKey = std::move(key);
  impl_->refusedEventCode = responseCode;
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
  ++impl_->version;
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
