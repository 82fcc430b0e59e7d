#pragma once

// Keeps libcurl (7.88) from sending one request more than once.
//
// When a reused connection dies before any answer, curl silently sends the same request again
// on another connection, and again if that one dies too. The service may well have read and acted
// on it the first time, so a transfer here sends its request once: curl's later attempts, whether
// they open a connection or take another pooled one, end the transfer instead.
//
// That alone would turn a connection the service closed while idle into a failed request when
// the close went unnoticed: curl 7.88 takes a pooled connection with unread input (a TLS
// close_notify, a parting "408") for alive. So before the request goes out on a reused
// connection, input waiting on it marks the connection stale: the transfer ends unsent and may
// be started again on a fresh connection.

#include <curl/curl.h>

#include <functional>
#include <vector>

namespace tavrel_mmp::platform {

// The sockets of the connections one multi (or easy) handle holds. Used on the thread driving
// the handle only. It must outlive the handle: curl closes pooled connections through it.
class ConnectionSockets {
 public:
  ConnectionSockets() = default;
  ConnectionSockets(const ConnectionSockets&) = delete;
  ConnectionSockets& operator=(const ConnectionSockets&) = delete;

  curl_socket_t open(const curl_sockaddr& address);
  // The socket between these two ports, or CURL_SOCKET_BAD.
  curl_socket_t find(int localPort, int peerPort) const;
  static int closeSocket(void* sockets, curl_socket_t socket);

 private:
  std::vector<curl_socket_t> open_;
};

// One transfer's guard. Lives as long as the easy handle it is installed on.
class SendOnce {
 public:
  explicit SendOnce(ConnectionSockets& sockets) : sockets_(sockets) {}
  // Asked before the request first goes out; false ends the transfer unsent.
  void setStillWanted(std::function<bool()> stillWanted) { stillWanted_ = std::move(stillWanted); }
  SendOnce(const SendOnce&) = delete;
  SendOnce& operator=(const SendOnce&) = delete;

  // Installs its callbacks on `easy`, and HTTP/1.1, which the stale check relies on.
  CURLcode install(CURL* easy);
  // The transfer ended because curl went to send the request a second time.
  bool refusedResend() const { return refusedResend_; }
  // The transfer ended unsent because its request was no longer wanted.
  bool withdrawn() const { return withdrawn_; }
  // The transfer ended unsent because the pooled connection curl picked was stale.
  bool foundStaleConnection() const { return foundStale_; }
  // Before the same transfer starts again after a stale connection: on a fresh one.
  CURLcode rearmOnFreshConnection();

 private:
  static curl_socket_t openSocket(void* guard, curlsocktype purpose, curl_sockaddr* address);
  static int beforeRequest(void* guard, char* peerIp, char* localIp, int peerPort, int localPort);
  bool reusedConnectionHasInput(int localPort, int peerPort) const;

  ConnectionSockets& sockets_;
  CURL* easy_ = nullptr;
  bool sent_ = false;
  bool refusedResend_ = false;
  bool foundStale_ = false;
  bool withdrawn_ = false;
  std::function<bool()> stillWanted_;
};

}  // namespace tavrel_mmp::platform
