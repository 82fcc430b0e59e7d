// The Linux HTTP transport against bare loopback peers and the local service.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/wait.h>

#include <condition_variable>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>

#include "support/child_process.h"
#include "support/scripted_server.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/curl_transport.h"

namespace tavrel_mmp {
namespace {

using namespace std::chrono_literals;
using platform::HttpRequest;
using Headers = std::vector<std::pair<std::string, std::string>>;
using testing::text;
using Server = testing::ScriptedServer;

struct Outcome {
  std::optional<std::vector<std::uint8_t>> body;
  std::optional<HttpError> error;
  std::thread::id thread;
  int calls = 0;
};

// Hands out completions and waits on the test thread until each was called, exactly once.
struct Outcomes {
  HttpCompletion next() {
    std::lock_guard lock(mutex);
    all.emplace_back();
    return [this, i = all.size() - 1](auto body, auto error) {
      std::lock_guard lock(mutex);
      all[i] = {std::move(body), std::move(error), std::this_thread::get_id(), all[i].calls + 1};
      ++calls;
      changed.notify_all();
    };
  }
  std::vector<Outcome> wait() {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 30s, [&] { return calls >= all.size(); });
    for (const Outcome& outcome : all) EXPECT_EQ(outcome.calls, 1);
    return all;
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Outcome> all;
  std::size_t calls = 0;
};

void expectCurlError(const Outcome& outcome, CURLcode code) {
  EXPECT_FALSE(outcome.body);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->domain, "curl");
  EXPECT_EQ(outcome.error->code, long(code)) << outcome.error->description;
}

// Sends `request` to a bare loopback peer that reads the request, writes `response` and hangs
// up. Gives the request as it went out on the wire, and what the transport made of the response.
std::pair<std::string, Outcome> roundTrip(platform::HttpTransport& transport, HttpRequest request,
                                          const std::string& response) {
  int port = 0;
  const int listener = testing::boundLoopbackSocket(port);
  ::listen(listener, 1);
  request.url = "http://127.0.0.1:" + std::to_string(port) + "/p";
  const std::size_t bodySize = request.body ? request.body->size() : 0;
  Outcomes outcomes;
  transport.send(std::move(request), outcomes.next());
  auto readable = [](int fd) {
    pollfd waiting{fd, POLLIN, 0};
    return ::poll(&waiting, 1, 10'000) == 1;
  };
  const int connection = readable(listener) ? ::accept(listener, nullptr, nullptr) : -1;
  std::string wire;
  char buffer[65536];
  while (wire.find("\r\n\r\n") == std::string::npos ||
         wire.size() < wire.find("\r\n\r\n") + 4 + bodySize) {
    const ssize_t n = readable(connection) ? ::read(connection, buffer, sizeof buffer) : 0;
    if (n <= 0) break;
    wire.append(buffer, std::size_t(n));
  }
  ::send(connection, response.data(), response.size(), MSG_NOSIGNAL);
  ::close(connection);
  ::close(listener);
  return {wire, outcomes.wait().front()};
}

TEST(HttpTransport, SendsExactlyTheGivenHeadersAndBody) {
  auto transport = platform::makeCurlTransport();
  // Past the size where curl would otherwise announce "Expect: 100-continue".
  const std::string large = std::string("a\0b\r\n", 5) + std::string(2 * 1024 * 1024, 'z');
  const std::pair<HttpRequest, std::string> rows[] = {
      // the request, the wire after "Host"
      {HttpRequest{}, "\r\nAccept: */*\r\nContent-Length: 0\r\n\r\n"},
      {{.headers = {{"Content-Type", "application/json"},
                    {"Authorization", "Bearer t0k=="},
                    {"x-signature", "k1=v1; k2=v2"},
                    {"X-Empty", ""}},
        .body = large},
       "\r\nAccept: */*\r\nContent-Type: application/json\r\nAuthorization: Bearer t0k==\r\n"
       "x-signature: k1=v1; k2=v2\r\nX-Empty:\r\nContent-Length: " +
           std::to_string(large.size()) + "\r\n\r\n" + large}};
  for (const auto& [request, tail] : rows) {
    const auto [wire, outcome] =
        roundTrip(*transport, request, Server::answer("", "204 No Content"));
    EXPECT_FALSE(outcome.error);
    EXPECT_TRUE(wire.starts_with("POST /p HTTP/1.1\r\nHost: 127.0.0.1:")) << wire.substr(0, 80);
    const std::size_t accept = std::min(wire.find("\r\nAccept"), wire.size());
    EXPECT_TRUE(wire.substr(accept) == tail) << wire.substr(0, 400);
  }
}

TEST(HttpTransport, FailuresArriveLaterAsErrorsAndTheWorkerCarriesOn) {
  tools::LocalService service;
  ASSERT_TRUE(service.start());
  const std::string ok = service.baseUrl() + "/partner/crash/log";
  int silentPort = 0, refusedPort = 0;
  const int silent = testing::boundLoopbackSocket(silentPort);  // listens, never accepts
  ::listen(silent, 1);
  const int refused = testing::boundLoopbackSocket(refusedPort);  // bound, not listening
  const CURLcode malformed = CURLE_BAD_FUNCTION_ARGUMENT;
  const std::vector<std::pair<HttpRequest, CURLcode>> rows = {
      {{.url = "http://127.0.0.1:" + std::to_string(refusedPort)}, CURLE_COULDNT_CONNECT},
      {{.url = "/partner/auth"}, CURLE_URL_MALFORMAT},
      {{.url = "http://127.0.0.1:" + std::to_string(silentPort), .timeoutSeconds = 0.3},
       CURLE_OPERATION_TIMEDOUT},
      // A header may neither smuggle in further lines nor be cut short at a NUL.
      {{.url = ok, .headers = {{"X-Id", "1\r\nAuthorization: forged"}}}, malformed},
      {{.url = ok, .headers = {{"X-Id\rX-Other", "1"}}}, malformed},
      {{.url = ok, .headers = {{"Authorization", std::string("tok\0forged", 10)}}}, malformed},
      {{.url = ok, .headers = {{std::string("X-Id\0Other", 10), "1"}}}, malformed}};
  auto transport = platform::makeCurlTransport();
  Outcomes outcomes;
  for (const auto& [request, code] : rows) transport->send(request, outcomes.next());
  const auto failures = outcomes.wait();
  ::close(refused);
  ::close(silent);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    expectCurlError(failures[i], rows[i].second);
    EXPECT_NE(failures[i].thread, std::this_thread::get_id());
  }
  EXPECT_TRUE(service.requests().empty()) << "a refused request went out";
  // A completion may send again, and may throw: the worker carries on either way.
  Outcomes after;
  transport->send({.url = ok}, [&, done = after.next()](auto, auto) {
    transport->send({.url = ok}, done);
    throw std::runtime_error("thrown by a completion");
  });
  EXPECT_TRUE(after.wait().front().body);
  EXPECT_EQ(service.requests().size(), 2u);
}

TEST(HttpTransport, ARequestReachesTheServiceAtMostOnce) {
  const HttpRequest rows[] = {{.body = R"({"n":1})"},
                              {},  // headers only: nothing for curl to rewind
                              {.body = std::string(2 * 1024 * 1024, 'z')},
                              {.method = "GET"}};
  for (const HttpRequest& row : rows) {
    SCOPED_TRACE(row.method + " with " + std::to_string(row.body ? row.body->size() : 0));
    // The first connection answers, then reads the next request and hangs up without a byte.
    // Should the request come again, a second connection answers it.
    Server server(
        {{Server::readRequest(), Server::write(Server::answer("first")), Server::readRequest()},
         {Server::readRequest(), Server::write(Server::answer("again"))}});
    auto transport = platform::makeCurlTransport();
    HttpRequest request = row;
    request.url = server.url();
    for (CURLcode expected : {CURLE_OK, CURLE_GOT_NOTHING}) {
      Outcomes outcomes;
      transport->send(request, outcomes.next());
      const Outcome outcome = outcomes.wait().front();
      if (expected == CURLE_OK) {
        ASSERT_TRUE(outcome.body) << outcome.error->description;
      } else {
        expectCurlError(outcome, expected);
      }
    }
    EXPECT_EQ(server.requests().size(), 2u);
  }
}

TEST(HttpTransport, AConnectionTheServiceLeftWhileIdleIsNotUsedAgain) {
  // How the service leaves: a bare close, or a parting answer first (as a TLS close_notify is,
  // which curl takes for a sign of life).
  for (const std::string& parting : {std::string(), Server::answer("", "408 Request Timeout")}) {
    SCOPED_TRACE(parting);
    std::vector<Server::Step> first = {Server::readRequest(),
                                       Server::write(Server::answer("first")), Server::hold()};
    if (!parting.empty()) first.push_back(Server::write(parting));
    Server server({first, {Server::readRequest(), Server::write(Server::answer("fresh"))}});
    auto transport = platform::makeCurlTransport();
    Outcomes before;
    transport->send({.url = server.url()}, before.next());
    ASSERT_TRUE(before.wait().front().body);
    server.release();
    ASSERT_TRUE(server.waitForFinishedScripts(1));  // the first connection is closed
    Outcomes after;
    transport->send({.url = server.url()}, after.next());
    const Outcome outcome = after.wait().front();
    ASSERT_TRUE(outcome.body) << outcome.error->description;
    EXPECT_EQ(text(*outcome.body), "fresh");
    EXPECT_EQ(server.requests().size(), 2u);
  }
}

TEST(HttpTransport, ATransportDestroyedMidTransferStillCompletesIt) {
  Server server({{Server::readRequest(), Server::hold(), Server::write(Server::answer("late"))}});
  auto transport = platform::makeCurlTransport();
  Outcomes outcomes;
  transport->send({.url = server.url()}, outcomes.next());
  ASSERT_TRUE(testing::waitUntil([&] { return server.requests().size() == 1; }));
  transport.reset();  // while the answer is held back
  server.release();
  const Outcome outcome = outcomes.wait().front();
  ASSERT_TRUE(outcome.body) << outcome.error->description;
  EXPECT_EQ(text(*outcome.body), "late");
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST(HttpTransport, RequestsFlowAgainOnceAShortageEnds) {
  tools::LocalService service;
  ASSERT_TRUE(service.start());
  testing::TempDir dir;
  testing::ChildProcess host(testing::testHostPath("test_host"),
                             {"shortage", dir.path(), service.baseUrl()});
  std::map<std::string, std::string> outcomes;
  while (const auto line = host.readLine(std::chrono::seconds(120))) {
    const auto space = line->find(' ');
    outcomes[line->substr(0, space)] = line->substr(space + 1);
  }
  const auto status = host.wait(5s);
  EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  const std::map<std::string, std::string> expected = {
      // With no thread to be had, the requests fail at once, on the caller's thread; so does
      // one sent from such a completion.
      {"/thread-refused", "calls=1 error caller"},
      {"/sent-from-failure", "calls=1 error caller"},
      {"/thread-back", "calls=1 body worker"},
      // Without descriptors no connection opens, and the worker's curl has no wake-up channel.
      {"/no-descriptors", "calls=1 error worker"},
      {"/no-descriptors-again", "calls=1 error worker"},
      {"/descriptors-back", "calls=1 body worker"},
      {"/descriptors-back-again", "calls=1 body worker"}};
  EXPECT_EQ(outcomes, expected);
  std::multiset<std::string> arrived;
  for (const auto& request : service.requests()) arrived.insert(request.path);
  EXPECT_EQ(arrived, (std::multiset<std::string>{"/descriptors-back", "/descriptors-back-again",
                                                 "/thread-back"}));
}

}  // namespace
}  // namespace tavrel_mmp
