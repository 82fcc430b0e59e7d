#include "support/scripted_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <stdexcept>

#include "support/test_support.h"

namespace tavrel_mmp::testing {

namespace {

// The body length a request's headers announce (0 when they announce none).
std::size_t contentLength(const std::string& headers) {
  std::size_t at = 0;
  while ((at = headers.find("\r\n", at)) != std::string::npos) {
    at += 2;
    const std::string name = "content-length:";
    if (headers.size() - at < name.size()) break;
    bool matches = true;
    for (std::size_t i = 0; i < name.size() && matches; ++i)
      matches = std::tolower(static_cast<unsigned char>(headers[at + i])) == name[i];
    if (matches) return std::strtoull(headers.c_str() + at + name.size(), nullptr, 10);
  }
  return 0;
}

}  // namespace

std::string ScriptedServer::answer(const std::string& body, const std::string& status) {
  return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

ScriptedServer::ScriptedServer(std::vector<std::vector<Step>> scripts)
    : scripts_(std::move(scripts)) {
  listener_ = boundLoopbackSocket(port_);
  if (listener_ < 0 || ::listen(listener_, 8) != 0) throw std::runtime_error("no loopback port");
  thread_ = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    // Cuts a blocking accept or read short; the serving thread closes the descriptors.
    ::shutdown(listener_, SHUT_RDWR);
    if (connection_ >= 0) ::shutdown(connection_, SHUT_RDWR);
  }
  changed_.notify_all();
  thread_.join();
  ::close(listener_);
}

std::string ScriptedServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> ScriptedServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void ScriptedServer::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  released_ = true;
  changed_.notify_all();
}

bool ScriptedServer::waitForFinishedScripts(std::size_t count,
                                            std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return finishedScripts_ >= count; });
}

void ScriptedServer::serve() {
  for (std::size_t served = 0;; ++served) {
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) {
        ::close(connection);
        return;
      }
      connection_ = connection;
    }
    if (served < scripts_.size()) play(connection, scripts_[served]);
    std::lock_guard<std::mutex> lock(mutex_);
    ::close(connection);
    connection_ = -1;
    if (served < scripts_.size()) ++finishedScripts_;
    changed_.notify_all();
  }
}

void ScriptedServer::play(int connection, const std::vector<Step>& script) {
  for (const Step& step : script) {
    switch (step.kind) {
      case Step::Kind::readRequest:
        if (!readOneRequest(connection)) return;
        break;
      case Step::Kind::write:
        if (::send(connection, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(step.bytes.size())) {
          return;
        }
        break;
      case Step::Kind::hold: {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return released_ || stopping_; });
        if (stopping_) return;
        break;
      }
    }
  }
}

bool ScriptedServer::readOneRequest(int connection) {
  std::string wire;
  char buffer[65536];
  for (;;) {
    const std::size_t headersEnd = wire.find("\r\n\r\n");
    if (headersEnd != std::string::npos &&
        wire.size() >= headersEnd + 4 + contentLength(wire.substr(0, headersEnd + 2))) {
      break;
    }
    const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    wire.append(buffer, static_cast<std::size_t>(n));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(std::move(wire));
  return true;
}

}  // namespace tavrel_mmp::testing
