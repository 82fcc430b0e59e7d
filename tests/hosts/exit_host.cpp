// Child process for process_exit_test: drives the HTTP transport around process exit and
// reports what it saw on standard output, one "key=value" per line.
//
//   untouched        never calls the library; reports its thread count
//   inflight-exit    20 requests the server never answers, then exit(0)
//   inflight-return  the same, then returns from main
//   busy-exit        completions keep sending, then exit(0) while traffic runs
//   sigmask          reports which threads block which signals once the worker runs

#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "support/loopback_socket.h"
#include "tavrel_mmp/platform/http_transport.h"

namespace {

using namespace std::chrono_literals;
using tavrel_mmp::platform::HttpRequest;
using tavrel_mmp::platform::httpTransport;
using tavrel_mmp::testing::boundLoopbackSocket;

// Trivially destructible: still valid on other threads while exit() runs.
std::atomic<int> received{0};
std::atomic<int> completed{0};
std::atomic<long> workerTid{0};

bool waitFor(const std::atomic<int>& counter, int atLeast) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (counter.load() < atLeast) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::string statusField(const std::string& path, const std::string& field) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return line.substr(line.find_first_not_of(" \t", field.size() + 1));
  }
  return "";
}

// Reads requests off one connection; answers each at once, or never (holding it in flight).
void serveConnection(int connection, bool answer) {
  static constexpr char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  std::string pending;
  char buffer[4096];
  for (ssize_t n; (n = ::read(connection, buffer, sizeof buffer)) > 0;) {
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t headEnd; (headEnd = pending.find("\r\n\r\n")) != std::string::npos;) {
      const std::size_t lengthAt = pending.find("Content-Length: ");
      const std::size_t bodyLength =
          lengthAt < headEnd ? std::stoul(pending.substr(lengthAt + 16)) : 0;
      if (pending.size() < headEnd + 4 + bodyLength) break;
      pending.erase(0, headEnd + 4 + bodyLength);
      ++received;
      if (answer) ::write(connection, kAnswer, sizeof kAnswer - 1);
    }
  }
  ::close(connection);
}

// A bare loopback server, one thread per connection. Deliberately not an HTTP library: its
// threads must not touch anything that exit() destroys, or the host could fail for reasons
// that have nothing to do with the transport.
int startServer(bool answer) {
  int port = 0;
  const int listener = boundLoopbackSocket(port);
  ::listen(listener, 64);
  std::thread([listener, answer] {
    for (int connection; (connection = ::accept(listener, nullptr, nullptr)) >= 0;) {
      std::thread(serveConnection, connection, answer).detach();
    }
  }).detach();
  return port;
}

HttpRequest requestTo(int port) {
  HttpRequest request;
  request.url = "http://127.0.0.1:" + std::to_string(port) + "/";
  request.body = "{}";
  return request;
}

void announceExit() {
  std::printf("completed=%d\nexiting\n", completed.load());
  std::fflush(stdout);
}

int inflight(bool viaExit) {
  const int port = startServer(false);
  for (int i = 0; i < 20; ++i) {
    httpTransport().send(requestTo(port), [](auto, auto) { ++completed; });
  }
  if (!waitFor(received, 4)) return 3;
  announceExit();
  if (viaExit) std::exit(0);
  return 0;
}

void keepSending(int port) {
  httpTransport().send(requestTo(port), [port](auto, auto) {
    ++completed;
    keepSending(port);
  });
}

int busyExit() {
  const int port = startServer(true);
  for (int i = 0; i < 8; ++i) keepSending(port);
  if (!waitFor(completed, 200)) return 3;
  announceExit();
  std::exit(0);
}

int reportSignalMasks() {
  // A bound socket that does not listen: the request fails fast, on the worker.
  int port = 0;
  boundLoopbackSocket(port);
  httpTransport().send(requestTo(port), [](auto, auto) {
    workerTid = static_cast<long>(::syscall(SYS_gettid));
    ++completed;
  });
  if (!waitFor(completed, 1)) return 3;

  auto blocks = [](std::uint64_t mask, int signal) { return ((mask >> (signal - 1)) & 1u) != 0; };
  int threads = 0;
  int blockingAllAsync = 0;
  std::map<std::string, int> facts;
  DIR* tasks = ::opendir("/proc/self/task");
  while (dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const std::string tid = entry->d_name;
    const std::uint64_t mask =
        std::stoull(statusField("/proc/self/task/" + tid + "/status", "SigBlk"), nullptr, 16);
    bool all = true;
    bool any = false;
    for (int signal : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD}) {
      all = all && blocks(mask, signal);
      any = any || blocks(mask, signal);
    }
    bool fault = false;
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
      fault = fault || blocks(mask, signal);
    }
    ++threads;
    blockingAllAsync += all ? 1 : 0;
    for (const auto& [who, id] : {std::pair<std::string, long>{"main", ::getpid()},
                                  std::pair<std::string, long>{"worker", workerTid.load()}}) {
      if (std::stol(tid) != id) continue;
      facts[who + "_blocks_all_async"] = all;
      facts[who + "_blocks_any_async"] = any;
      facts[who + "_blocks_any_fault"] = fault;
    }
  }
  ::closedir(tasks);
  // Other threads (a sanitizer's, say) may block everything; only main's and the worker's
  // masks are facts about the library.
  std::printf("threads=%d\nblocking_all_async=%d\n", threads, blockingAllAsync);
  for (const auto& [name, value] : facts) std::printf("%s=%d\n", name.c_str(), value);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "untouched") {
    std::printf("threads=%s\n", statusField("/proc/self/status", "Threads").c_str());
    return 0;
  }
  if (mode == "inflight-exit") return inflight(true);
  if (mode == "inflight-return") return inflight(false);
  if (mode == "busy-exit") return busyExit();
  if (mode == "sigmask") return reportSignalMasks();
  std::fprintf(stderr, "unknown mode \"%s\"\n", mode.c_str());
  return 2;
}
