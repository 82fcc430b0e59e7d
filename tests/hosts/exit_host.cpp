// Child process for process_exit_test: drives the HTTP transport around process exit and
// reports what it saw on standard output, one "key=value" per line.
//   untouched  never calls the library; reports its thread count
//   inflight   20 requests a server never answers, "exiting", then exit(0)
//   sigmask    the blocked-signal masks (hexadecimal) of the main thread and the transport's
//              worker

#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "support/loopback_socket.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/http_transport.h"

namespace {

using tavrel_mmp::platform::httpTransport;

// Trivially destructible: still valid on other threads while exit() runs.
std::atomic<int> accepted{0};
std::atomic<int> completed{0};
std::atomic<long> workerTid{0};

std::string statusField(const std::string& path, const std::string& field) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(field + ":"))
      return line.substr(line.find_first_not_of(" \t", field.size() + 1));
  }
  return "";
}

tavrel_mmp::platform::HttpRequest requestTo(int port) {
  return {.url = "http://127.0.0.1:" + std::to_string(port) + "/", .body = "{}"};
}

int inflight() {
  // Accepts connections and never reads from them: every request stays in flight.
  int port = 0;
  const int listener = tavrel_mmp::testing::boundLoopbackSocket(port);
  ::listen(listener, 64);
  std::thread([listener] {
    while (::accept(listener, nullptr, nullptr) >= 0) ++accepted;
  }).detach();
  for (int i = 0; i < 20; ++i)
    httpTransport().send(requestTo(port), [](auto, auto) { ++completed; });
  if (!tavrel_mmp::testing::waitUntil([] { return accepted >= 4; })) return 3;
  std::printf("completed=%d\nexiting\n", completed.load());
  std::fflush(stdout);
  std::exit(0);
}

int reportSignalMasks() {
  // A bound socket that does not listen: the request fails fast, on the worker.
  int port = 0;
  tavrel_mmp::testing::boundLoopbackSocket(port);
  httpTransport().send(requestTo(port), [](auto, auto) {
    workerTid = static_cast<long>(::syscall(SYS_gettid));
    ++completed;
  });
  if (!tavrel_mmp::testing::waitUntil([] { return completed >= 1; })) return 3;
  for (const auto& [who, tid] :
       {std::pair<const char*, long>{"main", ::getpid()}, {"worker", workerTid.load()}}) {
    const std::string status = "/proc/self/task/" + std::to_string(tid) + "/status";
    std::printf("%s=%s\n", who, statusField(status, "SigBlk").c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "untouched") {
    std::printf("threads=%s\n", statusField("/proc/self/status", "Threads").c_str());
    return 0;
  }
  if (mode == "inflight") return inflight();
  if (mode == "sigmask") return reportSignalMasks();
  return 2;
}
