// The library against hostile services over the real transport. While a peer answers every
// request in one bad way, host threads log events (some real-time) and the library
// authenticates, uploads batches and beats: nothing crashes, no host call waits on the network,
// every exchange fails as the rules say and no request reaches a peer twice. Then a healthy
// service takes over and every event leaves the store and arrives there once.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>

#include "events/heartbeat.h"
#include "events/tracking_event.h"
#include "net/result_data.h"
#include "secret/secret_generator.h"
#include "settings/base_url.h"
#include "settings/storage_helper.h"
#include "support/scripted_server.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"
#include "tls/self_signed_certificate.h"

namespace tavrel_mmp {
namespace {

using namespace std::chrono_literals;
using Server = testing::ScriptedServer;
using Script = std::vector<Server::Step>;

// The client's own time-out is a minute; with a peer that never finishes an answer, exchanges
// end after this instead.
constexpr double kRequestTimeoutCap = 3.0;
constexpr int kHostThreads = 4;
constexpr int kEventsPerThread = 25;
constexpr const char* kEventName = "hostile";
// Numbers every request the library hands to the transport, so a peer can tell a repeat.
constexpr const char* kSendHeader = "X-Send";

enum class Certificate { none, forAnotherName, ofAnUntrustedKey };
constexpr long kNotTheEnvelope = CURLE_OK;

// A peer that treats every request the same bad way, and what each exchange must come to.
struct HostilePeer {
  std::string name;
  // What every connection plays; `elsewhere` is a healthy service's address.
  Script (*script)(const std::string& elsewhere) = nullptr;
  // Instead of a script: a TLS service showing this certificate.
  Certificate certificate = Certificate::none;
  // How its exchanges end, each of these at least once: a transport error (a curl code), or
  // kNotTheEnvelope, an answer that is not the service's envelope.
  std::set<long> outcomes = {kNotTheEnvelope};
};

// An answer after which the peer hangs up, said in its headers: a client that reused the
// connection anyway would meet the close, and a failure of the peer's making would be ours.
std::string lastAnswer(const std::string& body) {
  std::string answer = Server::answer(body);
  return answer.insert(answer.find("\r\n") + 2, "Connection: close\r\n");
}

std::string mebibytes(std::size_t count) {
  return std::string(count << 20, 'x');
}

const HostilePeer kPeers[] = {
    {"nested_100000_levels",
     [](const std::string&) {
       return Script{Server::readRequest(), Server::write(lastAnswer(std::string(100'000, '[') +
                                                                     std::string(100'000, ']')))};
     }},
    {"announced_64_MiB",
     [](const std::string&) {
       return Script{Server::readRequest(), Server::write(Server::answer(mebibytes(64)))};
     },
     Certificate::none,
     {CURLE_FILESIZE_EXCEEDED}},
    {"unannounced_64_MiB",
     [](const std::string&) {
       return Script{
           Server::readRequest(),
           Server::write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4000000\r\n" +
                         mebibytes(64) + "\r\n0\r\n\r\n")};
     },
     Certificate::none,
     {CURLE_WRITE_ERROR}},
    {"invalid_utf8",
     [](const std::string&) {
       return Script{Server::readRequest(),
                     Server::write(lastAnswer(R"({"responseCode":200,"responseText":"OK)"
                                              "\xff\xfe\"}"))};
     }},
    {"one_byte_a_second",
     [](const std::string&) {
       return Script{Server::readRequest(),
                     Server::trickle(Server::answer(testing::kAccepted), 1s)};
     },
     Certificate::none,
     {CURLE_OPERATION_TIMEDOUT}},
    {"reset_in_the_body",
     [](const std::string&) {
       return Script{Server::readRequest(),
                     Server::write("HTTP/1.1 200 OK\r\nContent-Length: 41\r\n\r\n{\"respon"),
                     Server::reset()};
     },
     Certificate::none,
     {CURLE_RECV_ERROR}},
    {"never_answers",
     [](const std::string&) {
       return Script{Server::readRequest(), Server::hold()};
     },
     Certificate::none,
     {CURLE_OPERATION_TIMEDOUT}},
    // After one answer, so the connection is one the client reuses.
    {"closes_after_reading",
     [](const std::string&) {
       return Script{Server::readRequest(), Server::write(Server::answer("<html>hello</html>")),
                     Server::readRequest()};
     },
     Certificate::none,
     {kNotTheEnvelope, CURLE_GOT_NOTHING}},
    {"redirects_elsewhere",
     [](const std::string& elsewhere) {
       const std::string body = "<html>moved</html>";
       return Script{
           Server::readRequest(),
           Server::write("HTTP/1.1 307 Temporary Redirect\r\nConnection: close\r\nLocation: " +
                         elsewhere + "/partner/event/log\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body)};
     }},
    {"certificate_for_another_name",
     nullptr,
     Certificate::forAnotherName,
     {CURLE_PEER_FAILED_VERIFICATION}},
    {"certificate_of_an_untrusted_key",
     nullptr,
     Certificate::ofAnUntrustedKey,
     {CURLE_PEER_FAILED_VERIFICATION}},
};

// Names each case in test listings.
void PrintTo(const HostilePeer& peer, std::ostream* out) {
  *out << peer.name;
}

// Passes every request on to the process's libcurl transport, numbered, and keeps how each
// exchange ended.
class Witness : public platform::HttpTransport {
 public:
  struct Exchange {
    std::string url;
    bool done = false;
    std::optional<long> error;
    bool envelope = false;  // the answer decodes as the service's envelope
  };

  void send(platform::HttpRequest request, HttpCompletion completion) override {
    std::size_t number = 0;
    {
      std::lock_guard lock(mutex_);
      number = exchanges_.size();
      exchanges_.push_back({request.url});
    }
    request.headers.emplace_back(kSendHeader, std::to_string(number));
    testing::curlTransport().send(
        std::move(request),
        [this, number, completion = std::move(completion)](auto body, auto error) {
          {
            std::lock_guard lock(mutex_);
            Exchange& exchange = exchanges_[number];
            exchange.done = true;
            if (error) exchange.error = error->code;
            exchange.envelope = body && ResultData::decode(*body, nullptr).has_value();
          }
          if (completion) completion(std::move(body), std::move(error));
        });
  }

  std::vector<Exchange> exchanges() {
    std::lock_guard lock(mutex_);
    return exchanges_;
  }

 private:
  std::mutex mutex_;
  std::vector<Exchange> exchanges_;
};

std::string contentsOf(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path).rdbuf();
  return out.str();
}

// Each send number a peer received, and that only once.
void expectEachSentOnce(const std::vector<std::string>& numbers, std::size_t sent) {
  std::multiset<std::string> seen(numbers.begin(), numbers.end());
  for (const std::string& number : seen) {
    EXPECT_EQ(seen.count(number), 1u) << "request " << number << " arrived more than once";
    EXPECT_LT(std::stoul(number), sent);
  }
}

class HostileService : public ::testing::TestWithParam<HostilePeer> {
 protected:
  void SetUp() override {
    testing::installIsolatedPlatform(dir_.path());
    const auto trusted = certificate("trusted", "127.0.0.1");
    const auto forAnotherName = certificate("another_name", "127.0.0.2");
    const auto untrusted = certificate("untrusted", "127.0.0.1");
    // The healthy service's authority, and that of a certificate made for another address.
    const std::string authorities = dir_.path() + "/authorities.pem";
    std::ofstream(authorities) << contentsOf(trusted.certificatePath)
                               << contentsOf(forAnotherName.certificatePath);
    const HostilePeer& peer = GetParam();
    std::optional<double> cap;
    if (peer.outcomes.count(CURLE_OPERATION_TIMEDOUT)) cap = kRequestTimeoutCap;
    testing::installCurlTransport({.caInfoPath = authorities, .maxRequestTimeoutSeconds = cap});
    platform::installHttpTransport(witness_);

    healthy_ = std::make_unique<tools::LocalService>(tools::LocalServiceOptions{
        .certificatePath = trusted.certificatePath, .privateKeyPath = trusted.privateKeyPath});
    ASSERT_TRUE(healthy_->start());
    if (peer.script != nullptr) {
      scripted_ =
          std::make_unique<Server>(std::vector<Script>{peer.script(healthy_->baseUrl())}, true);
      return;
    }
    const auto& shown =
        peer.certificate == Certificate::forAnotherName ? forAnotherName : untrusted;
    tlsPeer_ = std::make_unique<tools::LocalService>(tools::LocalServiceOptions{
        .certificatePath = shown.certificatePath, .privateKeyPath = shown.privateKeyPath});
    ASSERT_TRUE(tlsPeer_->start());
  }

  tools::CertificateFiles certificate(const std::string& name, const std::string& address) {
    const std::string directory = dir_.path() + "/" + name;
    std::filesystem::create_directories(directory);
    auto files = tools::makeSelfSignedCertificate(directory, address);
    if (!files) throw std::runtime_error("no certificate for " + name);
    return *files;
  }

  std::string hostileUrl() const { return scripted_ ? scripted_->url("") : tlsPeer_->baseUrl(); }

  // The send numbers of the requests the hostile peer read.
  std::vector<std::string> numbersAtPeer() const {
    std::vector<std::string> numbers;
    if (tlsPeer_) {
      for (const auto& request : tlsPeer_->requests())
        numbers.push_back(request.header(kSendHeader).value_or("?"));
      return numbers;
    }
    const std::string field = std::string("\r\n") + kSendHeader + ": ";
    for (const std::string& wire : scripted_->requests()) {
      const auto at = wire.find(field);
      numbers.push_back(at == wire.npos ? "?"
                                        : wire.substr(at + field.size(), wire.find("\r\n", at + 2) -
                                                                             at - field.size()));
    }
    return numbers;
  }

  bool settled() {
    const auto all = witness_->exchanges();
    return std::all_of(all.begin(), all.end(), [](const auto& exchange) { return exchange.done; });
  }

  // Logs from host threads while this thread runs the main loop and the sync timer; gives the
  // longest any logEvent call took.
  std::chrono::steady_clock::duration logFromHostThreads() {
    std::atomic<int> running{kHostThreads};
    std::vector<std::chrono::steady_clock::duration> longest(kHostThreads);
    std::vector<std::thread> hosts;
    for (int t = 0; t < kHostThreads; ++t) {
      hosts.emplace_back([&, t] {
        for (int i = 0; i < kEventsPerThread; ++i) {
          const int seq = t * kEventsPerThread + i;
          const auto before = std::chrono::steady_clock::now();
          Nimbrel::logEvent(kEventName,
                            PropertyDictionary{{"seq", seq}, {"nbRealtime", seq % 5 == 0}});
          longest[t] = std::max(longest[t], std::chrono::steady_clock::now() - before);
        }
        --running;
      });
    }
    for (int tick = 0; running > 0 && tick < 6; ++tick) {
      time_.loop->runPending();
      time_.loop->advance(TrackingEvent::timerPeriod);
    }
    for (std::thread& host : hosts) host.join();
    return *std::max_element(longest.begin(), longest.end());
  }

  testing::TempDir dir_;
  testing::ManualTime time_ = testing::installManualTime();
  std::shared_ptr<Witness> witness_ = std::make_shared<Witness>();
  std::unique_ptr<tools::LocalService> healthy_;
  std::unique_ptr<Server> scripted_;
  std::unique_ptr<tools::LocalService> tlsPeer_;
};

TEST_P(HostileService, EveryExchangeFailsAndNoEventIsLostOrSentTwice) {
  const HostilePeer& peer = GetParam();
  auto& loop = *time_.loop;
  auto options = std::make_shared<NimbrelOptions>();
  options->showLog = true;  // logging each failure is part of what must hold up
  options->autoTrackingScreen = false;
  Nimbrel::intSDK("HOSTILE", tools::makeAppSecret(hostileUrl(), "HOSTILE"), options);
  loop.runPending();
  // The host logs while the authentication is at the peer (held there by the silent ones).
  ASSERT_TRUE(testing::waitUntil([&] { return !numbersAtPeer().empty() || settled(); }));
  const auto longest = logFromHostThreads();
  loop.runPending();
  loop.advance(Heartbeat::kDefaultInterval + TrackingEvent::timerPeriod);
  ASSERT_TRUE(testing::curlTransport().waitIdle());

  const auto exchanges = witness_->exchanges();
  std::set<std::string> paths;
  std::set<long> outcomes;
  for (const auto& exchange : exchanges) {
    SCOPED_TRACE(exchange.url);
    ASSERT_TRUE(exchange.url.starts_with(hostileUrl() + "/"));
    paths.insert(exchange.url.substr(hostileUrl().size()));
    EXPECT_FALSE(exchange.envelope);
    outcomes.insert(exchange.error.value_or(kNotTheEnvelope));
  }
  EXPECT_EQ(outcomes, peer.outcomes);
  EXPECT_EQ(paths, (std::set<std::string>{"/public/partner/auth", "/partner/event/log",
                                          "/partner/online-user/log"}));
  expectEachSentOnce(numbersAtPeer(), exchanges.size());
  if (tlsPeer_) EXPECT_TRUE(tlsPeer_->requests().empty()) << "a request went to a wrong peer";
  EXPECT_TRUE(healthy_->requests().empty()) << "a redirect was followed";
  EXPECT_FALSE(StorageHelper::shared().getAuthData());
  EXPECT_EQ(testing::pendingEventCount(), std::size_t{kHostThreads * kEventsPerThread});

  // The service behaves again: the next event asks for a session, and everything leaves.
  BaseUrl::set(healthy_->baseUrl());
  Nimbrel::logEvent("after_the_hostile_peer", PropertyDictionary::object());
  ASSERT_TRUE(testing::waitUntil([&] {
    loop.runPending();
    return StorageHelper::shared().getAuthData().has_value();
  }));
  ASSERT_TRUE(testing::drainEvents(loop));
  std::set<int> seqs;
  for (const auto& [id, stored] : healthy_->events()) {
    if (stored.event["key"] != kEventName) continue;
    EXPECT_EQ(stored.timesReceived, 1);
    for (const auto& entry : stored.event["data"])
      if (entry["key"] == "seq") seqs.insert(entry["value"].get<int>());
  }
  EXPECT_EQ(seqs.size(), std::size_t{kHostThreads * kEventsPerThread});
  std::vector<std::string> numbersAtHealthy;
  for (const auto& request : healthy_->requests())
    numbersAtHealthy.push_back(request.header(kSendHeader).value_or("?"));
  expectEachSentOnce(numbersAtHealthy, witness_->exchanges().size());

  // Only a call that waited for an exchange could take as long as one with a silent peer.
  const auto longestMs = std::chrono::duration_cast<std::chrono::milliseconds>(longest).count();
  RecordProperty("longest_log_event_ms", static_cast<int>(longestMs));
  std::cout << "longest logEvent: " << longestMs << " ms\n";
  EXPECT_LT(longest, std::chrono::duration<double>(kRequestTimeoutCap));
}

INSTANTIATE_TEST_SUITE_P(Peers, HostileService, ::testing::ValuesIn(kPeers),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tavrel_mmp
