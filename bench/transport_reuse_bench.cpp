// The cost of sending each request at most once, over loopback HTTPS to the local service. Three
// ways to post, each on one libcurl easy handle (its own connection pool):
//   unguarded: connections reused, curl free to send a request again (the baseline);
//   once:      connections reused, SendOnce guarding every request (the transport's way);
//   fresh:     no reuse at all, a new connection for every request.
// Measured: posts one after another, and the first post after an idle period, once shorter and
// once longer than the service's keep-alive (cpp-httplib closes idle connections after 5 s, and
// any connection after 5 requests). Over a connection the service closed while idle, curl 7.88
// sends the unguarded request once in vain before it connects afresh.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/library_thread.h"
#include "platform/linux/send_once.h"
#include "tools/local_service/local_service.h"
#include "tools/tls/self_signed_certificate.h"

namespace {

using namespace tavrel_mmp;
using Clock = std::chrono::steady_clock;

enum Way { kUnguarded, kOnce, kFresh };
const char* const kWayNames[] = {"unguarded", "once", "fresh"};

struct Service {
  std::string directory;
  std::string certificate;
  std::unique_ptr<tools::LocalService> service;
};
Service* service = nullptr;  // started in main, before the benchmarks

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

class Poster {
 public:
  explicit Poster(Way way) : way_(way), easy_(curl_easy_init()) {
    headers_ = curl_slist_append(nullptr, "Content-Type: application/json");
    headers_ = curl_slist_append(headers_, "Expect:");
  }
  ~Poster() {
    curl_easy_cleanup(easy_);  // closes pooled connections through sockets_
    curl_slist_free_all(headers_);
  }

  bool post() {
    curl_easy_reset(easy_);
    curl_easy_setopt(easy_, CURLOPT_URL, (service->service->baseUrl() + kPath).c_str());
    curl_easy_setopt(easy_, CURLOPT_CAINFO, service->certificate.c_str());
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, body_.data());
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &discard);
    if (way_ == kFresh) curl_easy_setopt(easy_, CURLOPT_FORBID_REUSE, 1L);
    if (way_ != kOnce) return curl_easy_perform(easy_) == CURLE_OK;
    platform::SendOnce guard(sockets_);
    if (guard.install(easy_) != CURLE_OK) return false;
    CURLcode code = curl_easy_perform(easy_);
    if (guard.foundStaleConnection() && guard.rearmOnFreshConnection() == CURLE_OK) {
      code = curl_easy_perform(easy_);
    }
    return code == CURLE_OK;
  }

 private:
  static constexpr const char* kPath = "/partner/online-user/log";
  const Way way_;
  platform::ConnectionSockets sockets_;
  CURL* easy_;
  curl_slist* headers_ = nullptr;
  // About the size of a small event batch.
  const std::string body_ = "{\"events\":\"" + std::string(1024, 'e') + "\"}";
};

void BM_SequentialPosts(benchmark::State& state) {
  Poster poster(static_cast<Way>(state.range(0)));
  if (!poster.post()) state.SkipWithError("the warm-up post failed");
  for (auto _ : state) {
    if (!poster.post()) state.SkipWithError("a post failed");
  }
  state.SetLabel(kWayNames[state.range(0)]);
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples.empty() ? 0.0 : samples[samples.size() / 2];
}

// The three ways idle side by side and then post one after another, in a rotating order, so
// that each sample of the three meets the same machine load.
std::map<std::int64_t, std::array<double, 3>> idleMedians;  // idle ms: median us per way

void BM_FirstPostAfterIdle(benchmark::State& state) {
  std::array<std::unique_ptr<Poster>, 3> posters;
  for (int way = kUnguarded; way <= kFresh; ++way) {
    posters[way] = std::make_unique<Poster>(static_cast<Way>(way));
    if (!posters[way]->post()) state.SkipWithError("a warm-up post failed");
  }
  std::array<std::vector<double>, 3> samples;
  int round = 0;
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(state.range(0)));
    for (int i = 0; i < 3; ++i) {
      const int way = (round + i) % 3;
      const auto start = Clock::now();
      if (!posters[way]->post()) state.SkipWithError("a post failed");
      samples[way].push_back(
          std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    ++round;
    state.SetIterationTime(samples[kOnce].back() / 1e6);
  }
  auto& medians = idleMedians[state.range(0)];
  for (int way = kUnguarded; way <= kFresh; ++way) {
    medians[way] = median(samples[way]);
    state.counters[std::string(kWayNames[way]) + "_us"] = medians[way];
  }
}

// Medians of the repeated benchmarks, kept for the closing summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      medians[run.run_name.function_name + "/" + run.run_name.args] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> medians;
};

}  // namespace

BENCHMARK(BM_SequentialPosts)
    ->ArgName("way")
    ->DenseRange(kUnguarded, kFresh)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.5)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_FirstPostAfterIdle)
    ->ArgName("idle_ms")
    ->Arg(1000)
    ->Arg(6000)
    ->UseManualTime()
    ->Iterations(9)
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  platform::ensureProcessSetup();
  char pattern[] = "/tmp/tavrel_mmp_transport_bench_XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const auto files = tools::makeSelfSignedCertificate(pattern);
  if (!files) return 1;
  Service started{
      pattern, files->certificatePath,
      std::make_unique<tools::LocalService>(tools::LocalServiceOptions{
          .certificatePath = files->certificatePath, .privateKeyPath = files->privateKeyPath})};
  if (!started.service->start()) return 1;
  service = &started;

  benchmark::Initialize(&argc, argv);
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  auto line = [](const char* what, double unguarded, double once, double fresh) {
    std::printf("%-26s unguarded %7.0f us, once %7.0f us (%.2fx), fresh %7.0f us (%.2fx)\n", what,
                unguarded, once, unguarded > 0 ? once / unguarded : 0.0, fresh,
                unguarded > 0 ? fresh / unguarded : 0.0);
  };
  std::printf("\n== per-post cost against the unguarded baseline (loopback HTTPS, medians) ==\n");
  auto sequential = [&](Way way) {
    return reporter.medians["BM_SequentialPosts/way:" + std::to_string(way)];
  };
  line("one after another:", sequential(kUnguarded), sequential(kOnce), sequential(kFresh));
  for (const auto& [idle, medians] : idleMedians) {
    const std::string what = "first after " + std::to_string(idle / 1000) + " s idle:";
    line(what.c_str(), medians[kUnguarded], medians[kOnce], medians[kFresh]);
  }
  std::printf("requests received by the service: %zu\n", started.service->requests().size());

  started.service->stop();
  std::filesystem::remove_all(started.directory);
  benchmark::Shutdown();
  return 0;
}
