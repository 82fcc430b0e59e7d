#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "local_service/local_service.h"
#include "support/loopback_socket.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/http_transport.h"

namespace tavrel_mmp::platform {
namespace {

using namespace std::chrono_literals;
using tavrel_mmp::testing::boundLoopbackSocket;
using tavrel_mmp::testing::text;

struct Outcome {
  std::optional<std::vector<std::uint8_t>> body;
  std::optional<HttpError> error;
  std::thread::id thread;
};

// Collects completions for the test thread.
class Outcomes {
 public:
  HttpCompletion completion() {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t index = outcomes_.size();
    outcomes_.emplace_back();
    return [this, index](auto body, auto error) {
      std::lock_guard<std::mutex> lock(mutex_);
      outcomes_[index].push_back({std::move(body), std::move(error), std::this_thread::get_id()});
      changed_.notify_all();
    };
  }
  // Waits until every completion handed out was called, then returns each one's only call.
  std::vector<Outcome> wait(std::chrono::milliseconds timeout = 15s) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] {
      for (const auto& calls : outcomes_) {
        if (calls.empty()) return false;
      }
      return true;
    });
    std::vector<Outcome> result;
    for (const auto& calls : outcomes_) {
      EXPECT_EQ(calls.size(), 1u) << "a completion must be called exactly once";
      result.push_back(calls.empty() ? Outcome{} : calls.front());
    }
    return result;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<Outcome>> outcomes_;
};

Outcome sendAndWait(HttpTransport& transport, HttpRequest request) {
  Outcomes outcomes;
  transport.send(std::move(request), outcomes.completion());
  return outcomes.wait().front();
}

HttpRequest post(std::string url, std::optional<std::string> body = std::nullopt) {
  HttpRequest request;
  request.url = std::move(url);
  request.body = std::move(body);
  return request;
}

struct Received {
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

// An httplib server on a free loopback port with the routes the tests use.
class LoopbackServer {
 public:
  LoopbackServer() : server_(std::make_unique<httplib::Server>()) {
    route("/echo", [](const httplib::Request& request, httplib::Response& response) {
      response.set_content(request.body, "application/octet-stream");
    });
    route("/error", [](const httplib::Request&, httplib::Response& response) {
      response.status = 500;
      response.set_content(R"({"responseCode":500})", "application/json");
    });
    route("/empty",
          [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
    route("/redirect", [](const httplib::Request&, httplib::Response& response) {
      response.status = 302;
      response.set_header("Location", "/echo");
      response.set_content("moved", "text/plain");
    });
    route("/sized", [](const httplib::Request& request, httplib::Response& response) {
      response.set_content(std::string(std::stoul(request.get_param_value("n")), 'x'),
                           "text/plain");
    });
    route("/chunked", [](const httplib::Request& request, httplib::Response& response) {
      const std::size_t n = std::stoul(request.get_param_value("n"));
      response.set_chunked_content_provider(
          "text/plain", [n](std::size_t, httplib::DataSink& sink) {
            const std::string chunk(512, 'y');
            for (std::size_t sent = 0; sent < n && sink.write(chunk.data(), chunk.size());
                 sent += 512) {
            }
            sink.done();
            return true;
          });
    });
    // Answers once the test releases it (or after 2 s).
    route("/hold", [this](const httplib::Request&, httplib::Response& response) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, 2s, [&] { return released_; });
      response.set_content("released", "text/plain");
    });
    auto& s = *server_;
    s.set_tcp_nodelay(true);  // otherwise Nagle's delay paces every answer
    port_ = s.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([&s] { s.listen_after_bind(); });
    EXPECT_GT(port_, 0);
    EXPECT_TRUE(tavrel_mmp::testing::waitUntil([&s] { return s.is_running(); }));
  }
  ~LoopbackServer() {
    release();
    server_->stop();
    thread_.join();
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<Received> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  void route(const std::string& path, httplib::Server::Handler handler) {
    server_->Post(path,
                  [this, handler](const httplib::Request& request, httplib::Response& response) {
                    record(request);
                    handler(request, response);
                  });
  }
  void record(const httplib::Request& request) {
    Received entry{request.path, {}, request.body};
    for (const auto& [name, value] : request.headers) {
      // httplib's own pseudo-headers, not sent by the client.
      if (name.starts_with("REMOTE_") || name.starts_with("LOCAL_")) continue;
      entry.headers.emplace_back(name, value);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(std::move(entry));
    changed_.notify_all();
  }

  std::unique_ptr<httplib::Server> server_;
  int port_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool released_ = false;
  std::vector<Received> received_;
};

class CurlTransportTest : public ::testing::Test {
 protected:
  LoopbackServer server_;
  std::shared_ptr<HttpTransport> transport_ = makeCurlTransport();
};

void expectCurlError(const Outcome& outcome, CURLcode code) {
  EXPECT_FALSE(outcome.body.has_value());
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->domain, "curl");
  EXPECT_EQ(outcome.error->code, static_cast<long>(code)) << outcome.error->description;
  EXPECT_NE(outcome.error->description.find(curl_easy_strerror(code)), std::string::npos);
}

TEST_F(CurlTransportTest, AnyResponseArrivesAsABodyWhateverItsStatus) {
  Outcome ok = sendAndWait(*transport_, post(server_.url("/echo"), "hello"));
  EXPECT_FALSE(ok.error.has_value());
  ASSERT_TRUE(ok.body.has_value());
  EXPECT_EQ(text(*ok.body), "hello");

  Outcome failed = sendAndWait(*transport_, post(server_.url("/error")));
  EXPECT_FALSE(failed.error.has_value());
  ASSERT_TRUE(failed.body.has_value());
  EXPECT_EQ(text(*failed.body), R"({"responseCode":500})");

  Outcome empty = sendAndWait(*transport_, post(server_.url("/empty")));
  EXPECT_FALSE(empty.error.has_value());
  ASSERT_TRUE(empty.body.has_value());
  EXPECT_TRUE(empty.body->empty());

  // Redirects are answers too: not followed.
  Outcome moved = sendAndWait(*transport_, post(server_.url("/redirect")));
  ASSERT_TRUE(moved.body.has_value());
  EXPECT_EQ(text(*moved.body), "moved");
  EXPECT_EQ(server_.received().size(), 4u);
}

bool readable(int fd) {
  pollfd waiting{fd, POLLIN, 0};
  return ::poll(&waiting, 1, 10000) == 1;
}

// Accepts one connection and reads one request from it: the head and the body it announces.
std::pair<int, std::string> acceptRequest(int listener) {
  std::string wire;
  if (!readable(listener)) return {-1, wire};
  const int connection = ::accept(listener, nullptr, nullptr);
  std::size_t expected = std::string::npos;
  char buffer[4096];
  while (wire.size() < expected && readable(connection)) {
    const ssize_t n = ::read(connection, buffer, sizeof buffer);
    if (n <= 0) break;
    wire.append(buffer, static_cast<std::size_t>(n));
    const std::size_t headEnd = wire.find("\r\n\r\n");
    const std::size_t lengthAt = wire.find("Content-Length: ");
    if (headEnd != std::string::npos && lengthAt < headEnd) {
      expected = headEnd + 4 + std::stoul(wire.substr(lengthAt + 16));
    }
  }
  return {connection, wire};
}

void answer(int connection, const std::string& response) {
  EXPECT_EQ(::write(connection, response.data(), response.size()), ssize_t(response.size()));
}

// Sends `request` to a bare listener and returns the bytes that arrived, exactly as sent.
std::string wireBytes(HttpTransport& transport, HttpRequest request) {
  int port = 0;
  const int listener = boundLoopbackSocket(port);
  ::listen(listener, 1);
  request.url = "http://127.0.0.1:" + std::to_string(port) + "/p";
  Outcomes outcomes;
  transport.send(std::move(request), outcomes.completion());
  const auto [connection, wire] = acceptRequest(listener);
  answer(connection, "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
  EXPECT_FALSE(outcomes.wait().front().error.has_value());
  ::close(connection);
  ::close(listener);
  return wire;
}

TEST_F(CurlTransportTest, SendsExactlyTheGivenHeadersAndBody) {
  const std::string noHeaders = wireBytes(*transport_, HttpRequest{});
  const std::string host = noHeaders.substr(0, noHeaders.find("\r\nAccept"));
  EXPECT_EQ(noHeaders, host + "\r\nAccept: */*\r\nContent-Length: 0\r\n\r\n");
  EXPECT_TRUE(host.starts_with("POST /p HTTP/1.1\r\nHost: 127.0.0.1:")) << host;

  HttpRequest given;
  given.body = std::string("a\0b\r\n{}", 7);
  given.headers = {{"Content-Type", "application/json"},
                   {"Authorization", "Bearer t0k=="},
                   {"x-signature", "k1=v1; k2=v2"},
                   {"X-Empty", ""}};
  const std::string withHeaders = wireBytes(*transport_, given);
  EXPECT_EQ(withHeaders.substr(withHeaders.find("\r\nAccept")),
            "\r\nAccept: */*\r\nContent-Type: application/json\r\nAuthorization: Bearer t0k==\r\n"
            "x-signature: k1=v1; k2=v2\r\nX-Empty:\r\nContent-Length: 7\r\n\r\n" +
                *given.body);
}

TEST_F(CurlTransportTest, LargeBodiesGoOutWhole) {
  // Past the size where curl would otherwise ask "Expect: 100-continue" first.
  const std::string large(2 * 1024 * 1024 + 3, 'z');
  Outcome echoed = sendAndWait(*transport_, post(server_.url("/echo"), large));
  ASSERT_TRUE(echoed.body.has_value());
  EXPECT_TRUE(text(*echoed.body) == large) << echoed.body->size() << " bytes came back";
  const std::vector<Received> received = server_.received();
  ASSERT_EQ(received.size(), 1u);
  std::set<std::string> names;
  for (const auto& [name, value] : received[0].headers) names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{"Accept", "Content-Length", "Host"}));
}

TEST_F(CurlTransportTest, TransportFailuresAreReportedAsynchronouslyAndTheWorkerCarriesOn) {
  // A bound socket that does not listen: connections to it are refused.
  int port = 0;
  const int unused = boundLoopbackSocket(port);
  const std::string refusedUrl = "http://127.0.0.1:" + std::to_string(port);

  HttpRequest injected = post(server_.url("/echo"));
  injected.headers = {{"X-Id", "1\r\nAuthorization: forged"}};
  HttpRequest slow = post(server_.url("/hold"));
  slow.timeoutSeconds = 0.3;

  Outcomes outcomes;
  transport_->send(post(refusedUrl + "/echo"), outcomes.completion());
  transport_->send(post("/partner/auth"), outcomes.completion());
  transport_->send(post("ftp://127.0.0.1/file"), outcomes.completion());
  transport_->send(injected, outcomes.completion());
  const auto started = std::chrono::steady_clock::now();
  transport_->send(slow, outcomes.completion());
  const std::vector<Outcome> failures = outcomes.wait();
  const auto elapsed = std::chrono::steady_clock::now() - started;
  ::close(unused);

  ASSERT_EQ(failures.size(), 5u);
  expectCurlError(failures[0], CURLE_COULDNT_CONNECT);
  expectCurlError(failures[1], CURLE_URL_MALFORMAT);
  expectCurlError(failures[2], CURLE_UNSUPPORTED_PROTOCOL);
  expectCurlError(failures[3], CURLE_BAD_FUNCTION_ARGUMENT);
  expectCurlError(failures[4], CURLE_OPERATION_TIMEDOUT);
  EXPECT_LT(elapsed, 1500ms) << "the 0.3 s time-out was not applied";
  for (const Outcome& failure : failures) EXPECT_NE(failure.thread, std::this_thread::get_id());
  // The injected header never went out; only the held request reached the server.
  ASSERT_EQ(server_.received().size(), 1u);
  EXPECT_EQ(server_.received()[0].path, "/hold");

  Outcome after = sendAndWait(*transport_, post(server_.url("/echo"), "still here"));
  ASSERT_TRUE(after.body.has_value());
  EXPECT_EQ(text(*after.body), "still here");
}

TEST_F(CurlTransportTest, ResponsesAboveTheCapAreRefused) {
  CurlTransportOptions options;
  options.maxResponseBytes = 1024;
  auto capped = makeCurlTransport(options);

  Outcome atCap = sendAndWait(*capped, post(server_.url("/sized?n=1024")));
  ASSERT_TRUE(atCap.body.has_value());
  EXPECT_EQ(atCap.body->size(), 1024u);
  // Announced by Content-Length, then streamed without one.
  expectCurlError(sendAndWait(*capped, post(server_.url("/sized?n=1025"))),
                  CURLE_FILESIZE_EXCEEDED);
  Outcome streamed = sendAndWait(*capped, post(server_.url("/chunked?n=100000")));
  expectCurlError(streamed, CURLE_WRITE_ERROR);
  if (streamed.error) {
    EXPECT_NE(streamed.error->description.find("larger than 1024 bytes"), std::string::npos);
  }
  Outcome after = sendAndWait(*capped, post(server_.url("/echo"), "small"));
  ASSERT_TRUE(after.body.has_value());
  EXPECT_EQ(text(*after.body), "small");
}

TEST_F(CurlTransportTest, ConcurrentSendsEachCompleteOnceOnTheWorker) {
  constexpr int kSenders = 4;
  constexpr int kPerSender = 50;
  std::mutex mutex;
  std::condition_variable done;
  std::map<std::string, int> calls;
  std::set<std::thread::id> completionThreads;
  int total = 0;
  int mismatched = 0;

  std::vector<std::thread> senders;
  std::set<std::thread::id> senderThreads;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([&, s] {
      for (int i = 0; i < kPerSender; ++i) {
        const std::string id = std::to_string(s) + "-" + std::to_string(i);
        transport_->send(post(server_.url("/echo"), id), [&, id](auto body, auto) {
          std::lock_guard<std::mutex> lock(mutex);
          ++calls[id];
          if (!body || text(*body) != id) ++mismatched;
          completionThreads.insert(std::this_thread::get_id());
          ++total;
          done.notify_all();
        });
      }
    });
  }
  for (std::thread& sender : senders) {
    senderThreads.insert(sender.get_id());
    sender.join();
  }
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, 30s, [&] { return total >= kSenders * kPerSender; }));
  EXPECT_EQ(calls.size(), static_cast<std::size_t>(kSenders * kPerSender));
  for (const auto& [id, count] : calls) EXPECT_EQ(count, 1) << id;
  EXPECT_EQ(mismatched, 0);
  ASSERT_EQ(completionThreads.size(), 1u);
  EXPECT_FALSE(senderThreads.contains(*completionThreads.begin()));
  EXPECT_NE(*completionThreads.begin(), std::this_thread::get_id());
}

TEST_F(CurlTransportTest, CompletionsMaySendAgainAndThrowWithoutHarm) {
  Outcomes outcomes;
  HttpCompletion last = outcomes.completion();
  transport_->send(post(server_.url("/echo"), "1"), [&](auto, auto) {
    transport_->send(post(server_.url("/echo"), "2"),
                     [&](auto, auto) { transport_->send(post(server_.url("/echo"), "3"), last); });
    throw std::runtime_error("thrown by a completion");
  });
  transport_->send(post(server_.url("/echo"), "x"), [](auto, auto) { throw 42; });
  const Outcome chained = outcomes.wait().front();
  ASSERT_TRUE(chained.body.has_value());
  EXPECT_EQ(text(*chained.body), "3");
  EXPECT_EQ(server_.received().size(), 4u);
}

TEST(CurlTransportReleaseTest, ADroppedTransportFinishesItsWorkThenLetsGoOfConnections) {
  int port = 0;
  const int listener = boundLoopbackSocket(port);
  ::listen(listener, 1);
  auto transport = makeCurlTransport();
  Outcomes outcomes;
  transport->send(post("http://127.0.0.1:" + std::to_string(port) + "/p"), outcomes.completion());
  const auto [connection, wire] = acceptRequest(listener);
  transport.reset();  // while the request is in flight

  // A keep-alive answer: curl would hold on to the connection for reuse.
  answer(connection, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone");
  const Outcome outcome = outcomes.wait().front();
  ASSERT_TRUE(outcome.body.has_value());
  EXPECT_EQ(text(*outcome.body), "done");
  // Once drained, the worker stops and closes it.
  const auto started = std::chrono::steady_clock::now();
  char byte;
  ASSERT_TRUE(readable(connection));
  EXPECT_EQ(::read(connection, &byte, 1), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  ::close(connection);
  ::close(listener);
}

TEST(CurlTransportTlsTest, VerifiesThePeerAgainstTheGivenAuthority) {
  tavrel_mmp::testing::TempDir dir;
  const std::string cert = dir.path() + "/cert.pem";
  const std::string key = dir.path() + "/key.pem";
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
      " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
      key + " -out " + cert + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  tools::LocalService service({.certificatePath = cert, .privateKeyPath = key});
  ASSERT_TRUE(service.start());
  ASSERT_TRUE(service.baseUrl().starts_with("https://127.0.0.1:"));
  const std::string url = service.baseUrl() + "/partner/crash/log";

  CurlTransportOptions trusting;
  trusting.caInfoPath = cert;
  Outcome trusted = sendAndWait(*makeCurlTransport(trusting), post(url, R"({"tls":true})"));
  EXPECT_FALSE(trusted.error.has_value()) << trusted.error->description;
  ASSERT_TRUE(trusted.body.has_value());
  EXPECT_EQ(nlohmann::json::parse(text(*trusted.body))["responseCode"], 200);
  ASSERT_EQ(service.requests("/partner/crash/log").size(), 1u);
  EXPECT_EQ(service.requests("/partner/crash/log")[0].json(), (nlohmann::json{{"tls", true}}));

  Outcome untrusted = sendAndWait(*makeCurlTransport(), post(url));
  expectCurlError(untrusted, CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_EQ(service.requests().size(), 1u);
}

}  // namespace
}  // namespace tavrel_mmp::platform
