#include "platform/curl/send_once.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace tavrel_mmp::platform {

namespace {

int portOf(curl_socket_t socket, bool peer) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? ::getpeername(socket, raw, &length) : ::getsockname(socket, raw, &length)) != 0) {
    return -1;
  }
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(raw)->sin_port);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(raw)->sin6_port);
  return -1;
}

}  // namespace

curl_socket_t ConnectionSockets::open(const curl_sockaddr& address) {
  // Close-on-exec: a child the host starts must not inherit the library's connections.
  const curl_socket_t socket =
      ::socket(address.family, address.socktype | SOCK_CLOEXEC, address.protocol);
  if (socket == CURL_SOCKET_BAD) return socket;
  try {
    open_.push_back(socket);
  } catch (...) {
    ::close(socket);
    return CURL_SOCKET_BAD;
  }
  return socket;
}

curl_socket_t ConnectionSockets::find(int localPort, int peerPort) const {
  for (const curl_socket_t socket : open_) {
    if (portOf(socket, false) == localPort && portOf(socket, true) == peerPort) return socket;
  }
  return CURL_SOCKET_BAD;
}

int ConnectionSockets::closeSocket(void* sockets, curl_socket_t socket) {
  auto& open = static_cast<ConnectionSockets*>(sockets)->open_;
  open.erase(std::remove(open.begin(), open.end(), socket), open.end());
  return ::close(socket);
}

CURLcode SendOnce::install(CURL* easy) {
  easy_ = easy;
  CURLcode rc = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(easy, option, value);
  };
  set(CURLOPT_OPENSOCKETFUNCTION, &SendOnce::openSocket);
  set(CURLOPT_OPENSOCKETDATA, static_cast<void*>(this));
  // A connection outlives the transfer that opened it; it is closed through the shared set.
  set(CURLOPT_CLOSESOCKETFUNCTION, &ConnectionSockets::closeSocket);
  set(CURLOPT_CLOSESOCKETDATA, static_cast<void*>(&sockets_));
  set(CURLOPT_PREREQFUNCTION, &SendOnce::beforeRequest);
  set(CURLOPT_PREREQDATA, static_cast<void*>(this));
  // The stale check reads a reused connection as idle, which holds while one connection
  // carries one request at a time.
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  return rc;
}

CURLcode SendOnce::rearmOnFreshConnection() {
  foundStale_ = false;
  return curl_easy_setopt(easy_, CURLOPT_FRESH_CONNECT, 1L);
}

curl_socket_t SendOnce::openSocket(void* guard, curlsocktype, curl_sockaddr* address) {
  auto* self = static_cast<SendOnce*>(guard);
  // Only a second attempt opens a connection once the request went out.
  if (self->sent_) {
    self->refusedResend_ = true;
    return CURL_SOCKET_BAD;
  }
  return self->sockets_.open(*address);
}

int SendOnce::beforeRequest(void* guard, char*, char*, int peerPort, int localPort) {
  auto* self = static_cast<SendOnce*>(guard);
  if (self->sent_) {
    self->refusedResend_ = true;
    return CURL_PREREQFUNC_ABORT;
  }
  if (self->reusedConnectionHasInput(localPort, peerPort)) {
    self->foundStale_ = true;
    return CURL_PREREQFUNC_ABORT;
  }
  if (self->stillWanted_ && !self->stillWanted_()) {
    self->withdrawn_ = true;
    return CURL_PREREQFUNC_ABORT;
  }
  self->sent_ = true;
  return CURL_PREREQFUNC_OK;
}

bool SendOnce::reusedConnectionHasInput(int localPort, int peerPort) const {
  long newConnections = 0;
  // A fresh connection may still hold handshake leftovers (TLS session tickets); it is sound.
  if (curl_easy_getinfo(easy_, CURLINFO_NUM_CONNECTS, &newConnections) != CURLE_OK ||
      newConnections > 0) {
    return false;
  }
  const curl_socket_t socket = sockets_.find(localPort, peerPort);
  if (socket == CURL_SOCKET_BAD) return false;
  pollfd waiting{socket, POLLIN | POLLRDHUP, 0};
  return ::poll(&waiting, 1, 0) > 0;
}

}  // namespace tavrel_mmp::platform
