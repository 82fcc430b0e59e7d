// The cost of sending each request at most once, over loopback HTTPS to the local service. Three
// ways to post, each on one libcurl easy handle (its own connection pool):
//   unguarded: connections reused, curl free to send a request again (the baseline);
//   once:      connections reused, SendOnce guarding every request (the transport's way);
//   fresh:     no reuse at all, a new connection for every request.
// Measured: posts one after another, and the first post after an idle period, once shorter and
// once longer than the service's keep-alive (cpp-httplib closes idle connections after 5 s).
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>

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

void BM_FirstPostAfterIdle(benchmark::State& state) {
  Poster poster(static_cast<Way>(state.range(0)));
  const auto idle = std::chrono::milliseconds(state.range(1));
  if (!poster.post()) state.SkipWithError("the warm-up post failed");
  for (auto _ : state) {
    std::this_thread::sleep_for(idle);
    const auto start = Clock::now();
    if (!poster.post()) state.SkipWithError("a post failed");
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  state.SetLabel(kWayNames[state.range(0)]);
}

// Medians of the repeated runs; single runs as they are.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median || run.repetitions <= 1) {
        times[run.run_name.function_name + "/" + run.run_name.args] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
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
    ->ArgNames({"way", "idle_ms"})
    ->ArgsProduct({{kUnguarded, kOnce, kFresh}, {1000, 6000}})
    ->UseManualTime()
    ->Iterations(5)
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

  auto time = [&](const std::string& name, Way way, const std::string& more = "") {
    const auto found = reporter.times.find(name + "/way:" + std::to_string(way) + more);
    return found == reporter.times.end() ? 0.0 : found->second;
  };
  auto line = [&](const char* what, const std::string& name, const std::string& more) {
    const double unguarded = time(name, kUnguarded, more), once = time(name, kOnce, more),
                 fresh = time(name, kFresh, more);
    std::printf("%-30s unguarded %8.0f us, once %8.0f us (%.2fx), fresh %8.0f us (%.2fx)\n", what,
                unguarded, once, unguarded > 0 ? once / unguarded : 0.0, fresh,
                unguarded > 0 ? fresh / unguarded : 0.0);
  };
  std::printf("\n== per-post cost against the unguarded baseline (loopback HTTPS) ==\n");
  line("one after another (median):", "BM_SequentialPosts", "");
  line("first after 1 s idle (mean):", "BM_FirstPostAfterIdle", "/idle_ms:1000");
  line("first after 6 s idle (mean):", "BM_FirstPostAfterIdle", "/idle_ms:6000");
  std::printf("requests received by the service: %zu\n", started.service->requests().size());

  started.service->stop();
  std::filesystem::remove_all(started.directory);
  benchmark::Shutdown();
  return 0;
}
