#include "support/scripted_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

ScriptedServer::ScriptedServer(std::vector<std::vector<Step>> scripts, bool repeatLast)
    : scripts_(std::move(scripts)), repeatLast_(repeatLast) {
  listener_ = boundLoopbackSocket(port_);
  if (listener_ < 0 || ::listen(listener_, 8) != 0) throw std::runtime_error("no loopback port");
  thread_ = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    // Cuts blocking accepts, reads and writes short; the serving threads close the descriptors.
    ::shutdown(listener_, SHUT_RDWR);
    for (const int connection : open_) ::shutdown(connection, SHUT_RDWR);
  }
  changed_.notify_all();
  thread_.join();
  for (std::thread& player : players_) player.join();
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

const std::vector<ScriptedServer::Step>* ScriptedServer::scriptFor(std::size_t index) const {
  if (index < scripts_.size()) return &scripts_[index];
  return repeatLast_ && !scripts_.empty() ? &scripts_.back() : nullptr;
}

void ScriptedServer::serve() {
  for (std::size_t served = 0;; ++served) {
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      ::close(connection);
      return;
    }
    open_.push_back(connection);
    const std::vector<Step>* script = scriptFor(served);
    players_.emplace_back([this, connection, script] {
      if (script != nullptr) play(connection, *script);
      finish(connection, script != nullptr);
    });
  }
}

void ScriptedServer::finish(int connection, bool scripted) {
  std::lock_guard<std::mutex> lock(mutex_);
  ::close(connection);
  open_.erase(std::find(open_.begin(), open_.end(), connection));
  if (scripted) ++finishedScripts_;
  changed_.notify_all();
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
      case Step::Kind::trickle:
        if (!trickle(connection, step)) return;
        break;
      case Step::Kind::hold: {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return released_ || stopping_; });
        if (stopping_) return;
        break;
      }
      case Step::Kind::reset: {
        // Closing with a zero linger time discards what is unsent and sends a reset.
        const linger abort{.l_onoff = 1, .l_linger = 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        return;
      }
    }
  }
}

bool ScriptedServer::trickle(int connection, const Step& step) {
  for (const char byte : step.bytes) {
    if (::send(connection, &byte, 1, MSG_NOSIGNAL) != 1) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    if (changed_.wait_for(lock, step.interval, [&] { return stopping_; })) return false;
  }
  return true;
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
